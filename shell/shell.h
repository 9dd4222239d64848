// The window shell: the two state machines that open, run and close the
// program, the control panel through which the user drives the node, and the
// tick that runs them. Everything here runs on the main thread.
#pragma once

#include <QLineEdit>
#include <QObject>
#include <QPointer>
#include <QPushButton>

#include <cstdint>
#include <functional>
#include <string>

#include "mainwindow.h"
#include "node.h"
#include "statusscreen.h"
#include "stringtable.h"

namespace palaver::shell {

// AppState values.
constexpr int32_t AppFirstTick = 400;
constexpr int32_t AppRunning = 410;
constexpr int32_t AppClosing = 420;
constexpr int32_t AppClosed = 900;
// SceneState values.
constexpr int32_t SceneBeforeFirstTick = 300;
constexpr int32_t SceneInitialise = 100;
constexpr int32_t SceneRunning = 110;
constexpr int32_t SceneShuttingDown = 120;
constexpr int32_t SceneShutDown = 900;

// Command ids of the buttons.
constexpr int StartButtonId = 110;
constexpr int ConnectButtonId = 111;
constexpr int JoinButtonId = 112;
constexpr int DisconnectButtonId = 113;

// Longest texts read from the boxes, in bytes.
constexpr std::size_t StartBoxLimit = 39;
constexpr std::size_t JoinBoxLimit = 79;
constexpr std::size_t ChatBoxLimit = 79;

constexpr const char* DefaultPortText = "50000";
constexpr const char* FallbackHostAddress = "127.0.0.1";

// Sees every key press of the control it watches (repeats included) and
// always lets the control handle the key as well. Enter without Alt (with
// its repeats) runs `onEnter`.
class EnterKeyHook : public QObject {
public:
    explicit EnterKeyHook(std::function<void()> onEnter) : onEnter_(std::move(onEnter)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void()> onEnter_;
};

struct ShellOptions {
    // Background picture, relative to the working directory.
    QString backgroundPath = QStringLiteral("image/BG1.bmp");
    // Folder for the node's log and reports ("" = working directory).
    std::string fileDirectory;
};

class Shell {
public:
    explicit Shell(ShellOptions options = {});
    ~Shell();
    Shell(const Shell&) = delete;
    Shell& operator=(const Shell&) = delete;

    // Creates and shows the main window; false when it could not be made.
    bool createMainWindow();
    // Creates the window, runs the loop until the window is gone and returns
    // the exit code.
    int run();

    void appTick();
    void sceneTick();
    void initScene();
    void shutdownStep();
    void updateJoinControls();
    void handleRequests();

    // A button command reaching the main window (ids 110 to 113).
    void onCommand(int id);
    // The close box, Alt+F4 or the window manager's close.
    void onCloseRequest();
    // Enter (or its repeat) in the chat box.
    void onChatEnter();

    int32_t appState() const { return appState_; }
    int32_t sceneState() const { return sceneState_; }
    void setSceneState(int32_t scene) { sceneState_ = scene; }
    bool quitPosted() const { return quitPosted_; }
    int exitCode() const { return exitCode_; }
    const char* hostAddressText() const { return hostAddressText_; }

    Node& node() { return node_; }
    MainWindow* window() const { return window_; }
    const StatusScreen& screen() const { return screen_; }

    QPushButton* startButton() const { return startButton_; }
    QLineEdit* addressBox() const { return addressBox_; }
    QLineEdit* portBox() const { return portBox_; }
    QLineEdit* chatBox() const { return chatBox_; }
    QPushButton* connectButton() const { return connectButton_; }
    QLineEdit* joinAddressBox() const { return joinAddressBox_; }
    QLineEdit* joinPortBox() const { return joinPortBox_; }
    QPushButton* joinSlot() const { return joinSlot_; }

    int32_t startRequested() const { return startRequested_; }

private:
    QPushButton* makeButton(const char* name, const QString& caption, int id, QRect place);
    QLineEdit* makeBox(const char* name, const QString& text, QRect place, int maxLength);
    void startAction();
    void connectAction();
    void joinAction();
    void disconnectAction();
    void createDisconnectButton();

    ShellOptions options_;
    Node node_;
    StatusScreen screen_;
    EnterKeyHook chatBoxHook_;

    int32_t appState_ = AppFirstTick;
    int32_t sceneState_ = SceneBeforeFirstTick;
    char windowTitle_[StringBufferSize] = {};
    char windowClassName_[StringBufferSize] = {};
    char hostAddressText_[FieldSize] = {};

    QPointer<MainWindow> window_;
    bool controlPanelHooked_ = false;
    bool quitPosted_ = false;
    int exitCode_ = 0;

    int32_t startRequested_ = 0;
    int32_t connectRequested_ = 0;
    int32_t joinRequested_ = 0;
    int32_t disconnectRequested_ = 0;

    QPointer<QPushButton> startButton_;
    QPointer<QLineEdit> addressBox_;
    QPointer<QLineEdit> portBox_;
    QPointer<QLineEdit> chatBox_;
    QPointer<QPushButton> connectButton_;
    QPointer<QLineEdit> joinAddressBox_;
    QPointer<QLineEdit> joinPortBox_;
    // Holds the join button, and later the disconnect button in its place.
    QPointer<QPushButton> joinSlot_;
};

}  // namespace palaver::shell
