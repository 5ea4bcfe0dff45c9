// Test helper: shows a top-level X11 window for a while, as the client's browser would.
// Usage: x11_window CLASS TITLE MILLISECONDS READY_FLAG [WATCH_PATH]
// Creates READY_FLAG once the window is mapped. With WATCH_PATH, writes "present" or "absent"
// to READY_FLAG + ".watch" just before the window closes: whether that file was still there.
// With X11_WINDOW_FRAMED=1 the window sits inside a frame of class "Frame", as a reparenting
// window manager would put it.
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
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
    Window parent = DefaultRootWindow(display);
    const char *framed = getenv("X11_WINDOW_FRAMED");
    if (framed != NULL && framed[0] == '1') {
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
    XDestroyWindow(display, window);
    XCloseDisplay(display);
    return 0;
}
