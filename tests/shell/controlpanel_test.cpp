#include <gtest/gtest.h>

#include <QClipboard>
#include <QKeyEvent>

#include <algorithm>
#include <set>

#include "cp932.h"
#include "shell_support.h"
#include "statusscreen.h"

using namespace palaver;
using namespace palaver::shell;
using namespace palaver::shelltest;

namespace {

// The names of the controls on the window, with the place and text of each.
struct Control {
    QRect place;
    QString text;
};

std::map<std::string, Control> controlsOnScreen(Shell& shell) {
    std::map<std::string, Control> out;
    for (QWidget* w : shell.window()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (auto* b = qobject_cast<QPushButton*>(w)) out[w->objectName().toStdString()] = {w->geometry(), b->text()};
        if (auto* e = qobject_cast<QLineEdit*>(w)) out[w->objectName().toStdString()] = {w->geometry(), e->text()};
    }
    return out;
}

std::set<std::string> names(const std::map<std::string, Control>& controls) {
    std::set<std::string> out;
    for (const auto& c : controls) out.insert(c.first);
    return out;
}

void press(QPushButton* button) {
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
}

void pressEnter(QWidget* box, bool autoRepeat = false) {
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"), autoRepeat);
    QApplication::sendEvent(box, &down);
}

}  // namespace

