// Test helper: shows a top-level X11 window for a while, as the client's browser would.
// Usage: x11_window CLASS TITLE MILLISECONDS READY_FLAG [WATCH_PATH]
// Creates READY_FLAG once the window is mapped. With WATCH_PATH, writes "present" or "absent"
// to READY_FLAG + ".watch" just before the window closes: whether that file was still there.
// X11_WINDOW_LAYOUT places the window as window managers do: "framed" inside one frame of class
// "Frame"; "nested" inside a frame and a wrapper, marked with WM_STATE; "listed" inside a frame
// and a wrapper with no WM_STATE, named only in the root's _NET_CLIENT_LIST (removed at the end).
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

int main(int argc, char **argv)
{
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: x11_window CLASS TITLE MILLISECONDS READY_FLAG [WATCH_PATH]\n");
        return 2;
    }
    Display *display = XOpenDisplay(NULL);
    if (display == NULL) {
        fprintf(stderr, "x11_window: no display\n");
        return 1;
    }
    Window root = DefaultRootWindow(display);
    Window parent = root;
    const char *layoutSetting = getenv("X11_WINDOW_LAYOUT");
    std::string layout = layoutSetting != NULL ? layoutSetting : "";
    int frames = layout == "framed" ? 1 : layout == "nested" || layout == "listed" ? 2 : 0;
    for (int frame = 0; frame < frames; ++frame) {
        parent = XCreateSimpleWindow(display, parent, 0, 0, 220, 120, 0, 0, 0);
        XClassHint frameHint = {const_cast<char *>("Frame"), const_cast<char *>("Frame")};
        XSetClassHint(display, parent, &frameHint);
        XMapWindow(display, parent);
    }
    Window window = XCreateSimpleWindow(display, parent, 10, 10, 200, 100, 0, 0, 0);
    XClassHint hint;
    hint.res_name = argv[1];
    hint.res_class = argv[1];
    XSetClassHint(display, window, &hint);
    XStoreName(display, window, argv[2]);
    Atom clientList = XInternAtom(display, "_NET_CLIENT_LIST", False);
    if (layout == "nested") {
        long normalState[2] = {NormalState, 0};
        Atom wmState = XInternAtom(display, "WM_STATE", False);
        XChangeProperty(display, window, wmState, wmState, 32, PropModeReplace, (unsigned char *)normalState, 2);
    } else if (layout == "listed") {
        XChangeProperty(display, root, clientList, XA_WINDOW, 32, PropModeReplace, (unsigned char *)&window, 1);
    }
    XMapWindow(display, window);
    XSync(display, False);
    FILE *ready = fopen(argv[4], "w");
    if (ready != NULL)
        fclose(ready);

    long milliseconds = atol(argv[3]);
    struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&pause, NULL);

    if (argc == 6) {
        struct stat info;
        FILE *watch = fopen((std::string(argv[4]) + ".watch").c_str(), "w");
        if (watch != NULL) {
            fputs(stat(argv[5], &info) == 0 ? "present" : "absent", watch);
            fclose(watch);
        }
    }
    if (layout == "listed")
        XDeleteProperty(display, root, clientList);
    XDestroyWindow(display, window);
    XCloseDisplay(display);
    return 0;
}
