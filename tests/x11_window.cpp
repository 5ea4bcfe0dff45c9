// Test helper: shows a top-level X11 window for a while, as the client's browser would.
// Usage: x11_window CLASS TITLE MILLISECONDS READY_FLAG [WATCH_PATH]
// Creates READY_FLAG once the window is mapped. With WATCH_PATH, writes "present" or "absent"
// to READY_FLAG + ".watch" just before the window closes: whether that file was still there.
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
    Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 10, 10, 200, 100, 0, 0, 0);
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
