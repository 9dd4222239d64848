// The two kinds of child control on the main window: push buttons with the
// default-button look, and single-line boxes that do not scroll sideways.
#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <QString>

class QKeyEvent;

namespace palaver::shell {

// Return or the keypad's Enter.
bool isEnterKey(const QKeyEvent* event);

// A push button drawn as the default button. Enter on it does nothing (a
// default button would otherwise be pressed by it); a click, or Space while
// it has the focus, presses it.
class ControlButton : public QPushButton {
public:
    ControlButton(const QString& caption, QWidget* parent);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// A single-line box that takes only as much text as fits its width in its
// own font, and at most `maxLength` characters. A typed character that would
// not fit is refused; pasted or set text is cut where it stops fitting.
class ControlBox : public QLineEdit {
public:
    ControlBox(QWidget* parent, int maxLength);
    // Whether `text` shows whole in the box, without sideways scrolling.
    bool fits(const QString& text) const;
};

}  // namespace palaver::shell
