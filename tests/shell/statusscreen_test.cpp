#include <gtest/gtest.h>

#include <QFontInfo>
#include <QFontMetrics>

#include "cp932.h"
#include "shell_support.h"
#include "statusscreen.h"

using namespace palaver;
using namespace palaver::shell;
using palaver::shelltest::ShellRig;

namespace {

const TextItem* findItem(const std::vector<TextItem>& items, const std::string& prefix) {
    for (const TextItem& item : items) {
        if (item.bytes.rfind(prefix, 0) == 0) return &item;
    }
    return nullptr;
}

int countPixels(const QImage& image, QRect area, QRgb colour) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF)) ++n;
    return n;
}

// Pixels of white text on the black box (anti-aliased edges included).
int countBright(const QImage& image, QRect area) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (qGray(image.pixel(x, y)) > 128) ++n;
    return n;
}

// Pixels clearly darker than the light background.
int countDark(const QImage& image, QRect area) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (qGray(image.pixel(x, y)) < 100) ++n;
    return n;
}

const QRect Box(QPoint(BoxLeft, BoxTop), QPoint(BoxRight - 1, BoxBottom - 1));

}  // namespace

TEST(StatusScreen, StartedNodeShowsItsRingOfOneAndTheStartLine) {
    ShellRig rig;
    rig.start();
    ASSERT_EQ(rig.node().NodePhase.load(), 2);
    StatusSnapshot snap = takeSnapshot(rig.node());
    std::vector<TextItem> items = statusItems(snap);
    const PeerEntry& self = snap.self;
    const std::string id = std::to_string(self.id);
    const std::string port = std::to_string(self.port);

    struct Expected {
        std::string text;
        int x, y, cell;
        bool white;
    };
    const Expected expected[] = {
        {"start", 0, 50, 10, false},
        {"latestTTL : 0", 500, 88, 10, true},
        {"MY ID : " + id, 320, 28, 20, true},
        {"MY IP : 127.0.0.1", 320, 48, 20, true},
        {"USE PORT : " + port, 320, 68, 20, true},
        {"NEXT ID : " + id, 320, 88, 10, true},
        {"NEXT IP : 127.0.0.1", 320, 98, 10, true},
        {"NEXT PORT : " + port, 320, 108, 10, true},
        {"back ID : " + id, 320, 128, 10, true},
        {"back IP : 127.0.0.1", 320, 138, 10, true},
        {"back PORT : " + port, 320, 148, 10, true},
        {"critical ID : " + id, 320, 168, 10, true},
        {"critical IP : 127.0.0.1", 320, 178, 10, true},
        {"critical PORT : " + port, 320, 188, 10, true},
    };
    ASSERT_EQ(items.size(), std::size(expected));
    for (std::size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(expected[i].text);
        EXPECT_EQ(items[i].bytes, expected[i].text);
        EXPECT_EQ(items[i].x, expected[i].x);
        EXPECT_EQ(items[i].y, expected[i].y);
        EXPECT_EQ(items[i].cellHeight, expected[i].cell);
        EXPECT_EQ(items[i].white, expected[i].white);
    }
    EXPECT_EQ(findItem(items, "rnd:"), nullptr);
    EXPECT_EQ(findItem(items, "Memver:"), nullptr);
}