TEST(ControlPanel, StartControlsAndTheSwapAfterStartAndConnect) {
    ShellRig rig;
    rig.ticks(1);
    EXPECT_TRUE(controlsOnScreen(rig.shell()).empty());
    rig.ticks(1);
    auto c = controlsOnScreen(rig.shell());
    ASSERT_EQ(names(c), (std::set<std::string>{"startButton", "addressBox", "portBox"}));
    EXPECT_EQ(c["startButton"].place, QRect(20, 400, 100, 30));
    EXPECT_EQ(c["startButton"].text, QStringLiteral("start"));
    EXPECT_EQ(c["addressBox"].place, QRect(120, 160, 160, 20));
    EXPECT_EQ(c["addressBox"].text, QString::fromLatin1(rig.shell().hostAddressText()));
    EXPECT_TRUE(isDottedQuad(rig.shell().hostAddressText()));
    EXPECT_EQ(c["portBox"].place, QRect(120, 190, 80, 20));
    EXPECT_EQ(c["portBox"].text, QStringLiteral("50000"));

    int port = freeUdpPort();
    rig.pressStart(QStringLiteral("127.0.0.1"), QString::number(port));
    c = controlsOnScreen(rig.shell());
    ASSERT_EQ(names(c), (std::set<std::string>{"chatBox", "connectButton"}));
    EXPECT_EQ(c["chatBox"].place, QRect(120, 360, 280, 20));
    EXPECT_EQ(c["chatBox"].text, QString());
    EXPECT_EQ(c["connectButton"].place, QRect(280, 400, 100, 30));
    EXPECT_EQ(c["connectButton"].text, QString::fromUtf8("コネクト"));
    EXPECT_EQ(rig.shell().window()->focusWidget(), rig.shell().chatBox());

    press(rig.shell().connectButton());
    rig.ticks(1);
    c = controlsOnScreen(rig.shell());
    ASSERT_EQ(names(c), (std::set<std::string>{"chatBox", "joinAddressBox", "joinPortBox", "joinButton"}));
    EXPECT_EQ(c["joinAddressBox"].place, QRect(120, 240, 160, 20));
    EXPECT_EQ(c["joinAddressBox"].text, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(c["joinPortBox"].place, QRect(120, 270, 80, 20));
    EXPECT_EQ(c["joinPortBox"].text, QStringLiteral("50000"));
    EXPECT_EQ(c["joinButton"].place, QRect(400, 300, 100, 30));
    EXPECT_EQ(c["joinButton"].text, QString::fromUtf8("接続"));
    EXPECT_EQ(rig.shell().window()->focusWidget(), rig.shell().joinAddressBox());
}

TEST(ControlPanel, StartWithABadPortLeavesTheStartControls) {
    ShellRig rig;
    rig.initialise();
    for (const char* text : {"0", "-5", "abc", "", "  -0x"}) {
        SCOPED_TRACE(text);
        rig.pressStart(QStringLiteral("127.0.0.1"), QString::fromLatin1(text));
        EXPECT_EQ(rig.node().NodePhase.load(), 1);
        EXPECT_EQ(rig.shell().startRequested(), 0);  // the press was consumed
        EXPECT_EQ(names(controlsOnScreen(rig.shell())),
                  (std::set<std::string>{"startButton", "addressBox", "portBox"}));
    }
    // An address that is not this host's leaves them as well; a corrected
    // press then starts the node, and the port's trailing text is ignored.
    rig.pressStart(QStringLiteral("not an address"), QStringLiteral("50000"));
    EXPECT_EQ(rig.node().NodePhase.load(), 1);
    int port = freeUdpPort();
    rig.pressStart(QStringLiteral("127.0.0.1"), QString::number(port) + QStringLiteral("x"));
    EXPECT_EQ(rig.node().NodePhase.load(), 2);
    auto guard = rig.node().lock();
    EXPECT_EQ(rig.node().state().self.port, port);
}

TEST(ControlPanel, TwoPressesBetweenTicksAreOneRequest) {
    ShellRig rig;
    rig.initialise();
    int port = freeUdpPort();
    rig.shell().addressBox()->setText(QStringLiteral("127.0.0.1"));
    rig.shell().portBox()->setText(QString::number(port));
    press(rig.shell().startButton());
    press(rig.shell().startButton());
    EXPECT_EQ(rig.shell().startRequested(), 1);
    rig.ticks(1);
    EXPECT_EQ(rig.node().NodePhase.load(), 2);
    EXPECT_EQ(rig.shell().startRequested(), 0);
}

TEST(ControlPanel, EnterSendsTheLineOrWritesThePortReport) {
    ShellRig rig;
    int port = rig.start();
    QLineEdit* chat = rig.shell().chatBox();
    ASSERT_NE(chat, nullptr);
    rig.clearSent();

    QTest::keyClicks(chat, QStringLiteral("100% %s"));
    QTest::keyClick(chat, Qt::Key_Return);
    EXPECT_TRUE(chat->text().isEmpty());
    EXPECT_EQ(rig.node().ChatSequence.load(), 2);
    auto mainSends = [&] {
        std::vector<SentDatagram> out;
        for (auto& d : rig.sent())
            if (d.mainThread) out.push_back(d);
        return out;
    };
    auto sent = mainSends();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].ip, "127.0.0.1");
    EXPECT_EQ(sent[0].port, port);
    EXPECT_EQ(sent[0].text[0], 'S');
    EXPECT_NE(sent[0].text.find("`100% %s`"), std::string::npos) << sent[0].text;

    // Japanese text goes out as CP932, cut to 79 bytes between characters,
    // and comes back onto the screen decoded. (In a font this small the 40
    // characters fit the box's width, so the byte limit is the one that cuts.)
    QFont tiny = chat->font();
    tiny.setPixelSize(4);
    chat->setFont(tiny);
    chat->setText(QString::fromUtf8("あ").repeated(40));
    ASSERT_EQ(chat->text().size(), 40);
    QTest::keyClick(chat, Qt::Key_Enter);
    sent = mainSends();
    ASSERT_EQ(sent.size(), 2u);
    std::string line;
    for (int i = 0; i < 39; ++i) line += "\x82\xa0";
    EXPECT_NE(sent[1].text.find("`" + line + "`"), std::string::npos);
    EXPECT_EQ(sent[1].text.find(line + "\x82\xa0"), std::string::npos);
    ASSERT_TRUE(waitFor([&] {
        auto guard = rig.node().lock();
        return rig.node().history().size() >= 3;
    }));
    bool shown = false;
    for (const TextItem& item : statusItems(takeSnapshot(rig.node())))
        if (decodeCp932(item.bytes).contains(QString::fromUtf8("あ").repeated(39))) shown = true;
    EXPECT_TRUE(shown);

    // Enter on the empty box writes "<port>.csv" and sends nothing.
    std::filesystem::path report = rig.dir() / (std::to_string(port) + ".csv");
    EXPECT_FALSE(std::filesystem::exists(report));
    QTest::keyClick(chat, Qt::Key_Return);
    EXPECT_EQ(mainSends().size(), 2u);
    std::string text = readFile(report);
    EXPECT_EQ(text.rfind("MY IP@PORT,127.0.0.1@" + std::to_string(port) + ",\n", 0), 0u) << text;
    EXPECT_NE(text.find("Member cnt,1,"), std::string::npos) << text;
}

