// Shared by the fuzz targets: the input as a file stream, and a throw-away folder for the
// handlers' file operations, so that nothing outside it is ever touched.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// A read-only stream over the input's bytes (the loader's contract is a file stream).
FILE *OpenInputStream(const uint8_t *data, size_t size);

// Creates, once per process, a folder under $TMPDIR (or /tmp) with "data/Brackmoor Games/Temp"
// and "game" inside, and returns it.
const char *FuzzSandbox();

// Stops the process with a message: libFuzzer keeps the input that got here.
[[noreturn]] void FuzzFailure(const char *what);

#endif
