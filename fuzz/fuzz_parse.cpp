// Fuzzes the datagram parser and the header rewrite with arbitrary bytes.
#include <cstdlib>
#include <string>

#include "datagram.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzinput::Input in = fuzzinput::split(data, size);
    char source[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in.source.sin_addr, source, sizeof source);

    palaver::DatagramFields f = palaver::parseDatagram(in.datagram, source);
    // The address window is 22 bytes: nothing parsed from it may be longer.
    if (f.addressText.size() > 22 || f.ipText.size() > f.addressText.size()) std::abort();
    if (f.sourceIp.size() > 15) std::abort();
    if (f.hasPortPiece && !f.hasIpPiece) std::abort();

    // Passing a datagram on changes its first 8 bytes and nothing after them.
    std::string text(in.datagram.substr(0, in.datagram.find('\0')));
    std::string forwarded = text;
    palaver::rewriteHeader(forwarded, palaver::chatForwardHeader(f.ttl + 1));
    if (forwarded.size() < palaver::HeaderLength || forwarded[7] != palaver::Tick) std::abort();
    if (text.size() > palaver::HeaderLength &&
        forwarded.compare(palaver::HeaderLength, std::string::npos, text, palaver::HeaderLength) != 0) {
        std::abort();
    }
    if (palaver::hasUsableAddress(f) && !palaver::isDottedQuad(f.ipText)) std::abort();
    return 0;
}
