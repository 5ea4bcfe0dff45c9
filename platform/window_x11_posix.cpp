// POSIX window check through X11: the client windows of the display in $DISPLAY, found the way
// window managers publish them.
#include "platform/clock_posix.h"
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

// A window may vanish between listing and asking for its class; that is no reason to exit.
static int IgnoreXError(Display *, XErrorEvent *)
{
    return 0;
}

// A lost connection (the X server ended) must not end the updater, as Xlib's default handlers
// would: the look then counts as "no window" and the run goes on.
static int IgnoreXIOError(Display *)
{
    return 0;
}

static void ReturnFromXIOError(Display *, void *) {}

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

static bool HasProperty(Display *display, Window window, Atom property)
{
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char *data = NULL;
    bool present = XGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType, &type, &format, &count,
                                      &after, &data) == Success &&
                   type != None;
    if (data != NULL)
        XFree(data);
    return present;
}

// The windows a manager lists in _NET_CLIENT_LIST on the root window.
static bool ListedClientHasClass(Display *display, Window root, const char *windowClass)
{
    Atom clientList = XInternAtom(display, "_NET_CLIENT_LIST", True);
    if (clientList == None)
        return false;
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char *data = NULL;
    if (XGetWindowProperty(display, root, clientList, 0, 65536, False, XA_WINDOW, &type, &format, &count, &after,
                           &data) != Success ||
        data == NULL)
        return false;
    bool found = false;
    if (type == XA_WINDOW && format == 32) {
        const Window *clients = (const Window *)data; // Xlib hands 32-bit items over as longs
        for (unsigned long i = 0; i < count && !found; ++i)
            found = HasWindowClass(display, clients[i], windowClass);
    }
    XFree(data);
    return found;
}

// Client windows below `window` at any depth: those a manager marks with WM_STATE, however many
// frames and wrappers it puts around them; and, marked or not, the root's children (no manager
// at all) and their children (a manager's frames, when it does not set WM_STATE).
static bool ClientBelowHasClass(Display *display, Window window, Atom wmState, const char *windowClass, int depth)
{
    Window rootReturn;
    Window parentReturn;
    Window *children = NULL;
    unsigned count = 0;
    if (XQueryTree(display, window, &rootReturn, &parentReturn, &children, &count) == 0)
        return false;
    bool found = false;
    for (unsigned i = 0; i < count && !found; ++i) {
        bool isClient = depth < 2 || (wmState != None && HasProperty(display, children[i], wmState));
        found = (isClient && HasWindowClass(display, children[i], windowClass)) ||
                ClientBelowHasClass(display, children[i], wmState, windowClass, depth + 1);
    }
    if (children != NULL)
        XFree(children);
    return found;
}

// The look itself, with no bound: a server that accepts and never answers holds it for ever.
static bool LookForWindow(const char *windowClass)
{
    Display *display = XOpenDisplay(NULL);
    if (display == NULL)
        return false;
    XErrorHandler previous = XSetErrorHandler(IgnoreXError);
    XIOErrorHandler previousIO = XSetIOErrorHandler(IgnoreXIOError);
    XSetIOErrorExitHandler(display, ReturnFromXIOError, NULL);
    Window root = DefaultRootWindow(display);
    // A manager's list first; the tree as well, since a list left by a manager that has gone
    // may be stale.
    bool found = ListedClientHasClass(display, root, windowClass) ||
                 ClientBelowHasClass(display, root, XInternAtom(display, "WM_STATE", True), windowClass, 0);
    XSync(display, False);
    XSetErrorHandler(previous);
    XSetIOErrorHandler(previousIO);
    XCloseDisplay(display);
    return found;
}

// A look that the X server has not answered within this time counts as no window, as a lost
// connection does.
static const long long WINDOW_LOOK_LIMIT_MS = 5000;

bool TopLevelWindowExists(const char *windowClass)
{
    // Xlib has no time limit of its own, so the look runs in a child that is ended when it takes
    // too long; its one-byte answer comes back through a pipe. The child costs a fork per look.
    int answer[2];
    if (pipe2(answer, O_CLOEXEC) != 0)
        return false;
    pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        // An updater killed meanwhile takes the look with it, answered or not.
        (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(0);
        (void)close(answer[0]);
        char found = LookForWindow(windowClass) ? 1 : 0;
        ssize_t sent = write(answer[1], &found, 1);
        (void)sent; // an answer that cannot be sent reads as none: no window
        _exit(0);   // nothing of the parent's (buffered output, exit handlers) may run twice
    }
    (void)close(answer[1]);
    char found = 0;
    bool answered = false;
    if (child > 0) {
        long long deadline = MonotonicMilliseconds() + WINDOW_LOOK_LIMIT_MS;
        struct pollfd wait = {answer[0], POLLIN, 0};
        for (long long left = WINDOW_LOOK_LIMIT_MS; left > 0 && !answered; left = deadline - MonotonicMilliseconds()) {
            int ready = poll(&wait, 1, (int)left);
            if (ready < 0 && errno != EINTR)
                break;
            if (ready > 0) {
                answered = read(answer[0], &found, 1) == 1;
                break; // an answer, or the end of a child that died without one
            }
        }
        if (!answered)
            (void)kill(child, SIGKILL);
        while (waitpid(child, NULL, 0) < 0 && errno == EINTR) {
        }
    }
    (void)close(answer[0]);
    return answered && found != 0;
}