TEST(StatusScreen, HistoryMembersAndRandomPeersGoDownFromTheirFirstLine) {
    StatusSnapshot s;
    s.phase = 2;
    for (int i = 0; i < 60; ++i) s.history.push_back("h" + std::to_string(i));
    s.members.push_back({"10.0.0.10@50000", MemberInfo{7, 2}});
    s.members.push_back({"10.0.0.2@50000", MemberInfo{1, 0}});
    s.table.randomCount = 2;
    s.table.random[0].assign(124, "10.0.0.3", 5);
    s.table.random[1].assign(124, "10.0.0.4", 6);
    std::vector<TextItem> items = statusItems(s);

    // History lines: y = 40 + 10 n for the n-th; none starts below the picture.
    const TextItem* fifth = findItem(items, "h4");
    ASSERT_NE(fifth, nullptr);
    EXPECT_EQ(fifth->y, 90);
    int historyLines = 0;
    for (const TextItem& item : items) {
        EXPECT_LT(item.y, ScreenHeight);
        if (item.bytes[0] == 'h') ++historyLines;
    }
    EXPECT_EQ(historyLines, 43);  // y 50 .. 470

    const TextItem* m1 = findItem(items, "Memver:10.0.0.10@50000, 7, 2");
    const TextItem* m2 = findItem(items, "Memver:10.0.0.2@50000, 1, 0");
    ASSERT_TRUE(m1 && m2);
    EXPECT_EQ(m1->x, 400);
    EXPECT_EQ(m1->y, 230);
    EXPECT_EQ(m2->y, 240);
    EXPECT_FALSE(m1->white);

    const TextItem* r0 = findItem(items, "rnd:10.0.0.3@5");
    const TextItem* r1 = findItem(items, "rnd:10.0.0.4@6");
    ASSERT_TRUE(r0 && r1);
    EXPECT_EQ(r0->x, 460);
    EXPECT_EQ(r0->y, 100);
    EXPECT_EQ(r1->y, 110);
    EXPECT_TRUE(r0->white);
    EXPECT_EQ(findItem(items, "rnd:@"), nullptr);

    // An empty entry shows its label with nothing after it.
    EXPECT_NE(findItem(items, "NEXT IP : "), nullptr);
    EXPECT_EQ(findItem(items, "NEXT IP : ")->bytes, "NEXT IP : ");
    EXPECT_EQ(findItem(items, "NEXT ID : ")->bytes, "NEXT ID : 0");

    s.phase = 1;
    EXPECT_TRUE(statusItems(s).empty());
}

TEST(StatusScreen, LongLinesStopAtTheLineBufferWithoutSplittingACharacter) {
    StatusSnapshot s;
    s.phase = 2;
    std::string doubleByte;
    for (int i = 0; i < 500; ++i) doubleByte += "\x82\xa0";
    s.history = {std::string(1000, 'x'), doubleByte, "a" + doubleByte};
    s.members.push_back({std::string(400, 'k'), MemberInfo{1, 1}});
    std::vector<TextItem> items = statusItems(s);
    EXPECT_EQ(items[0].bytes, std::string(319, 'x'));
    EXPECT_EQ(items[1].bytes.size(), 318u);  // 319 would split the 160th character
    EXPECT_EQ(items[2].bytes.size(), 319u);
    EXPECT_EQ(decodeCp932(items[1].bytes), QString::fromUtf8("あ").repeated(159));
    EXPECT_EQ(findItem(items, "Memver:")->bytes.size(), 319u);
}

TEST(StatusScreen, FontsAreBoldFixedPitchWithTheirCellHeights) {
    StatusScreen screen;
    screen.create(QStringLiteral("no-such-file.bmp"));
    for (int cell : {10, 20}) {
        const QFont& f = screen.font(cell);
        QFontMetrics m(f);
        EXPECT_LE(m.height(), cell + cell / 10);
        EXPECT_GE(m.height(), cell - 2);
        EXPECT_EQ(f.weight(), QFont::Bold);
        // Fixed pitch: every half-width character has one advance, and a
        // full-width one twice that (give or take the rounding).
        int half = m.horizontalAdvance(QLatin1Char('W'));
        EXPECT_EQ(m.horizontalAdvance(QLatin1Char('i')), half);
        EXPECT_EQ(m.horizontalAdvance(QLatin1Char('0')), half);
        EXPECT_NEAR(m.horizontalAdvance(QString::fromUtf8("あ")), 2 * half, 1) << QFontInfo(f).family().toStdString();
    }
    if (statusFontFace() == QStringLiteral("IPAGothic")) {
        EXPECT_EQ(QFontInfo(screen.font(10)).family(), QStringLiteral("IPAGothic"));
        // Full-size ems: at 9 pixels the face has no legible '@'.
        EXPECT_EQ(screen.font(10).pixelSize(), 10);
        EXPECT_EQ(screen.font(20).pixelSize(), 20);
    }
}

