// POSIX window check through X11: the top-level client windows of the display in $DISPLAY.
#include "platform/platform.h"

#include <strings.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

// A window may vanish between listing and asking for its class; that is no reason to exit.
static int IgnoreXError(Display *, XErrorEvent *)
{
    return 0;
}

static bool HasWindowClass(Display *display, Window window, const char *windowClass)
{
    XClassHint hint;
    if (XGetClassHint(display, window, &hint) == 0)
        return false;
    bool matches = (hint.res_name != NULL && strcasecmp(hint.res_name, windowClass) == 0) ||
                   (hint.res_class != NULL && strcasecmp(hint.res_class, windowClass) == 0);
    if (hint.res_name != NULL)
        XFree(hint.res_name);
    if (hint.res_class != NULL)
        XFree(hint.res_class);
    return matches;
}

// Looks at `window`'s children and, for a reparenting window manager whose frames are those
// children, one level further down, where the client windows are.
static bool ChildHasWindowClass(Display *display, Window window, const char *windowClass, int levels)
{
    Window rootReturn;
    Window parentReturn;
    Window *children = NULL;
    unsigned count = 0;
    if (XQueryTree(display, window, &rootReturn, &parentReturn, &children, &count) == 0)
        return false;
    bool found = false;
    for (unsigned i = 0; i < count && !found; ++i) {
        found = HasWindowClass(display, children[i], windowClass) ||
                (levels > 1 && ChildHasWindowClass(display, children[i], windowClass, levels - 1));
    }
    if (children != NULL)
        XFree(children);
    return found;
}

bool TopLevelWindowExists(const char *windowClass)
{
    Display *display = XOpenDisplay(NULL);
    if (display == NULL)
        return false;
    XErrorHandler previous = XSetErrorHandler(IgnoreXError);
    bool found = ChildHasWindowClass(display, DefaultRootWindow(display), windowClass, 2);
    XSync(display, False);
    XSetErrorHandler(previous);
    XCloseDisplay(display);
    return found;
}
