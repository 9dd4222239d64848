// palaver: one node of the chat overlay, in one window.
#include <QApplication>

#include <cstdio>
#include <cstdlib>

#include "shell.h"
#include "xdisplay.h"

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// Whether Qt can open a window here: a platform was chosen explicitly, the X
// display named by DISPLAY can be opened, or a Wayland display is there. Qt
// itself aborts when the display it picks cannot be opened, so the X display
// is tried first.
bool displayAvailable() {
    if (isSet("QT_QPA_PLATFORM")) return true;
    if (isSet("DISPLAY") && palaver::shell::xDisplayOpens()) return true;
    return isSet("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
    if (!displayAvailable()) {
        const char* program = argc > 0 && argv[0] && *argv[0] ? argv[0] : "palaver";
        std::fprintf(stderr,
                     "palaver needs a display; without one, run it under Xvfb: "
                     "xvfb-run -s '-screen 0 1024x768x24' %s\n",
                     program);
        return 1;
    }
    QApplication app(argc, argv);
    palaver::shell::Shell shell;
    return shell.run();
}
