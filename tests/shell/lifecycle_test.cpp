#include <gtest/gtest.h>

#include <QLabel>
#include <QTimer>

#include "shell_support.h"

using namespace palaver;
using namespace palaver::shell;
using namespace palaver::shelltest;

namespace {

int controlCount(Shell& shell) {
    return static_cast<int>(shell.window()->findChildren<QPushButton*>().size() +
                            shell.window()->findChildren<QLineEdit*>().size());
}

// Ticks (handling events in between) until the program's window is gone.
std::vector<int32_t> tickToTheEnd(ShellRig& rig, int maxTicks = 200) {
    std::vector<int32_t> scenes;
    for (int i = 0; i < maxTicks && !rig.shell().quitPosted(); ++i) {
        rig.ticks(1);
        scenes.push_back(rig.shell().sceneState());
        // Give a stopping receive thread the time a real tick period gives it.
        waitFor([&] { return !rig.node().ReceiverAlive.load(); }, 100);
    }
    return scenes;
}

}  // namespace

TEST(Lifecycle, FirstTickSelectsSceneSecondInitialisesThirdDraws) {
    ShellRig rig;
    Shell& shell = rig.shell();
    EXPECT_EQ(shell.appState(), AppFirstTick);
    EXPECT_EQ(shell.sceneState(), SceneBeforeFirstTick);
    EXPECT_EQ(shell.window()->windowTitle(), QStringLiteral("palaver"));
    EXPECT_EQ(shell.window()->size(), QSize(640, 480));
    EXPECT_EQ(shell.window()->minimumSize(), shell.window()->maximumSize());
    EXPECT_FALSE(shell.window()->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(shell.window()->windowFlags() & Qt::WindowMinimizeButtonHint);

    rig.ticks(1);
    EXPECT_EQ(shell.appState(), AppRunning);
    EXPECT_EQ(shell.sceneState(), SceneInitialise);
    EXPECT_EQ(controlCount(shell), 0);
    EXPECT_FALSE(shell.screen().created());
    EXPECT_EQ(rig.node().NodePhase.load(), 0);

    rig.ticks(1);
    EXPECT_EQ(shell.sceneState(), SceneRunning);
    EXPECT_EQ(controlCount(shell), 3);
    EXPECT_EQ(rig.node().NodePhase.load(), 1);
    EXPECT_EQ(rig.node().ChatSequence.load(), 1);
    EXPECT_TRUE(rig.node().KeepReceiving.load());
    {
        auto guard = rig.node().lock();
        ASSERT_EQ(rig.node().history().size(), 1u);
        EXPECT_EQ(rig.node().history().front(), "start");
    }
    EXPECT_EQ(shell.screen().framesDrawn(), 0);
    EXPECT_TRUE(shell.window()->shownPicture().isNull());

    rig.ticks(1);
    EXPECT_EQ(shell.screen().framesDrawn(), 1);
    EXPECT_FALSE(shell.window()->shownPicture().isNull());
}

TEST(Lifecycle, CloseBeforeTheFirstTickHasNoEffect) {
    ShellRig rig;
    rig.shell().window()->close();
    EXPECT_EQ(rig.shell().sceneState(), SceneShuttingDown);
    rig.ticks(2);
    EXPECT_EQ(rig.shell().sceneState(), SceneRunning);
    EXPECT_EQ(controlCount(rig.shell()), 3);
}

TEST(Lifecycle, CloseBetweenFirstAndSecondTickEndsWithoutCreatingAnything) {
    ShellRig rig;
    rig.ticks(1);
    rig.shell().window()->close();
    rig.ticks(1);
    EXPECT_EQ(rig.shell().sceneState(), SceneShutDown);
    EXPECT_EQ(controlCount(rig.shell()), 0);
    EXPECT_FALSE(rig.shell().screen().created());
    rig.ticks(1);
    EXPECT_EQ(rig.shell().appState(), AppClosing);
    EXPECT_FALSE(rig.shell().quitPosted());
    rig.ticks(1);
    EXPECT_EQ(rig.shell().appState(), AppClosed);
    EXPECT_TRUE(rig.shell().quitPosted());
    EXPECT_EQ(rig.shell().window(), nullptr);
    EXPECT_EQ(rig.shell().exitCode(), 0);
}

TEST(Lifecycle, StartedNodeStopsItsReceiverThenReleasesEverything) {
    ShellRig rig;
    int port = rig.start();
    ASSERT_TRUE(waitFor([&] { return rig.node().ReceiverAlive.load(); }));
    rig.shell().window()->close();
    ASSERT_EQ(rig.shell().sceneState(), SceneShuttingDown);

    // While the receive thread lives each tick sends one stop datagram; the
    // tick that finds it ended releases everything.
    int stopTicks = 0;
    while (rig.shell().sceneState() == SceneShuttingDown && stopTicks < 50) {
        bool alive = rig.node().ReceiverAlive.load();
        rig.ticks(1);
        if (alive) {
            ++stopTicks;
            EXPECT_EQ(rig.shell().sceneState(), SceneShuttingDown);
            ASSERT_TRUE(waitFor([&] { return !rig.node().ReceiverAlive.load(); }));
        }
    }
    EXPECT_EQ(stopTicks, 1);
    EXPECT_EQ(rig.shell().sceneState(), SceneShutDown);
    EXPECT_EQ(rig.shell().chatBox(), nullptr);
    EXPECT_FALSE(rig.shell().screen().created());
    {
        auto guard = rig.node().lock();
        EXPECT_EQ(rig.node().state().udpSocket, -1);
    }
    // The stop datagram goes past the send hook, straight from the socket;
    // the log shows those the thread took (one that arrives as the thread
    // leaves its loop on the cleared flag is not taken).
    std::string log = readFile(rig.dir() / ("127.0.0.1@" + std::to_string(port) + ".txt"));
    ASSERT_GE(log.size(), 10u);
    EXPECT_EQ(log.substr(log.size() - 10), "thread end");
    int stops = 0;
    for (std::size_t at = 0; at < log.size(); at = log.find('\n', at) + 1) {
        if (log[at] == '!') ++stops;
        if (log.find('\n', at) == std::string::npos) break;
    }
    EXPECT_LE(stops, stopTicks);
    EXPECT_FALSE(readFile(rig.dir() / ("status_127.0.0.1@" + std::to_string(port) + ".csv")).empty());

    tickToTheEnd(rig);
    EXPECT_TRUE(rig.shell().quitPosted());
    EXPECT_EQ(rig.shell().appState(), AppClosed);
}

// Start, connect and join a second node, then disconnect: the two leave
// notices go out and the program ends through scenes 120 and 900.
TEST(Lifecycle, FullFlowAgainstASecondNode) {
    TempDir otherDir;
    Node other;
    other.setFileDirectory(otherDir.path().string());
    copyField(other.NodeName, "other");
    other.LogFlag = 1;
    other.initialise(7);
    int otherPort = freeUdpPort("127.0.0.2");
    ASSERT_EQ(other.startNode("127.0.0.2", otherPort), 0);

    ShellRig rig;
    int port = rig.start();
    Shell& shell = rig.shell();
    ASSERT_EQ(rig.node().NodePhase.load(), 2);

    QTest::mouseClick(shell.connectButton(), Qt::LeftButton);
    rig.ticks(1);
    ASSERT_NE(shell.joinAddressBox(), nullptr);
    shell.joinAddressBox()->setText(QStringLiteral("127.0.0.2"));
    shell.joinPortBox()->setText(QString::number(otherPort));
    QTest::mouseClick(shell.joinSlot(), Qt::LeftButton);
    rig.ticks(1);
    ASSERT_TRUE(waitFor([&] { return rig.node().JoinState.load() == JoinedAsNewcomer; }));
    EXPECT_EQ(other.JoinState.load(), AcceptedNewcomer);

    rig.ticks(1);
    EXPECT_EQ(rig.node().JoinState.load(), DisconnectShown);
    ASSERT_NE(shell.joinSlot(), nullptr);
    EXPECT_EQ(shell.joinSlot()->objectName(), QStringLiteral("disconnectButton"));
    EXPECT_EQ(shell.joinAddressBox(), nullptr);
    EXPECT_EQ(shell.joinPortBox(), nullptr);
    EXPECT_NE(shell.chatBox(), nullptr);
    {
        auto guard = rig.node().lock();
        EXPECT_EQ(std::string(rig.node().state().table.next.ip), "127.0.0.2");
        EXPECT_EQ(rig.node().state().table.next.port, otherPort);
    }

    // Joined: the close request is ignored.
    shell.window()->close();
    EXPECT_EQ(shell.sceneState(), SceneRunning);

    QTest::mouseClick(shell.joinSlot(), Qt::LeftButton);
    rig.clearSent();
    rig.ticks(1);
    std::vector<SentDatagram> fromTick;
    for (auto& d : rig.sent())
        if (d.mainThread) fromTick.push_back(d);
    ASSERT_EQ(fromTick.size(), 2u);
    EXPECT_EQ(fromTick[0].text[0], 'D');  // to next
    EXPECT_EQ(fromTick[1].text[0], 'd');  // to back
    for (auto& d : fromTick) {
        EXPECT_EQ(d.ip, "127.0.0.2");
        EXPECT_EQ(d.port, otherPort);
    }
    EXPECT_EQ(shell.joinSlot(), nullptr);
    EXPECT_EQ(rig.node().JoinState.load(), JoinIdle);
    EXPECT_EQ(shell.sceneState(), SceneShuttingDown);

    // The other node, told about its new neighbours, is a ring of one again.
    EXPECT_TRUE(waitFor([&] {
        auto guard = other.lock();
        const NeighbourTable& t = other.state().table;
        return t.next.port == otherPort && t.back.port == otherPort;
    }));

    std::vector<int32_t> scenes = tickToTheEnd(rig);
    ASSERT_FALSE(scenes.empty());
    EXPECT_EQ(scenes.front(), SceneShuttingDown);
    EXPECT_NE(std::find(scenes.begin(), scenes.end(), SceneShutDown), scenes.end());
    EXPECT_TRUE(shell.quitPosted());
    EXPECT_EQ(shell.exitCode(), 0);
    EXPECT_EQ(shell.appState(), AppClosed);
    std::string report = readFile(rig.dir() / ("status_127.0.0.1@" + std::to_string(port) + ".csv"));
    EXPECT_EQ(report.rfind("MY IP@PORT,127.0.0.1@" + std::to_string(port) + ",", 0), 0u) << report;
}

// The real loop on the real clock: the close box ends the program with 0.
TEST(Lifecycle, RealLoopEndsWithExitCodeZeroOnClose) {
    TempDir dir;
    ShellOptions options;
    options.backgroundPath = QStringLiteral(PALAVER_BACKGROUND_PATH);
    options.fileDirectory = dir.path().string();
    Shell shell(options);
    bool sawControls = false;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (shell.startButton() && !sawControls) {
            sawControls = true;
            shell.window()->close();
        }
    });
    poll.start();
    auto begin = std::chrono::steady_clock::now();
    int code = shell.run();
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(sawControls);
    EXPECT_EQ(shell.appState(), AppClosed);
    EXPECT_EQ(shell.sceneState(), SceneShutDown);
    // Five ticks of about 100 ms: initialise, run, release, close, destroy.
    EXPECT_GT(took, std::chrono::milliseconds(400));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
}

