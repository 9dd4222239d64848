// Wire format: padding, composing every datagram type, header rewrite and
// parsing.
#include <gtest/gtest.h>

#include <string>

#include "datagram.h"

namespace palaver {
namespace {

std::string ticks(std::size_t n) { return std::string(n, '`'); }

TEST(PadField, AppendsTicksButNeverCuts) {
    EXPECT_EQ(padField("192.0.2.15@50000", 21), "192.0.2.15@50000" + ticks(5));
    std::string full = "255.255.255.255@65535";
    ASSERT_EQ(full.size(), 21u);
    EXPECT_EQ(padField(full, 21), full);
    EXPECT_EQ(padField(full + "9", 21), full + "9");
    EXPECT_EQ(padField("", 3), "```");
    EXPECT_EQ(padField("%s", 4), "%s``");
}

TEST(PadField, TtlDigitsFillThreeCharactersAndClamp) {
    EXPECT_EQ(ttlDigits(999), "999");
    EXPECT_EQ(ttlDigits(0), "0``");
    EXPECT_EQ(ttlDigits(31), "31`");
    EXPECT_EQ(ttlDigits(1000), "999");
    EXPECT_EQ(ttlDigits(INT32_MAX), "999");
    EXPECT_EQ(ttlDigits(-5), "-5`");
    EXPECT_EQ(ttlDigits(INT32_MIN), "-99");
}

TEST(Compose, ChatWorkedExampleByteForByte) {
    std::string d = composeChat(0, "192.0.2.15", 50000, 3, "hi");
    const unsigned char expected[43] = {
        0x53, 0x30, 0x30, 0x60, 0x30, 0x60, 0x60, 0x60,                                      // header
        0x31, 0x39, 0x32, 0x2E, 0x30, 0x2E, 0x32, 0x2E, 0x31, 0x35, 0x40, 0x35, 0x30, 0x30,  // address
        0x30, 0x30, 0x60, 0x60, 0x60, 0x60, 0x60, 0x60,                                      // pad, separator
        0x33, 0x60, 0x60, 0x60, 0x60, 0x60, 0x60, 0x60, 0x60, 0x60,                          // sequence
        0x68, 0x69, 0x60};                                                                   // text, terminator
    ASSERT_EQ(d.size(), 43u);
    EXPECT_EQ(d, std::string(reinterpret_cast<const char*>(expected), 43));

    DatagramFields f = parseDatagram(d, "192.0.2.15");
    EXPECT_EQ(f.type, 'S');
    EXPECT_EQ(f.ttl, 0);
    EXPECT_EQ(f.addressText, "192.0.2.15@50000");
    EXPECT_EQ(f.ipText, "192.0.2.15");
    EXPECT_EQ(f.port, 50000);
    EXPECT_EQ(f.sequence, 3);
    EXPECT_TRUE(hasUsableAddress(f));

    std::string forwarded = d;
    rewriteHeader(forwarded, chatForwardHeader(f.ttl + 1));
    EXPECT_EQ(forwarded, "S00`1```" + d.substr(8));
    EXPECT_EQ(parseDatagram(forwarded, "").ttl, 1);
}

TEST(Compose, EveryTypeFromItsLiteralFormat) {
    EXPECT_EQ(composeStop(), "!00`001`127.0.0.1@50000`");
    EXPECT_EQ(composeJoinRequest("10.0.0.2", 50000), "N00`001`10.0.0.2@50000`");
    for (char t : std::string("nXxBb")) {
        EXPECT_EQ(composeAddressed(t, "10.1.2.3", 4000), std::string(1, t) + "00`001`10.1.2.3@4000`");
    }
    EXPECT_EQ(composeNotice('D', "10.1.2.3", 4000), "D00`001`10.1.2.3@4000" + ticks(8) + "`");
    EXPECT_EQ(composeNotice('d', "10.1.2.3", 4000), "d00`001`10.1.2.3@4000" + ticks(8) + "`");

    std::string walk = composeWalk("10.0.0.2", 50000);
    EXPECT_EQ(walk.size(), 52u);
    EXPECT_EQ(walk, "L00`31``10.0.0.2@50000" + ticks(7) + "`1" + ticks(8) + "`I love you.`");
    DatagramFields wf = parseDatagram(walk, "");
    EXPECT_EQ(wf.ttl, 31);
    EXPECT_EQ(wf.addressText, "10.0.0.2@50000");

    std::string reply = composeWalkReply("10.0.0.2", 50000);
    EXPECT_EQ(reply, "l00`1```10.0.0.2@50000" + ticks(5) + "1" + ticks(9) + "Me to.");
    EXPECT_NE(reply.back(), '`');
    DatagramFields rf = parseDatagram(reply, "");
    EXPECT_EQ(rf.ipText, "10.0.0.2");
    EXPECT_EQ(rf.port, 50000);

    EXPECT_EQ(composeChat(1, "10.0.0.2", 7, 12, "Hello"), "S00`1```10.0.0.2@7" + ticks(11) + "`12" + ticks(7) + "`Hello`");
    // Text is data, never a format.
    EXPECT_EQ(composeChat(0, "1.2.3.4", 5, 1, "%s%n%d").substr(40), "%s%n%d`");
    EXPECT_EQ(chatForwardHeader(1000), "S00`999`");
    EXPECT_EQ(walkForwardHeader(30), "L00`30``");
}

TEST(Compose, RewriteHeaderTouchesOnlyTheFirstEightCharacters) {
    std::string d = "L00`31``rest-of-it";
    rewriteHeader(d, walkForwardHeader(30));
    EXPECT_EQ(d, "L00`30``rest-of-it");
    rewriteHeader(d, "S00`999`and-more");
    EXPECT_EQ(d, "S00`999`rest-of-it");
    std::string shortOne = "S0";
    rewriteHeader(shortOne, "S00`1```");
    EXPECT_EQ(shortOne, "S00`1```");
}

TEST(Parse, ShortEmptyAndCutDatagrams) {
    DatagramFields e = parseDatagram("", "1.2.3.4");
    EXPECT_EQ(e.type, '\0');
    EXPECT_EQ(e.ttl, 0);
    EXPECT_EQ(e.addressText, "");
    EXPECT_FALSE(e.hasIpPiece);
    EXPECT_EQ(e.sourceIp, "1.2.3.4");

    DatagramFields s = parseDatagram("S00`7", "");
    EXPECT_EQ(s.type, 'S');
    EXPECT_EQ(s.ttl, 7);
    EXPECT_EQ(s.addressText, "");
    EXPECT_EQ(s.sequence, 0);

    // Everything behind a zero byte is not there.
    std::string cut = composeChat(4, "10.0.0.1", 1, 9, "x");
    cut[12] = '\0';
    DatagramFields c = parseDatagram(cut, "");
    EXPECT_EQ(c.addressText, "10.0");
    EXPECT_FALSE(c.hasPortPiece);
    EXPECT_EQ(c.sequence, 0);
    EXPECT_EQ(parseDatagram(std::string("\0S00`5``", 8), "").type, '\0');

    EXPECT_EQ(parseDatagram("S00`abc`", "").ttl, 0);
    EXPECT_EQ(parseDatagram("S00` -3`", "").ttl, -3);
    // The sequence is read for chat only.
    EXPECT_EQ(parseDatagram("L00`5```1.2.3.4@5" + ticks(12) + "`77", "").sequence, 0);
}

TEST(Parse, AddressWindowCutsAtFirstTickAfterText) {
    DatagramFields n = parseDatagram(composeAddressed('n', "10.1.2.3", 4000), "");
    EXPECT_EQ(n.ttl, 1);
    EXPECT_EQ(n.addressText, "10.1.2.3@4000");
    EXPECT_EQ(n.ipText, "10.1.2.3");
    EXPECT_EQ(n.port, 4000);

    DatagramFields led = parseDatagram("n00`001```10.1.2.3@4000`", "");
    EXPECT_EQ(led.addressText, "``10.1.2.3@4000");
    EXPECT_EQ(led.ipText, "``10.1.2.3");
    EXPECT_EQ(led.port, 4000);
    EXPECT_FALSE(hasUsableAddress(led)) << "a tick-led ip is no dotted quad";

    // All ticks: the whole 22-character window.
    EXPECT_EQ(parseDatagram("n00`001`" + ticks(30), "").addressText, ticks(22));
    // No tick at all inside the window: 22 characters.
    EXPECT_EQ(parseDatagram("n00`001`" + std::string(30, '1'), "").addressText, std::string(22, '1'));

    DatagramFields at = parseDatagram("D00`001`@@10.0.0.1@@@77@9`", "");
    EXPECT_EQ(at.ipText, "10.0.0.1");
    EXPECT_EQ(at.port, 77);
    EXPECT_TRUE(hasUsableAddress(at));

    DatagramFields pct = parseDatagram("S00`0```%s%n@%d`1`%x`", "");
    EXPECT_EQ(pct.addressText, "%s%n@%d");
    EXPECT_EQ(pct.ipText, "%s%n");
    EXPECT_EQ(pct.port, 0);
}

// The sequence field is padded to nine characters but never cut: a number
// of ten digits is written whole and read back whole.
TEST(Parse, SequenceOfTenDigitsIsReadWhole) {
    for (const int32_t sequence : {999999999, 1000000000, 2147483647}) {
        SCOPED_TRACE(sequence);
        EXPECT_EQ(parseDatagram(composeChat(0, "10.0.0.1", 5, sequence, "hi"), "").sequence, sequence);
    }
}

TEST(Parse, UsableAddressNeedsPortPieceAndStrictDottedQuad) {
    auto usable = [](const std::string& address) {
        return hasUsableAddress(parseDatagram("X00`001`" + address + "`", ""));
    };
    EXPECT_TRUE(usable("10.0.0.1@5"));
    EXPECT_TRUE(usable("10.0.0.1@x")) << "a port piece without digits reads as 0";
    EXPECT_FALSE(usable("10.0.0.1"));
    EXPECT_FALSE(usable("10.0.0.1@"));
    EXPECT_FALSE(usable("@@@"));
    EXPECT_FALSE(usable("host@5"));
    EXPECT_FALSE(usable("10.0.0.256@5"));
    EXPECT_FALSE(usable("10.0.0@5"));
    EXPECT_FALSE(usable("10.0.0.1x@5"));
    EXPECT_FALSE(usable(" 10.0.0.1@5"));
    EXPECT_FALSE(isDottedQuad(""));
    EXPECT_FALSE(isDottedQuad("255.255.255.2550"));
    EXPECT_FALSE(isDottedQuad(std::string_view("1.2.3.4\0", 8)));
    EXPECT_TRUE(isDottedQuad("255.255.255.255"));
}

}  // namespace
}  // namespace palaver
