#include "xdisplay.h"

#include <X11/Xlib.h>

namespace palaver::shell {

bool xDisplayOpens() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

}  // namespace palaver::shell
