// How a client's text becomes the 8-bit form the updater reads. The updater takes every path as
// bytes in the ANSI code page (Windows) and hands them to the system unconverted, so a folder or
// name the code page cannot spell must be refused, or reached by another exact form, before it is
// written into a data file: "?" in its place names another folder, or none.
#ifndef PLATFORM_SPELLING_H
#define PLATFORM_SPELLING_H

#include <stddef.h>

enum SpellResult {
    SPELLED_AS_IS = 0,  // the text itself, converted exactly
    SPELLED_SHORT_FORM, // the path's short 8.3 form (Windows), which the code page spells exactly
    SPELLING_IMPOSSIBLE // neither: `spelled` is left empty
};

// Puts into `spelled` (`size` bytes, zero-filled first) the 8-bit form of `text`, which is in the
// client's form: UTF-8 on Windows, bytes as they are on POSIX. Windows: the ANSI code page's
// exact form (no best-fit character, no default character); failing that, when `allowShortForm`
// and the path exists, its short 8.3 form (GetShortPathNameW) when that converts exactly; else
// SPELLING_IMPOSSIBLE. POSIX: the bytes as they are. A result that does not fit in `size` bytes
// with its terminating zero is SPELLING_IMPOSSIBLE, never cut.
SpellResult SpellForUpdater(const char *text, bool allowShortForm, char *spelled, size_t size);

// The program's arguments in the client's form, for tools (kdx) whose arguments name folders
// and files: on Windows read from the wide command line and converted to UTF-8, since the 8-bit
// argv has already turned what the code page cannot spell into "?"; on POSIX `argv` as it is.
// Fills `arguments` with up to `capacity` pointers that stay valid for the process's life (the
// program name first) and returns their count.
int GetClientFormArguments(int argc, char **argv, char **arguments, int capacity);

#endif
