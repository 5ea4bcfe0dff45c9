// Windows: a client's UTF-8 text in the ANSI code page's exact form, or a path's short form.
#include "platform/spelling.h"
#include "platform/file_calls_win.h"
#include "platform/path_win.h"

#include <string.h>
#include <windows.h>
#include <shellapi.h>

// No path the system takes is this long: a longer text has no spelling the updater could use.
enum { SPELLING_WIDE_SIZE = 32768 };

SpellResult SpellForUpdater(const char *text, bool allowShortForm, char *spelled, size_t size)
{
    static_assert(sizeof(wchar_t) == 2, "UTF-16");
    wchar_t wide[SPELLING_WIDE_SIZE];
    wchar_t shortForm[SPELLING_WIDE_SIZE];
    memset(spelled, 0, size);
    memset(wide, 0, sizeof wide);
    // Text that is not UTF-8 is refused, never read as some code page's bytes: its meaning is unknown.
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, SPELLING_WIDE_SIZE) == 0)
        return SPELLING_IMPOSSIBLE;
    if (ToAnsiExactly(wide, spelled, size))
        return SPELLED_AS_IS;
    if (!allowShortForm)
        return SPELLING_IMPOSSIBLE;
    // Short names are made of the OEM code page's characters, which the ANSI code page mostly has;
    // a volume without short names, or a path that does not exist, gives none.
    memset(shortForm, 0, sizeof shortForm);
    DWORD length = OsGetShortPathNameW(wide, shortForm, SPELLING_WIDE_SIZE);
    if (length == 0 || length >= SPELLING_WIDE_SIZE || !ToAnsiExactly(shortForm, spelled, size))
        return SPELLING_IMPOSSIBLE;
    return SPELLED_SHORT_FORM;
}

int GetClientFormArguments(int argc, char **argv, char **arguments, int capacity)
{
    (void)argc;
    (void)argv; // what the code page could not spell is already "?" there
    // Room for the longest command line, each UTF-16 unit at most three bytes of UTF-8, and the
    // zeros; kept for the process's life, as the pointers handed out are.
    static char storage[SPELLING_WIDE_SIZE * 4];
    memset(storage, 0, sizeof storage);
    int count = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == NULL)
        return 0;
    size_t used = 0;
    int given = 0;
    for (; given < count && given < capacity; ++given) {
        int written =
            WideCharToMultiByte(CP_UTF8, 0, wide[given], -1, storage + used, (int)(sizeof storage - used), NULL, NULL);
        if (written == 0)
            break;
        arguments[given] = storage + used;
        used += (size_t)written;
    }
    (void)LocalFree(wide);
    // All or none: an argument left out could change what the rest mean.
    return given == count || given == capacity ? given : 0;
}