TEST(ControlPanel, HeldEnterRunsTheEnterHandlingOnEveryRepeat) {
    ShellRig rig;
    int port = rig.start();
    QLineEdit* chat = rig.shell().chatBox();
    rig.clearSent();
    chat->setText(QStringLiteral("x"));
    pressEnter(chat);
    pressEnter(chat, true);  // repeat: the box is empty now, so the report
    pressEnter(chat, true);
    std::size_t chats = 0;
    for (auto& d : rig.sent())
        if (d.mainThread) ++chats;
    EXPECT_EQ(chats, 1u);
    EXPECT_EQ(rig.node().ChatSequence.load(), 2);
    EXPECT_TRUE(std::filesystem::exists(rig.dir() / (std::to_string(port) + ".csv")));
    // The key goes on to the box: its own Enter handling still runs.
    int returns = 0;
    QObject::connect(chat, &QLineEdit::returnPressed, [&] { ++returns; });
    pressEnter(chat, true);
    EXPECT_EQ(returns, 1);
}

TEST(ControlPanel, AltEnterInTheChatBoxIsOnlyPassedOn) {
    ShellRig rig;
    int port = rig.start();
    QLineEdit* chat = rig.shell().chatBox();
    rig.clearSent();
    int returns = 0;
    QObject::connect(chat, &QLineEdit::returnPressed, [&] { ++returns; });
    chat->setText(QStringLiteral("kept"));
    QTest::keyClick(chat, Qt::Key_Return, Qt::AltModifier);
    QTest::keyClick(chat, Qt::Key_Enter, Qt::AltModifier | Qt::KeypadModifier);
    EXPECT_EQ(chat->text(), QStringLiteral("kept"));
    EXPECT_TRUE(rig.sent().empty());
    EXPECT_EQ(rig.node().ChatSequence.load(), 1);
    EXPECT_EQ(returns, 2);  // the box had the keys
    chat->clear();
    QTest::keyClick(chat, Qt::Key_Return, Qt::AltModifier);
    EXPECT_FALSE(std::filesystem::exists(rig.dir() / (std::to_string(port) + ".csv")));

    // Enter with another modifier is still Enter.
    chat->setText(QStringLiteral("sent"));
    QTest::keyClick(chat, Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_TRUE(chat->text().isEmpty());
    EXPECT_EQ(rig.node().ChatSequence.load(), 2);
}

// Enter on a focused button does nothing, although the button has the
// default-button look; Space presses it.
TEST(ControlPanel, EnterOnAFocusedButtonDoesNotPressIt) {
    ShellRig rig;
    rig.initialise();
    QPushButton* start = rig.shell().startButton();
    ASSERT_NE(start, nullptr);
    EXPECT_TRUE(start->isDefault());
    start->setFocus();
    QTest::keyClick(start, Qt::Key_Return);
    QTest::keyClick(start, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(rig.shell().startRequested(), 0);
    QTest::keyClick(start, Qt::Key_Space);
    EXPECT_EQ(rig.shell().startRequested(), 1);
}

// The horizontal scroll a box's last paint left: its cursor at the end of the
// text lies the text's width right of its place in the empty box, or less.
int scrolledBy(QLineEdit* box) {
    const QString text = box->text();
    box->setCursorPosition(0);
    box->grab();
    const int start = box->inputMethodQuery(Qt::ImCursorRectangle).toRect().x();
    box->end(false);
    box->grab();
    const int end = box->inputMethodQuery(Qt::ImCursorRectangle).toRect().x();
    return start + box->fontMetrics().horizontalAdvance(text) - end;
}

// Boxes do not scroll sideways: typing stops where the box is full, pasted
// text is cut where it stops fitting, and the read limit still holds.
TEST(ControlPanel, BoxesTakeOnlyTheTextThatFitsTheirWidth) {
    ShellRig rig;
    rig.start();
    QLineEdit* chat = rig.shell().chatBox();
    ASSERT_NE(chat, nullptr);
    QTest::keyClicks(chat, QString(100, QLatin1Char('W')));
    const QString full = chat->text();
    EXPECT_GT(full.size(), 5);
    EXPECT_LT(full.size(), 79);
    EXPECT_LE(std::abs(scrolledBy(chat)), 1);
    chat->setCursorPosition(2);
    QTest::keyClick(chat, Qt::Key_A);  // refused in the middle too
    EXPECT_EQ(chat->text(), full);

    // Pasting cuts the pasted text, not what was there, at the last W that fits.
    chat->setText(QStringLiteral("[]"));
    chat->setCursorPosition(1);
    QGuiApplication::clipboard()->setText(QString(100, QLatin1Char('W')));
    chat->paste();
    const QString pasted = chat->text();
    EXPECT_GT(pasted.size(), 2);
    EXPECT_EQ(pasted, QLatin1Char('[') + QString(pasted.size() - 2, QLatin1Char('W')) + QLatin1Char(']'));
    EXPECT_EQ(chat->cursorPosition(), pasted.size() - 1);
    EXPECT_LE(std::abs(scrolledBy(chat)), 1);
    QTest::keyClick(chat, Qt::Key_W, Qt::ShiftModifier);
    EXPECT_EQ(chat->text(), pasted);

    // Narrow characters still stop at the read limit of 79.
    QFont tiny = chat->font();
    tiny.setPixelSize(4);
    chat->setFont(tiny);
    chat->clear();
    QTest::keyClicks(chat, QString(100, QLatin1Char('.')));
    EXPECT_EQ(chat->text().size(), 79);
}

// A join press with an empty address box sends nothing, yet back takes the
// empty address with the typed port and id 12.
TEST(ControlPanel, JoinWithAnEmptyAddressBoxSendsNothingButSetsBack) {
    ShellRig rig;
    rig.start();
    press(rig.shell().connectButton());
    rig.ticks(1);
    rig.shell().joinAddressBox()->clear();
    rig.shell().joinPortBox()->setText(QStringLiteral("6001"));
    rig.clearSent();
    press(rig.shell().joinSlot());
    rig.ticks(1);
    EXPECT_TRUE(rig.sent().empty());
    {
        auto guard = rig.node().lock();
        const PeerEntry& back = rig.node().state().table.back;
        EXPECT_EQ(back.id, JoinedByNewcomerId);
        EXPECT_STREQ(back.ip, "");
        EXPECT_EQ(back.port, 6001);
    }
    EXPECT_EQ(names(controlsOnScreen(rig.shell())),
              (std::set<std::string>{"chatBox", "joinAddressBox", "joinPortBox", "joinButton"}));
}

TEST(ControlPanel, CloseRequestShutsDownOnlyWhileNotJoined) {
    ShellRig rig;
    rig.start();
    MainWindow* window = rig.shell().window();

    rig.node().JoinState = DisconnectShown;
    EXPECT_FALSE(window->close());
    EXPECT_EQ(rig.shell().sceneState(), SceneRunning);
    EXPECT_TRUE(window->isVisible());

    rig.node().JoinState = JoinIdle;
    EXPECT_FALSE(window->close());  // never closes itself
    EXPECT_EQ(rig.shell().sceneState(), SceneShuttingDown);
    EXPECT_TRUE(window->isVisible());
}

TEST(ControlPanel, AcceptingANewcomerKeepsTheJoinControlsAndTakesTheSlot) {
    ShellRig rig;
    rig.start();
    press(rig.shell().connectButton());
    rig.ticks(1);
    QPushButton* joinButton = rig.shell().joinSlot();
    ASSERT_NE(joinButton, nullptr);

    rig.node().JoinState = AcceptedNewcomer;
    rig.ticks(1);
    EXPECT_EQ(rig.node().JoinState.load(), DisconnectShown);
    auto c = controlsOnScreen(rig.shell());
    EXPECT_EQ(names(c), (std::set<std::string>{"chatBox", "joinAddressBox", "joinPortBox", "joinButton",
                                               "disconnectButton"}));
    EXPECT_EQ(c["disconnectButton"].place, QRect(320, 410, 100, 30));
    EXPECT_EQ(c["disconnectButton"].text, QString::fromUtf8("切断"));

    // A later join as newcomer removes the join boxes and whatever the slot
    // holds, and makes a new disconnect button; the old join button stays.
    rig.node().JoinState = JoinedAsNewcomer;
    rig.ticks(1);
    c = controlsOnScreen(rig.shell());
    EXPECT_EQ(names(c), (std::set<std::string>{"chatBox", "joinButton", "disconnectButton"}));
    EXPECT_EQ(c["joinButton"].place, QRect(400, 300, 100, 30));
}
