// palaver-lab run: the run command's flags, which stand for the default
// scenario (start, build, snapshot, lines, churn, snapshot, lines, stop).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "datagram.h"

namespace palaver::lab {

struct RunOptions {
    int nodes = 10;
    uint64_t seed = 1;
    int lines = 10;
    double loss = 0.0;
    int leave = 0;
    int crash = 0;
    int burst = 0;
    std::string firstAddress = "127.77.0.1";
    int port = 50000;
    std::string contact;  // as typed: "IP:PORT" (or "IP@PORT"); "" for none
    std::string out;
    bool hostNetwork = false;
    // Bounds of the waits, in milliseconds.
    int joinTimeoutMs = 3000;
    int settleTimeoutMs = 20000;
    int quietMs = 200;
    // After the build, hold until every live node lists this many members.
    int holdMembers = 0;
    int holdTimeoutMs = 60000;
};

struct Address {
    std::string ip;
    int port = 0;
    std::string key() const { return formatAddress(ip, port, false); }
};

// "IP:PORT" or "IP@PORT" with a dotted quad and a port in 1..65535.
std::optional<Address> parseContact(const std::string& text);

// `count` consecutive IPv4 addresses from `first`; no value when they run
// past 255.255.255.254 or, for `loopbackOnly`, leave 127.0.0.0/8.
std::optional<std::vector<std::string>> consecutiveAddresses(const std::string& first, int count, bool loopbackOnly);

// The checks that involve more than one option; "" when
// the options are sound, else the one-line reason.
std::string checkRunOptions(const RunOptions& options);

// "" when `folder` can be the run folder (missing, or an empty folder).
std::string checkOutFolder(const std::string& folder);

}  // namespace palaver::lab
