// Asks the top-level window with a given title to close, the way a window
// manager does for the close box: a WM_DELETE_WINDOW client message.
//   palaver_send_close <title>     exit 0 sent, 1 no display, 2 no such window
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>

namespace {

Window findByTitle(Display* display, Window window, const char* title) {
    char* name = nullptr;
    if (XFetchName(display, window, &name) && name) {
        bool match = std::strcmp(name, title) == 0;
        XFree(name);
        if (match) return window;
    }
    Window root, parent;
    Window* children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count && !found; ++i) found = findByTitle(display, children[i], title);
        if (children) XFree(children);
    }
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <window title>\n", argv[0]);
        return 1;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) return 1;
    Window window = findByTitle(display, DefaultRootWindow(display), argv[1]);
    if (!window) {
        XCloseDisplay(display);
        return 2;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
    XCloseDisplay(display);
    return 0;
}
