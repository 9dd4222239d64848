// Logged packets taken apart into drops.csv rows: the IP and UDP headers
// read within the logged length, the datagram through the node's parser,
// received bytes never taken for CSV structure.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "datagram.h"
#include "net/droplog.h"

namespace palaver::lab {
namespace {

// An IPv4 packet of `protocol` from 10.1.2.3:40000 to 10.4.5.6:50001 with
// `extraWords` 32-bit words of IP options before the UDP header.
std::vector<unsigned char> packet(const std::string& payload, unsigned char protocol = 17, int extraWords = 0) {
    std::vector<unsigned char> p(static_cast<std::size_t>(20 + 4 * extraWords), 0);
    p[0] = static_cast<unsigned char>(0x40 | (5 + extraWords));
    p[9] = protocol;
    const unsigned char src[] = {10, 1, 2, 3};
    const unsigned char dst[] = {10, 4, 5, 6};
    std::copy(src, src + 4, p.begin() + 12);
    std::copy(dst, dst + 4, p.begin() + 16);
    const unsigned char udp[] = {0x9c, 0x40, 0xc3, 0x51, 0, 0, 0, 0};  // 40000, 50001
    p.insert(p.end(), udp, udp + 8);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

std::size_t commas(const std::string& row) { return static_cast<std::size_t>(std::count(row.begin(), row.end(), ',')); }

TEST(DropLog, PacketsBecomeRowsOfTheirDatagramsFields) {
    const std::size_t columns = commas(dropsCsvHeader());
    ASSERT_EQ(dropsCsvHeader(), "ms,rule,source,destination,type,ttl,originator,sequence\n");
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
        std::size_t length;  // of `bytes` given to the parser
        std::string row;
    };
    const auto chat = packet(composeChat(1, "127.0.0.9", 5000, 42, "hello, world"));
    const auto forwarded = [] {
        std::string d = composeChat(0, "127.0.0.9", 5000, 7, "x");
        rewriteHeader(d, chatForwardHeader(4));
        return packet(d, 17, 2);
    }();
    const auto walk = packet(composeWalk("127.0.0.8", 5001));
    const auto join = packet(composeAddressed('n', "127.0.0.7", 5002));
    const auto tcp = packet("S00`1```", 6);
    const auto hostile = packet("\x01\x02,\"x\n", 17);
    const auto padded = [](std::string t, std::size_t n) { return t.append(n > t.size() ? n - t.size() : 0, '`'); };
    const auto badChat = packet("S00`3```" + padded("1,2\"3\n@77", AddressFieldWidth) + "`" +
                                padded("12", SequenceFieldWidth) + "`x`");
    const auto ttlOf = [](const std::string& d) { return std::to_string(parseDatagram(d, "").ttl); };
    const std::vector<Case> cases = {
        {"a chat datagram", chat, chat.size(), "12,loss,10.1.2.3@40000,10.4.5.6@50001,S,1,127.0.0.9@5000,42\n"},
        {"a passed-on chat behind IP options", forwarded, forwarded.size(),
         "12,loss,10.1.2.3@40000,10.4.5.6@50001,S,4,127.0.0.9@5000,7\n"},
        {"a walk: originator, no sequence", walk, walk.size(),
         "12,loss,10.1.2.3@40000,10.4.5.6@50001,L," + ttlOf(composeWalk("127.0.0.8", 5001)) + ",127.0.0.8@5001,\n"},
        {"a join referral: neither", join, join.size(),
         "12,loss,10.1.2.3@40000,10.4.5.6@50001,n," + ttlOf(composeAddressed('n', "127.0.0.7", 5002)) + ",,\n"},
        {"no UDP: the addresses alone", tcp, tcp.size(), "12,loss,10.1.2.3,10.4.5.6,,,,\n"},
        {"cut inside the UDP header", chat, 24, "12,loss,10.1.2.3,10.4.5.6,,,,\n"},
        {"cut inside the IP header", chat, 19, "12,loss,,,,,,\n"},
        {"nothing", chat, 0, "12,loss,,,,,,\n"},
        {"an empty datagram", chat, 28, "12,loss,10.1.2.3@40000,10.4.5.6@50001,,,,\n"},
        {"bytes that are no letter", hostile, hostile.size(), "12,loss,10.1.2.3@40000,10.4.5.6@50001,?,0,,\n"},
        {"an address with a comma and a quote", badChat, badChat.size(),
         "12,loss,10.1.2.3@40000,10.4.5.6@50001,S,3,1?2?3?@77,12\n"},
    };
    for (const Case& c : cases) {
        const DropRecord r = parseDroppedPacket(c.bytes.data(), c.length, 12, "loss");
        const std::string row = dropsCsvRow(r);
        EXPECT_EQ(row, c.row) << c.what;
        EXPECT_EQ(commas(row), columns) << c.what;
    }
}

TEST(DropLog, ALongDatagramIsReadOnlyAsFarAsANodeWould) {
    // A chat datagram of 5000 bytes: the node takes at most MaxReceive, and
    // so does the parser here; its fields sit at the front either way.
    const auto big = packet(composeChat(2, "127.0.0.9", 5000, 3, std::string(5000, 'z')));
    const DropRecord r = parseDroppedPacket(big.data(), big.size(), 0, "partition");
    EXPECT_EQ(r.type, 'S');
    EXPECT_EQ(r.originator, "127.0.0.9@5000");
    ASSERT_TRUE(r.sequence);
    EXPECT_EQ(*r.sequence, 3);
    EXPECT_EQ(r.rule, "partition");
    // A rule's prefix is data too.
    EXPECT_EQ(parseDroppedPacket(big.data(), big.size(), 0, "a,b\"c").rule, "a?b?c");
}

}  // namespace
}  // namespace palaver::lab
