#include "datagram.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>

#include "peer.h"

namespace palaver {

namespace {

// Formats into a std::string with a printf-style literal format; every
// argument that carries text is passed as a "%s" argument, never as a format.
template <typename... Args>
std::string formatText(const char* format, Args... args) {
    int n = std::snprintf(nullptr, 0, format, args...);
    if (n <= 0) return std::string();
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), format, args...);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string cString(std::string_view text) {
    // Text handed to "%s" ends at its first zero byte, as it would in a
    // zero-terminated buffer.
    return std::string(text.substr(0, text.find('\0')));
}

}  // namespace

std::string padField(std::string_view text, std::size_t n) {
    std::string out(text);
    if (out.size() < n) out.append(n - out.size(), Tick);
    return out;
}

std::string formatAddress(std::string_view ip, int32_t port, bool padded) {
    std::string text = formatText("%s@%d", cString(ip).c_str(), port);
    return padded ? padField(text, AddressFieldWidth) : text;
}

std::string ttlDigits(int32_t ttl) {
    ttl = std::clamp(ttl, MinHeaderTtl, MaxHeaderTtl);
    return padField(std::to_string(ttl), 3);
}

void rewriteHeader(std::string& datagram, std::string_view header) {
    std::size_t n = std::min(header.size(), HeaderLength);
    if (datagram.size() < n) datagram.resize(n, Tick);
    datagram.replace(0, n, header.substr(0, n));
}

std::string chatForwardHeader(int32_t ttl) { return formatText("S00`%s`", ttlDigits(ttl).c_str()); }
std::string walkForwardHeader(int32_t ttl) { return formatText("L00`%s`", ttlDigits(ttl).c_str()); }

std::string composeStop() {
    // The receiver ignores the address; any dotted quad with port 50000 does.
    return formatText("!00`001`%s`", formatAddress("127.0.0.1", 50000, false).c_str());
}

std::string composeJoinRequest(std::string_view ownIp, int32_t ownPort) {
    return formatText("N00`001`%s`", formatAddress(ownIp, ownPort, false).c_str());
}

std::string composeAddressed(char type, std::string_view ip, int32_t port) {
    const char* format = nullptr;
    switch (type) {
    case 'n': format = "n00`001`%s@%d`"; break;
    case 'X': format = "X00`001`%s@%d`"; break;
    case 'x': format = "x00`001`%s@%d`"; break;
    case 'B': format = "B00`001`%s@%d`"; break;
    case 'b': format = "b00`001`%s@%d`"; break;
    default: return std::string();
    }
    return formatText(format, cString(ip).c_str(), port);
}

std::string composeNotice(char type, std::string_view ip, int32_t port) {
    const char* format = type == 'D' ? "D00`001`%s`" : type == 'd' ? "d00`001`%s`"
                                                                   : nullptr;
    if (!format) return std::string();
    return formatText(format, formatAddress(ip, port, true).c_str());
}

std::string composeWalk(std::string_view ownIp, int32_t ownPort) {
    return formatText("L00`31``%s`1`````````I love you.`", formatAddress(ownIp, ownPort, true).c_str());
}

std::string composeWalkReply(std::string_view ownIp, int32_t ownPort) {
    return formatText("l00`1```%s@%d`````1`````````Me to.", cString(ownIp).c_str(), ownPort);
}

std::string composeChat(int32_t ttl, std::string_view ownIp, int32_t ownPort, int32_t sequence,
                        std::string_view text) {
    const char* format = ttl == 1 ? "S00`1```%s`%s`%s`" : "S00`0```%s`%s`%s`";
    std::string address = formatAddress(ownIp, ownPort, true);
    std::string seq = padField(std::to_string(sequence), SequenceFieldWidth);
    return formatText(format, address.c_str(), seq.c_str(), cString(text).c_str());
}

namespace {

std::string_view window(std::string_view text, std::size_t offset, std::size_t length) {
    if (offset >= text.size()) return std::string_view();
    return text.substr(offset, length);
}

}  // namespace

int splitAddress(std::string_view addressText, std::string& ip, int32_t& port) {
    ip.clear();
    port = 0;
    int pieces = 0;
    std::size_t i = 0;
    while (i < addressText.size() && pieces < 2) {
        while (i < addressText.size() && addressText[i] == '@') ++i;
        if (i >= addressText.size()) break;
        std::size_t end = addressText.find('@', i);
        if (end == std::string_view::npos) end = addressText.size();
        std::string_view piece = addressText.substr(i, end - i);
        if (pieces == 0) {
            ip.assign(piece);
        } else {
            port = readNumber(piece);
        }
        ++pieces;
        i = end;
    }
    return pieces;
}

DatagramFields parseDatagram(std::string_view text, std::string_view sourceIp) {
    text = text.substr(0, text.find('\0'));
    DatagramFields f;
    f.type = text.empty() ? '\0' : text[0];
    f.ttl = readNumber(window(text, 4, 4));

    std::string_view addr = window(text, 8, 22);
    std::size_t cut = addr.size();
    bool seenOther = false;
    for (std::size_t i = 0; i < addr.size(); ++i) {
        if (addr[i] != Tick) {
            seenOther = true;
        } else if (seenOther) {
            cut = i;
            break;
        }
    }
    f.addressText.assign(addr.substr(0, cut));

    int pieces = splitAddress(f.addressText, f.ipText, f.port);
    f.hasIpPiece = pieces >= 1;
    f.hasPortPiece = pieces >= 2;

    if (f.type == 'S') f.sequence = readNumber(window(text, 30, 10));
    f.sourceIp.assign(sourceIp.substr(0, 15));
    return f;
}

bool isDottedQuad(std::string_view text) {
    if (text.empty() || text.size() > 15) return false;
    char buf[16];
    copyField(buf, text);
    if (std::string_view(buf).size() != text.size()) return false;  // held a zero byte
    in_addr a{};
    return inet_pton(AF_INET, buf, &a) == 1;
}

bool hasUsableAddress(const DatagramFields& fields) {
    return fields.hasPortPiece && isDottedQuad(fields.ipText);
}

}  // namespace palaver