TEST(StatusScreen, PicturesBeforeAndAfterTheStart) {
    ShellRig rig;
    rig.initialise();
    rig.ticks(1);  // the first drawing, NodePhase 1
    const StatusScreen& screen = rig.shell().screen();
    ASSERT_EQ(screen.framesDrawn(), 1);
    QImage bg = screen.background();
    ASSERT_FALSE(bg.isNull());
    ASSERT_EQ(bg.size(), QSize(640, 480));
    QImage before = screen.backBuffer().copy();

    // The black box covers exactly x 300..619, y 8..207, and holds no text yet.
    EXPECT_EQ(countPixels(before, Box, 0xFF000000), Box.width() * Box.height());
    for (QPoint outside : {QPoint(299, 8), QPoint(620, 8), QPoint(300, 7), QPoint(619, 208), QPoint(299, 207),
                           QPoint(0, 0), QPoint(639, 479), QPoint(10, 300)}) {
        EXPECT_EQ(before.pixel(outside), bg.pixel(outside)) << outside.x() << "," << outside.y();
    }
    // Nothing but background and box.
    for (int y = 0; y < 480; y += 7) {
        for (int x = 0; x < 640; x += 7) {
            if (!Box.contains(x, y)) {
                ASSERT_EQ(before.pixel(x, y), bg.pixel(x, y)) << x << "," << y;
            }
        }
    }
    // The window shows the same picture.
    EXPECT_EQ(rig.shell().window()->shownPicture(), before);

    int port = palaver::shelltest::freeUdpPort();
    rig.pressStart(QStringLiteral("127.0.0.1"), QString::number(port));
    ASSERT_EQ(rig.node().NodePhase.load(), 2);
    QImage after = screen.backBuffer();
    EXPECT_EQ(screen.framesDrawn(), 2);

    // White text in the box now: the identity lines at 20 pixels and the rest
    // at 10; the margin left of x 320 stays black.
    EXPECT_GT(countBright(after, QRect(320, 28, 280, 60)), 300);
    EXPECT_GT(countBright(after, QRect(320, 88, 150, 110)), 150);
    EXPECT_GT(countBright(after, QRect(500, 88, 100, 10)), 15);  // latestTTL
    EXPECT_EQ(countBright(after, QRect(300, 8, 20, 200)), 0);
    // The box corners and the background outside it stay as they were.
    for (QPoint p : {QPoint(300, 8), QPoint(619, 8), QPoint(300, 207), QPoint(619, 207)})
        EXPECT_EQ(after.pixel(p), 0xFF000000u);
    for (QPoint p : {QPoint(299, 100), QPoint(620, 100), QPoint(450, 7), QPoint(450, 208), QPoint(639, 479)})
        EXPECT_EQ(after.pixel(p), bg.pixel(p));

    // "start" is black with its cell's top at y 50: ink in y 50..59, none just above.
    EXPECT_GT(countDark(after, QRect(0, 50, 30, 10)), 10);
    EXPECT_EQ(countDark(after, QRect(0, 40, 30, 10)), 0);
    EXPECT_EQ(countDark(after, QRect(0, 61, 30, 10)), 0);
}

TEST(StatusScreen, MissingBackgroundGivesACalmPlainColour) {
    ShellRig rig(QStringLiteral("/nonexistent/BG1.bmp"));
    rig.initialise();
    rig.ticks(1);
    const QImage& image = rig.shell().screen().backBuffer();
    EXPECT_TRUE(rig.shell().screen().background().isNull());
    for (QPoint p : {QPoint(0, 0), QPoint(299, 8), QPoint(639, 479), QPoint(100, 300)})
        EXPECT_EQ(image.pixel(p), CalmBackground);
    EXPECT_EQ(image.pixel(300, 8), 0xFF000000u);
    EXPECT_GT(qGray(CalmBackground), 200);  // light: black text stays readable
}

TEST(StatusScreen, UnchangedScreenIsNotPaintedAgainButAChangeIs) {
    ShellRig rig;
    rig.start();
    const StatusScreen& screen = rig.shell().screen();
    rig.ticks(1);
    const int painted = screen.picturesPainted();
    const QImage shown = rig.shell().window()->shownPicture().copy();

    // Idle ticks draw the screen but find nothing new to paint or show.
    rig.ticks(3);
    EXPECT_EQ(screen.picturesPainted(), painted);
    EXPECT_EQ(rig.shell().window()->shownPicture(), shown);

    // A chat line changes the history and the member table: painted and shown.
    rig.node().sendOwnChat("changed");
    ASSERT_TRUE(palaver::shelltest::waitFor([&] {
        auto guard = rig.node().lock();
        return rig.node().history().size() == 2;
    }));
    rig.ticks(1);
    EXPECT_EQ(screen.picturesPainted(), painted + 1);
    EXPECT_NE(rig.shell().window()->shownPicture(), shown);
    EXPECT_EQ(rig.shell().window()->shownPicture(), screen.backBuffer());
}
