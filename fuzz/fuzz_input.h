// Shared input layout of the fuzz targets: 4 bytes of source IPv4 address,
// 2 bytes of source port, then the datagram bytes as the socket delivers them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "datagram.h"

namespace fuzzinput {

struct Input {
    sockaddr_in source{};
    std::string_view datagram;
};

inline Input split(const uint8_t* data, std::size_t size) {
    Input in;
    in.source.sin_family = AF_INET;
    if (size >= 6) {
        std::memcpy(&in.source.sin_addr.s_addr, data, 4);
        std::memcpy(&in.source.sin_port, data + 4, 2);
        data += 6;
        size -= 6;
    } else {
        size = 0;
    }
    // The receive loop takes at most this many bytes; anything longer is a
    // failed receive and never reaches the parser.
    size = std::min(size, palaver::MaxReceive);
    in.datagram = std::string_view(reinterpret_cast<const char*>(data), size);
    return in;
}

}  // namespace fuzzinput
