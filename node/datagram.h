// Wire format of the overlay's datagrams: tick-padded fixed fields, one
// composing function per datagram type, the header rewrite used when a
// datagram is passed on, and the parser every received datagram goes through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace palaver {

constexpr char Tick = '`';
// Largest datagram the receive loop takes; anything longer is a failed receive.
constexpr std::size_t MaxReceive = 1000;
// Width of the padded address field and of the sequence field.
constexpr std::size_t AddressFieldWidth = 21;
constexpr std::size_t SequenceFieldWidth = 9;
// Header: type letter, "00", tick, three TTL characters, tick.
constexpr std::size_t HeaderLength = 8;
// TTL values written into a header are kept inside what three characters can
// hold, so a rewritten header never runs over the separator behind it.
constexpr int32_t MaxHeaderTtl = 999;
constexpr int32_t MinHeaderTtl = -99;

// Appends ticks until the text has n characters; longer texts are kept whole.
std::string padField(std::string_view text, std::size_t n);
// "ip@port", padded with ticks to the address field width when `padded`.
std::string formatAddress(std::string_view ip, int32_t port, bool padded);
// The three TTL characters of a header: the clamped decimal TTL padded to 3.
std::string ttlDigits(int32_t ttl);
// Overwrites the first 8 characters of a datagram with those of `header`.
void rewriteHeader(std::string& datagram, std::string_view header);
// "S00`<ttl>`" / "L00`<ttl>`": the header of a passed-on chat or walk datagram.
std::string chatForwardHeader(int32_t ttl);
std::string walkForwardHeader(int32_t ttl);

// Composing, one function per datagram type.
std::string composeStop();
std::string composeJoinRequest(std::string_view ownIp, int32_t ownPort);     // N
std::string composeAddressed(char type, std::string_view ip, int32_t port);  // n X x B b
std::string composeNotice(char type, std::string_view ip, int32_t port);     // D d
std::string composeWalk(std::string_view ownIp, int32_t ownPort);            // L (start)
std::string composeWalkReply(std::string_view ownIp, int32_t ownPort);       // l
// S with TTL 0 for a typed line, TTL 1 for the greeting.
std::string composeChat(int32_t ttl, std::string_view ownIp, int32_t ownPort, int32_t sequence,
                        std::string_view text);

struct DatagramFields {
    char type = '\0';
    int32_t ttl = 0;
    std::string addressText;  // at most 22 characters
    std::string ipText;
    int32_t port = 0;
    bool hasIpPiece = false;
    bool hasPortPiece = false;
    int32_t sequence = 0;  // chat datagrams only
    std::string sourceIp;  // dotted quad of the UDP source
};

// Takes a datagram text apart. The text ends at its first zero byte.
DatagramFields parseDatagram(std::string_view text, std::string_view sourceIp);

// A strict dotted-quad IPv4 text (four decimal parts 0..255, nothing else).
bool isDottedQuad(std::string_view text);
// Whether a parsed address can be stored and sent to: a port piece and a
// dotted-quad ip piece.
bool hasUsableAddress(const DatagramFields& fields);

// Splits "ip@port" at '@', skipping empty pieces: the ip is the first piece,
// the port the number read from the second. Returns how many pieces were found
// (0, 1 or 2; further pieces are ignored).
int splitAddress(std::string_view addressText, std::string& ip, int32_t& port);

}  // namespace palaver
