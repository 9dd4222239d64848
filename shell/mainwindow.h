// The program's one top-level window: a fixed 640 x 480 client area that
// shows the status screen, carries the controls and obeys the close rule.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QImage>
#include <QPoint>
#include <QWidget>

#include <functional>

namespace palaver::shell {

constexpr int AboutCommand = 104;
// Where the About box opens, from the top-left corner of its owner's client area.
inline const QPoint AboutBoxPlace(44, 34);

// The program's icon, in every size it is drawn at.
QIcon programIcon();

// The About box: title, icon, version text and OK. Enter, Escape and the close
// box end it as well.
class AboutBox : public QDialog {
    Q_OBJECT
public:
    explicit AboutBox(QWidget* owner);
};

class MainWindow : public QWidget {
    Q_OBJECT
public:
    struct Handlers {
        std::function<void()> closeRequested;
        std::function<void()> destroyed;
    };

    MainWindow(const char* title, const char* className, Handlers handlers);
    ~MainWindow() override;

    // Copies a finished picture onto the window at once.
    void present(const QImage& picture);
    // Runs the About box; returns when it is closed.
    void runAboutBox();
    // The picture last copied onto the window (null before the first).
    const QImage& shownPicture() const { return shown_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    Handlers handlers_;
    QImage shown_;
};

}  // namespace palaver::shell
