// Composing paths in fixed buffers, by plain concatenation and never cut: a cut path names
// another file, so a result that does not fit is refused instead.
#ifndef DATAFILES_PATH_BUFFER_H
#define DATAFILES_PATH_BUFFER_H

#include <stddef.h>

enum { PATH_BUFFER_SIZE = 384 }; // composed paths: at most 383 characters and a terminating zero

// Zero-fills `buffer` (`size` bytes) and writes `first` + `second` + `third` into it. Returns
// false, leaving `buffer` empty, when the result would exceed `size` - 1 characters.
bool ComposePath(char *buffer, size_t size, const char *first, const char *second, const char *third);

#endif
