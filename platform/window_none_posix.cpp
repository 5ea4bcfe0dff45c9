// POSIX window check for builds without X11: there is no window system to hold a browser.
#include "platform/platform.h"

bool TopLevelWindowExists(const char *)
{
    return false;
}
