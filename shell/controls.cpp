#include "controls.h"

#include <QKeyEvent>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTextLayout>
#include <QValidator>

#include <algorithm>

namespace palaver::shell {

ControlButton::ControlButton(const QString& caption, QWidget* parent) : QPushButton(caption, parent) {
    setDefault(true);
}

bool isEnterKey(const QKeyEvent* event) { return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter; }

void ControlButton::keyPressEvent(QKeyEvent* event) {
    if (isEnterKey(event)) {
        event->ignore();  // not taken: no press, and it goes on to the window
        return;
    }
    QPushButton::keyPressEvent(event);
}

namespace {

// Keeps a box's text within what fits. Every change of the text (typing,
// pasting, dropping, setting) comes here with the whole new text; the text
// before the change is remembered, so that the inserted part can be told
// from the rest and cut to the longest beginning that still fits.
class FitValidator : public QValidator {
public:
    explicit FitValidator(ControlBox* box) : QValidator(box), box_(box) {}

    State validate(QString& input, int& pos) const override {
        if (!box_->fits(input)) {
            const QString& before = accepted_;
            qsizetype head = 0;
            while (head < before.size() && head < input.size() && before[head] == input[head]) ++head;
            qsizetype tail = 0;
            while (tail < before.size() - head && tail < input.size() - head &&
                   before[before.size() - 1 - tail] == input[input.size() - 1 - tail]) {
                ++tail;
            }
            const QString prefix = input.left(head);
            const QString inserted = input.mid(head, input.size() - head - tail);
            const QString suffix = input.right(tail);
            qsizetype keep = inserted.size();
            while (keep > 0 && !box_->fits(prefix + inserted.left(keep) + suffix)) --keep;
            if (keep > 0 && inserted[keep - 1].isHighSurrogate()) --keep;  // never half a character
            input = prefix + inserted.left(keep) + suffix;
            pos = static_cast<int>(head + keep);
        }
        accepted_ = input;
        return Acceptable;
    }

private:
    ControlBox* box_;
    mutable QString accepted_;
};

// QLineEdit's own margin between its contents rectangle and the text.
constexpr int LineEditTextMargin = 2;

}  // namespace

ControlBox::ControlBox(QWidget* parent, int maxLength) : QLineEdit(parent) {
    setMaxLength(maxLength);
    setValidator(new FitValidator(this));
}

bool ControlBox::fits(const QString& text) const {
    // The room and the width used are measured as QLineEdit measures them
    // when it decides whether to scroll: the contents rectangle less the
    // text margins, and the laid-out line with room for the cursor and for
    // glyphs that reach past their advance.
    QStyleOptionFrame option;
    initStyleOption(&option);
    QRect room = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
    room = room.marginsRemoved(textMargins());
    const int width = room.width() - 2 * LineEditTextMargin;

    QTextLayout layout(text, font());
    QTextOption textOption = layout.textOption();
    textOption.setTextDirection(layoutDirection());
    textOption.setFlags(QTextOption::IncludeTrailingSpaces);
    layout.setTextOption(textOption);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    layout.endLayout();
    const int natural = line.isValid() ? qRound(line.naturalTextWidth()) : 0;

    const QFontMetrics metrics(font());
    const int used = std::max(0, -metrics.minLeftBearing()) + natural + 1 + std::max(0, -metrics.minRightBearing());
    return used <= width;
}

}  // namespace palaver::shell
