// POSIX: names are bytes, and the updater takes them as they are.
#include "platform/spelling.h"

#include <string.h>

SpellResult SpellForUpdater(const char *text, bool allowShortForm, char *spelled, size_t size)
{
    (void)allowShortForm; // no short forms here
    memset(spelled, 0, size);
    size_t length = strlen(text);
    if (length >= size)
        return SPELLING_IMPOSSIBLE;
    memcpy(spelled, text, length + 1);
    return SPELLED_AS_IS;
}

int GetClientFormArguments(int argc, char **argv, char **arguments, int capacity)
{
    int given = 0;
    for (; given < argc && given < capacity; ++given)
        arguments[given] = argv[given];
    return given;
}
