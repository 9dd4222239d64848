#include <gtest/gtest.h>

#include <QString>

#include "cp932.h"

using namespace palaver::shell;

namespace {
const std::string A = "\x82\xa0";  // あ
QString repeated(const char* utf8, int n) { return QString::fromUtf8(utf8).repeated(n); }
}  // namespace

TEST(Cp932, TypedTextIsEncodedAndCutBetweenCharacters) {
    EXPECT_EQ(encodeCp932(QStringLiteral("hello %s"), 79), "hello %s");
    EXPECT_EQ(encodeCp932(QString::fromUtf8("あ"), 79), A);
    // Half-width katakana is one byte.
    EXPECT_EQ(encodeCp932(QString::fromUtf8("ｱ"), 79), "\xb1");

    // 40 double-byte characters are 80 bytes: only 39 fit into 79.
    std::string cut = encodeCp932(repeated("あ", 40), 79);
    EXPECT_EQ(cut.size(), 78u);
    EXPECT_EQ(cut.substr(76), A);
    // With one single-byte character in front the limit falls exactly.
    std::string exact = encodeCp932(QStringLiteral("a") + repeated("あ", 40), 79);
    EXPECT_EQ(exact.size(), 79u);
    EXPECT_EQ(exact.substr(77), A);
    // Plain text is cut at the byte limit.
    EXPECT_EQ(encodeCp932(QString(100, QLatin1Char('x')), 79).size(), 79u);
}

TEST(Cp932, CharactersOutsideTheCodePageBecomeQuestionMarks) {
    EXPECT_EQ(encodeCp932(QString::fromUtf8("a\xF0\x9F\x98\x80"
                                            "b"),
                          79),
              "a?b");                                                // an emoji
    EXPECT_EQ(encodeCp932(QString::fromUtf8("\xC3\xA9"), 79), "?");  // é
}

TEST(Cp932, ReceivedBytesAreDecodedAndBadBytesDoNotStopTheLine) {
    EXPECT_EQ(decodeCp932("S00`0``" + A + "x"), QString::fromUtf8("S00`0``あx"));
    EXPECT_EQ(decodeCp932("\xb1\xb2"), QString::fromUtf8("ｱｲ"));
    // A lead byte with no trail byte at the end is dropped.
    EXPECT_EQ(decodeCp932("ab\x82"), QStringLiteral("ab"));
    // An invalid byte shows as one replacement character; the rest follows.
    QString bad = decodeCp932("a\xa0z");
    EXPECT_EQ(bad, QStringLiteral("a") + QChar(QChar::ReplacementCharacter) + QStringLiteral("z"));
    EXPECT_EQ(decodeCp932(""), QString());
}

TEST(Cp932, PrefixNeverEndsInsideADoubleByteCharacter) {
    std::string text = "a" + A + A;  // 5 bytes
    EXPECT_EQ(cp932Prefix(text, 5), 5u);
    EXPECT_EQ(cp932Prefix(text, 4), 3u);
    EXPECT_EQ(cp932Prefix(text, 2), 1u);
    EXPECT_EQ(cp932Prefix(text, 100), 5u);
    EXPECT_EQ(cp932Prefix("\xb1\xb1\xb1", 2), 2u);  // single-byte katakana
}
