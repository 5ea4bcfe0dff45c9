// POSIX: paths are bytes, handed to the system as they are; nothing needs spelling.
#include "platform/spelling.h"

#include <string.h>

SpellResult SpellForUpdater(const char *text, bool allowShortForm, char *spelled, size_t size)
{
    (void)allowShortForm;
    memset(spelled, 0, size);
    size_t length = strlen(text);
    if (length >= size)
        return SPELLING_IMPOSSIBLE;
    memcpy(spelled, text, length);
    return SPELLED_AS_IS;
}

int GetClientFormArguments(int argc, char **argv, char **arguments, int capacity)
{
    int count = argc < capacity ? argc : capacity;
    for (int index = 0; index < count; ++index)
        arguments[index] = argv[index];
    return count;
}
