// Where palaver-lab-mpi's nodes bind. "loopback": node i at the i-th
// consecutive address from --first-address, as palaver-lab run has it, for
// ranks that share one machine. "host": every node of a rank at that rank's
// host address, node i at port --port + i, for ranks on several machines.
// Without --address-plan, ranks all on one host take loopback and ranks on
// several hosts take host; without --bind-address a rank's host address is
// the one its host reaches rank 0's host by (rank 0's, and that of every
// rank on rank 0's host: the one it reaches the first other host by).
#pragma once

#include <string>
#include <vector>

namespace palaver::lab::mpi {

// The plan for `given` ("" when none was asked for) and a bind address
// given or not, with `hosts` the ranks' host names by rank.
std::string choosePlan(const std::string& given, bool bindGiven, const std::vector<std::string>& hosts);

// The host whose route picks `rank`'s address under the host plan; "" when
// every rank is on one host.
std::string hostToward(int rank, const std::vector<std::string>& hosts);

// This machine's IPv4 address toward `host` (a name or a dotted quad): the
// source address the kernel's routes give a datagram to it. A UDP socket is
// connected for the lookup; nothing is sent. "" and the reason in `error`
// when the host has no IPv4 address or no route.
std::string addressToward(const std::string& host, std::string& error);

}  // namespace palaver::lab::mpi
