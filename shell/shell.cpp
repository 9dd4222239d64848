#include "shell.h"

#include <QApplication>
#include <QKeyEvent>

#include <chrono>
#include <ctime>
#include <thread>

#include "controls.h"
#include "cp932.h"
#include "datagram.h"
#include "tickloop.h"

namespace palaver::shell {

namespace {

const QRect StartButtonPlace(20, 400, 100, 30);
const QRect AddressBoxPlace(120, 160, 160, 20);
const QRect PortBoxPlace(120, 190, 80, 20);
const QRect ChatBoxPlace(120, 360, 280, 20);
const QRect ConnectButtonPlace(280, 400, 100, 30);
const QRect JoinAddressBoxPlace(120, 240, 160, 20);
const QRect JoinPortBoxPlace(120, 270, 80, 20);
const QRect JoinButtonPlace(400, 300, 100, 30);
const QRect DisconnectButtonPlace(320, 410, 100, 30);

std::string readBox(const QLineEdit* box, std::size_t limit) {
    return box ? encodeCp932(box->text(), limit) : std::string();
}

void destroy(QWidget* control) { delete control; }

}  // namespace

bool EnterKeyHook::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        // Alt+Enter is a different key for the box (a system key): it is
        // only passed on.
        if (isEnterKey(key) && !(key->modifiers() & Qt::AltModifier) && onEnter_) onEnter_();
    }
    return QObject::eventFilter(watched, event);
}

Shell::Shell(ShellOptions options) : options_(std::move(options)), chatBoxHook_([this] { onChatEnter(); }) {
    appState_ = AppFirstTick;
    sceneState_ = SceneBeforeFirstTick;
    copyField(node_.NodeName, "unknown");
    node_.LogFlag = 1;
    node_.setFileDirectory(options_.fileDirectory);
    loadString(WindowTitleStringId, windowTitle_, sizeof windowTitle_);
    loadString(WindowClassStringId, windowClassName_, sizeof windowClassName_);
}

Shell::~Shell() { delete window_.data(); }

bool Shell::createMainWindow() {
    // The class name becomes the window's class (WM_CLASS) on X11.
    QCoreApplication::setApplicationName(QString::fromLatin1(windowClassName_));
    QGuiApplication::setWindowIcon(programIcon());
    MainWindow::Handlers handlers;
    handlers.closeRequested = [this] { onCloseRequest(); };
    handlers.destroyed = [this] {
        // The window's end is the quit message: the loop ends with code 0.
        quitPosted_ = true;
        exitCode_ = 0;
    };
    window_ = new MainWindow(windowTitle_, windowClassName_, std::move(handlers));
    window_->show();
    if (!window_->windowHandle()) {
        delete window_.data();
        return false;
    }
    window_->repaint();
    return true;
}

