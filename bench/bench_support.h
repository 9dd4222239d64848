// Helpers shared by the benchmark programs: loopback addresses and free
// ports, a node set up without a socket, medians.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "node.h"

namespace palaver::bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

inline sockaddr_in makeSockaddr(const std::string& ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    return a;
}

// A UDP port on `ip` that was free a moment ago: a probe socket binds port 0,
// reads the port the system chose and closes again. 0 when the bind fails.
inline int freePort(const std::string& ip) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return 0;
    sockaddr_in a = makeSockaddr(ip, 0);
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

inline double maxOf(const std::vector<double>& v) {
    return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
}

inline double minOf(const std::vector<double>& v) {
    return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
}

// Member i of a synthetic overlay: distinct addresses 10.x.y.z@50000.
inline std::string memberIp(int i) {
    return "10." + std::to_string((i >> 16) & 255) + "." + std::to_string((i >> 8) & 255) + "." +
           std::to_string(i & 255);
}

// A node that is not started: self 10.255.255.1@50000 in a ring of one, with
// three random peers, so that each accepted chat datagram costs the full five
// sends. Every send goes to `hook` instead of a socket.
inline void setUpDetachedNode(Node& node, SendHook hook) {
    copyField(node.NodeName, "unknown");
    node.setSendHook(std::move(hook));
    node.initialise(1);
    auto g = node.lock();
    node.setSelf(1, "10.255.255.1", 50000);
    node.makeRingOfOne(node.state().self);
    node.addRandomPeer(124, "10.255.255.2", 50000);
    node.addRandomPeer(124, "10.255.255.3", 50000);
    node.addRandomPeer(124, "10.255.255.4", 50000);
}

// Writes `sequence` into the sequence field of a composed chat datagram
// (offset 30, 9 characters, tick padded) without recomposing it.
inline void setChatSequence(std::string& datagram, int32_t sequence) {
    char digits[16];
    int n = std::snprintf(digits, sizeof digits, "%d", sequence);
    for (int i = 0; i < 9; ++i) datagram[30 + i] = i < n ? digits[i] : '`';
}

}  // namespace palaver::bench
