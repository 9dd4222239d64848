#include "mainwindow.h"

#include <QCloseEvent>
#include <QKeySequence>
#include <QPainter>
#include <QShortcut>

#include "statusscreen.h"
#include "ui_about.h"

// The resources are linked from a static library: register them by hand.
static void registerResources() { Q_INIT_RESOURCE(palaver); }

namespace palaver::shell {

QIcon programIcon() {
    static const bool registered = (registerResources(), true);
    (void)registered;
    QIcon icon;
    for (int size : {16, 32, 48}) icon.addFile(QStringLiteral(":/icons/palaver-%1.png").arg(size), QSize(size, size));
    return icon;
}

AboutBox::AboutBox(QWidget* owner) : QDialog(owner) {
    setWindowIcon(programIcon());  // also makes sure the pictures are there
    Ui::AboutBox ui;
    ui.setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    // Placed, not centred: its top-left corner at (22, 17) dialog units from
    // the owner's client area, 2 pixels a unit as in the rest of the box.
    if (owner) move(owner->mapToGlobal(AboutBoxPlace));
}

MainWindow::MainWindow(const char* title, const char* className, Handlers handlers)
    : QWidget(nullptr,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                  Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      handlers_(std::move(handlers)) {
    setObjectName(QString::fromLatin1(className));
    setWindowTitle(QString::fromLatin1(title));
    setWindowRole(QString::fromLatin1(className));
    setWindowIcon(programIcon());
    setFixedSize(ScreenWidth, ScreenHeight);
    // Alt with "?" or "/" opens the About box. "?" is a shifted key on most
    // layouts, so the shifted form is bound as well.
    for (QKeyCombination keys : {QKeyCombination(Qt::AltModifier, Qt::Key_Question),
                                 QKeyCombination(Qt::AltModifier | Qt::ShiftModifier, Qt::Key_Question),
                                 QKeyCombination(Qt::AltModifier, Qt::Key_Slash)}) {
        auto* shortcut = new QShortcut(QKeySequence(keys), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, &MainWindow::runAboutBox);
    }
}

MainWindow::~MainWindow() {
    if (handlers_.destroyed) handlers_.destroyed();
}

void MainWindow::present(const QImage& picture) {
    shown_ = picture;
    repaint();
}

void MainWindow::runAboutBox() {
    AboutBox box(this);
    box.exec();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The window never closes itself: the shell decides whether to shut down.
    event->ignore();
    if (handlers_.closeRequested) handlers_.closeRequested();
}

void MainWindow::paintEvent(QPaintEvent*) {
    if (shown_.isNull()) return;
    QPainter p(this);
    drawInBands(p, QPoint(0, 0), shown_);
}

}  // namespace palaver::shell