int Shell::run() {
    if (!createMainWindow()) return 1;
    LoopPlatform platform;
    platform.clock = millisecondClock;
    platform.sleep = [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    platform.pumpEvents = [this] {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return !quitPosted_;
    };
    runLoop(platform, [this] { appTick(); });
    return exitCode_;
}

void Shell::appTick() {
    switch (appState_) {
    case AppFirstTick:
        sceneState_ = SceneInitialise;
        appState_ = AppRunning;
        break;
    case AppRunning:
        sceneTick();
        break;
    case AppClosing:
        appState_ = AppClosed;
        delete window_.data();
        break;
    default:
        break;
    }
}

void Shell::sceneTick() {
    switch (sceneState_) {
    case SceneInitialise:
        initScene();
        sceneState_ = SceneRunning;
        break;
    case SceneRunning:
        updateJoinControls();
        handleRequests();
        if (screen_.created()) {
            if (screen_.draw(node_) && window_) window_->present(screen_.backBuffer());
        }
        break;
    case SceneShuttingDown:
        shutdownStep();
        break;
    case SceneShutDown:
        appState_ = AppClosing;
        break;
    default:
        break;
    }
}

void Shell::initScene() {
    // From here on the buttons' commands reach the control panel.
    controlPanelHooked_ = true;
    const auto now = static_cast<uint32_t>(std::time(nullptr));
    startSocketLibrary();
    std::optional<std::string> host = localHostAddress();
    // A host without a usable address of its own is offered the loopback
    // address, which a node can always run on.
    copyField(hostAddressText_, host && isDottedQuad(*host) ? *host : std::string(FallbackHostAddress));
    screen_.create(options_.backgroundPath);
    startButton_ = makeButton("startButton", QStringLiteral("start"), StartButtonId, StartButtonPlace);
    addressBox_ = makeBox("addressBox", QString::fromLatin1(hostAddressText_), AddressBoxPlace, StartBoxLimit);
    portBox_ = makeBox("portBox", QString::fromLatin1(DefaultPortText), PortBoxPlace, StartBoxLimit);
    startRequested_ = connectRequested_ = joinRequested_ = disconnectRequested_ = 0;
    // Generator seeded with the time, KeepReceiving, phase 1, ChatSequence 1,
    // JoinState 0 and "start" in the history.
    node_.initialise(now);
}

void Shell::shutdownStep() {
    if (node_.ReceiverAlive.load()) {
        // Wake the receive thread with the stop datagram; until it has ended
        // every tick does this again.
        node_.sendStop();
        node_.KeepReceiving = false;
        return;
    }
    if (node_.NodePhase.load() > 1) {
        auto guard = node_.lock();
        node_.closeEndpoint();
    }
    cleanupSocketLibrary();
    screen_.release();
    destroy(startButton_);
    destroy(chatBox_);
    controlPanelHooked_ = false;
    sceneState_ = SceneShutDown;
}

void Shell::updateJoinControls() {
    int32_t observed = node_.JoinState.load();
    if (observed != JoinedAsNewcomer && observed != AcceptedNewcomer) return;
    // Only the value that was seen becomes 5: a join completed by the receive
    // thread meanwhile is then handled on the next tick.
    if (!node_.JoinState.compare_exchange_strong(observed, DisconnectShown)) return;
    if (observed == JoinedAsNewcomer) {
        destroy(joinAddressBox_);
        destroy(joinPortBox_);
        destroy(joinSlot_);
    } else {
        destroy(connectButton_);
    }
    createDisconnectButton();
}

void Shell::handleRequests() {
    if (startRequested_) {
        startRequested_ = 0;
        startAction();
    }
    if (connectRequested_) {
        connectRequested_ = 0;
        connectAction();
    }
    if (joinRequested_) {
        joinRequested_ = 0;
        joinAction();
    }
    if (disconnectRequested_) {
        disconnectRequested_ = 0;
        disconnectAction();
    }
}

void Shell::startAction() {
    std::string address = readBox(addressBox_, StartBoxLimit);
    int32_t port = readNumber(readBox(portBox_, StartBoxLimit));
    if (node_.startNode(address, port) != 0) return;
    destroy(startButton_);
    destroy(addressBox_);
    destroy(portBox_);
    chatBox_ = makeBox("chatBox", QString(), ChatBoxPlace, ChatBoxLimit);
    chatBox_->installEventFilter(&chatBoxHook_);
    chatBox_->setFocus();
    chatBox_->setText(QString());
    connectButton_ = makeButton("connectButton", QStringLiteral("コネクト"), ConnectButtonId, ConnectButtonPlace);
}

void Shell::connectAction() {
    destroy(connectButton_);
    std::string ownIp;
    {
        auto guard = node_.lock();
        ownIp = node_.state().self.ip;
    }
    joinAddressBox_ = makeBox("joinAddressBox", QString(), JoinAddressBoxPlace, JoinBoxLimit);
    joinAddressBox_->setFocus();
    joinAddressBox_->setText(decodeCp932(ownIp));
    joinPortBox_ = makeBox("joinPortBox", QString::fromLatin1(DefaultPortText), JoinPortBoxPlace, JoinBoxLimit);
    joinSlot_ = makeButton("joinButton", QStringLiteral("接続"), JoinButtonId, JoinButtonPlace);
}

void Shell::joinAction() {
    std::string address = readBox(joinAddressBox_, JoinBoxLimit);
    int32_t port = readNumber(readBox(joinPortBox_, JoinBoxLimit));
    node_.requestJoin(address, port);
}

void Shell::disconnectAction() {
    destroy(joinSlot_);
    node_.leaveRing();
    sceneState_ = SceneShuttingDown;
}

void Shell::createDisconnectButton() {
    joinSlot_ = makeButton("disconnectButton", QStringLiteral("切断"), DisconnectButtonId, DisconnectButtonPlace);
}

void Shell::onCommand(int id) {
    // Until the control panel is in place, and after it is taken away, the
    // button commands reach the main window, which has no use for them.
    if (!controlPanelHooked_) return;
    switch (id) {
    case StartButtonId: startRequested_ = 1; break;
    case ConnectButtonId: connectRequested_ = 1; break;
    case JoinButtonId: joinRequested_ = 1; break;
    case DisconnectButtonId: disconnectRequested_ = 1; break;
    default: break;
    }
}

void Shell::onCloseRequest() {
    if (node_.JoinState.load() == JoinIdle) sceneState_ = SceneShuttingDown;
}

void Shell::onChatEnter() {
    if (!chatBox_) return;
    std::string text = readBox(chatBox_, ChatBoxLimit);
    if (!text.empty()) {
        node_.sendOwnChat(text);
    } else {
        node_.writePortReport();
    }
    chatBox_->setText(QString());
}

QPushButton* Shell::makeButton(const char* name, const QString& caption, int id, QRect place) {
    auto* button = new ControlButton(caption, window_);
    button->setObjectName(QString::fromLatin1(name));
    button->setProperty("commandId", id);
    button->setGeometry(place);
    QObject::connect(button, &QPushButton::clicked, button, [this, id] { onCommand(id); });
    button->show();
    return button;
}

QLineEdit* Shell::makeBox(const char* name, const QString& text, QRect place, int maxLength) {
    auto* box = new ControlBox(window_, maxLength);
    box->setObjectName(QString::fromLatin1(name));
    // Placed before the text is set: what fits depends on the width.
    box->setGeometry(place);
    box->setText(text);
    box->show();
    return box;
}

}  // namespace palaver::shell
