// The lab's network and process set-up: a private network namespace with
// loopback up, kernel-side datagram loss through nftables, and the open-file
// limit that N nodes need.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace palaver::lab {

// Moves this process into a network namespace of its own (inside a user
// namespace of its own when not root) and brings loopback up. Must run
// before the process starts any thread. "" on success, else the reason.
std::string enterPrivateNetwork();

// Installs, in the current network namespace, an input-hook rule that drops
// `percent` % of the UDP datagrams, chosen at random by the kernel, except
// those whose source and destination are the same address of `ownIps`
// (a node's sends to itself never cross a network). Reads the ruleset back
// to check that it is in place. "" on success, else the reason.
std::string installLossRules(double percent, const std::vector<std::string>& ownIps);

// Raises the soft open-file limit to the hard one when `needed` is above
// it. "" when at least `needed` files may be open, else the reason.
std::string raiseOpenFileLimit(std::size_t needed);

}  // namespace palaver::lab
