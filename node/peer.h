// Node record: peer entries, the neighbour table, the node state, the 15-bit
// generator and the small text helpers every part of the node shares.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace palaver {

// Fixed text field of a peer entry: at most 19 characters and a terminator.
constexpr std::size_t FieldSize = 20;

// Copies `src` into a fixed field, cut to the field's capacity, always
// zero-terminated. Copies only up to the first zero byte of `src`.
template <std::size_t N>
void copyField(char (&dst)[N], std::string_view src) {
    std::size_t n = 0;
    while (n < src.size() && n + 1 < N && src[n] != '\0') {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = '\0';
}

// Reads a decimal number the way every number in a datagram or a box is read:
// optional leading blanks, one optional sign, then digits up to the first
// other character; no digits gives 0. Out-of-range values saturate to int32.
int32_t readNumber(std::string_view text);

struct PeerEntry {
    int32_t id = 0;
    char ip[FieldSize] = {};
    int32_t port = 0;
    char name[FieldSize] = {};

    bool empty() const { return id == 0 && ip[0] == '\0' && port == 0 && name[0] == '\0'; }
    // Sets id, ip and port together; the name is left as it is.
    void assign(int32_t newId, std::string_view newIp, int32_t newPort) {
        id = newId;
        copyField(ip, newIp);
        port = newPort;
    }
};

struct NeighbourTable {
    PeerEntry next;
    PeerEntry back;
    PeerEntry random[3];
    PeerEntry critical;
    int32_t randomCount = 0;
    int32_t latestTTL = 0;
};

struct NodeState {
    sockaddr_in sendAddress{};
    int udpSocket = -1;
    PeerEntry self;
    NeighbourTable table;
};

// The 15-bit linear congruential generator: values 0..32767, state 1 until seeded.
class Rand15 {
public:
    void seed(uint32_t s) { state_ = s; }
    int next() {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int>((state_ >> 16) & 32767u);
    }
    uint32_t state() const { return state_; }

private:
    uint32_t state_ = 1;
};

// r * 2,000,000,000 / 32767 truncated; exact for every r in 0..32767.
int32_t nodeIdFromDraw(int r);

// r * k / 32767 truncated (computed in double as the node always has); for
// r in 0..32766 an index in 0..k-1, for r = 32767 exactly k.
int scaledIndex(int r, int k);

}  // namespace palaver