// Alt+/ and Alt+? open the About box; while it is open no tick runs; OK,
// Enter, Escape and its close box end it.
TEST(Lifecycle, AboutBoxStopsTheTicksWhileItIsOpen) {
    TempDir dir;
    ShellOptions options;
    options.fileDirectory = dir.path().string();
    Shell shell(options);

    enum class Ending { Escape,
                        Enter,
                        CloseBox };
    std::vector<std::pair<QKeyCombination, Ending>> openings = {
        {QKeyCombination(Qt::AltModifier, Qt::Key_Slash), Ending::Escape},
        {QKeyCombination(Qt::AltModifier | Qt::ShiftModifier, Qt::Key_Question), Ending::Enter},
        {QKeyCombination(Qt::AltModifier, Qt::Key_Question), Ending::CloseBox},
    };
    std::size_t next = 0;
    int boxesSeen = 0;
    int framesAtOpen = -1;
    std::chrono::steady_clock::time_point openedAt;
    QString title, version;
    bool iconShown = false;
    std::vector<std::pair<QPoint, QPoint>> places;  // where each box was, where it belongs
    bool ticksStopped = true;
    const auto testStart = std::chrono::steady_clock::now();
    bool closeSent = false;

    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            auto* box = qobject_cast<AboutBox*>(modal);
            if (!box) return;
            if (framesAtOpen < 0) {
                framesAtOpen = shell.screen().framesDrawn();
                openedAt = std::chrono::steady_clock::now();
                title = box->windowTitle();
                // Top-left corner at (22, 17) dialog units, 2 pixels a unit,
                // from the main window's client area.
                places.emplace_back(box->frameGeometry().topLeft(), shell.window()->mapToGlobal(QPoint(44, 34)));
                for (QLabel* label : box->findChildren<QLabel*>()) {
                    if (!label->text().isEmpty()) version = label->text();
                    if (!label->pixmap().isNull()) iconShown = true;
                }
                return;
            }
            // Open for 350 ms: three ticks would have run meanwhile.
            if (std::chrono::steady_clock::now() - openedAt < std::chrono::milliseconds(350)) return;
            if (shell.screen().framesDrawn() != framesAtOpen) ticksStopped = false;
            Ending ending = openings[next - 1].second;
            if (ending == Ending::Escape) QTest::keyClick(box, Qt::Key_Escape);
            if (ending == Ending::Enter) QTest::keyClick(box, Qt::Key_Return);
            if (ending == Ending::CloseBox) box->close();
            ++boxesSeen;
            framesAtOpen = -1;
            return;
        }
        if (shell.screen().framesDrawn() < 2) return;  // wait for the running screen
        if (closeSent) return;
        if (std::chrono::steady_clock::now() - testStart > std::chrono::seconds(20)) {
            ADD_FAILURE() << "About box not seen; giving up";
            closeSent = true;
            shell.window()->close();
            return;
        }
        if (next < openings.size() && next > static_cast<std::size_t>(boxesSeen)) return;  // not opened yet
        if (next < openings.size()) {
            // The keys of the user reach the active window.
            if (QApplication::activeWindow() != shell.window()) {
                shell.window()->activateWindow();
                return;
            }
            QKeyCombination keys = openings[next++].first;
            // The box runs inside the key's handling, as a modal loop; this
            // timer must be free to fire in that loop, so the key goes from
            // a timer of its own.
            QTimer::singleShot(0, [&shell, keys] {
                QTest::keyClick(shell.window(), keys.key(), keys.keyboardModifiers());
            });
        } else {
            // Once: each close request sets the shutdown scene anew.
            closeSent = true;
            shell.window()->close();
        }
    });
    poll.start();
    EXPECT_EQ(shell.run(), 0);
    EXPECT_EQ(boxesSeen, 3);
    EXPECT_TRUE(ticksStopped);
    EXPECT_EQ(title, QString::fromUtf8("バージョン情報"));
    EXPECT_EQ(version, QStringLiteral("palaver Version 1.0"));
    EXPECT_TRUE(iconShown);
    ASSERT_EQ(places.size(), 3u);
    for (const auto& [at, expected] : places) {
        EXPECT_EQ(std::make_pair(at.x(), at.y()), std::make_pair(expected.x(), expected.y()));
    }
}
