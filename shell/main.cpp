// palaver: one node of the chat overlay, in one window.
#include <QApplication>

#include <cstdio>
#include <cstdlib>

#include "shell.h"

namespace {

// Whether Qt can open a window here: a platform was chosen explicitly, or
// an X11 or Wayland display is there.
bool displayAvailable() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (!displayAvailable()) {
        std::fputs("palaver needs a display; without one, run it under Xvfb: "
                   "xvfb-run -s '-screen 0 1024x768x24' build/shell/palaver\n",
                   stderr);
        return 1;
    }
    QApplication app(argc, argv);
    palaver::shell::Shell shell;
    return shell.run();
}
