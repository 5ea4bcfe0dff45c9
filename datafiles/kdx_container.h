// The container shared by both data files: an 8-byte header (FF FF, "KDX" and a zero byte,
// version 1, flag 0 or 1) followed by a payload that runs to the end of the file.
#ifndef DATAFILES_KDX_CONTAINER_H
#define DATAFILES_KDX_CONTAINER_H

#include <stddef.h>
#include <stdio.h>

enum { KDX_HEADER_SIZE = 8 };

// Result of LoadKdxFile. The values are stable: they are shown to support staff by the kdx tool.
enum KdxStatus {
    KDX_OK = 0,            // header valid; the payload handler was called
    KDX_TOO_SHORT = 1,     // shorter than 6 bytes, or length not representable as signed 32-bit
    KDX_NO_MEMORY = 2,     // no memory for the file image
    KDX_BAD_SIGNATURE = 3, // marker or signature wrong
    KDX_BAD_VERSION = 4,   // version is not 1
    KDX_BAD_FLAG = 5,      // flag is neither 0 nor 1
    KDX_READ_FAILED = 6    // the file could not be measured or read whole: nothing of it was judged
};

// Called by LoadKdxFile, at most once and only for a valid header, with a read-only view of
// the payload: `length` bytes from `payload` (0 for a file of 8 bytes or fewer). The view lives
// only during the call; a handler copies what it keeps and must not read past `length`.
typedef void (*PayloadHandler)(const unsigned char *payload, size_t length);

// Loads the whole of `file` (open for reading in binary mode, positioned anywhere; left open)
// into a zero-filled image one byte longer than the file, checks the header and, when it is
// valid, calls `handler` with the payload. The image is released before returning. A 6- or
// 7-byte file reads its missing header bytes as zero. A read that fails, or delivers less than
// the file's measured length (it shrank meanwhile), calls nothing: a record cut short by an
// error could pass for a shorter valid one.
KdxStatus LoadKdxFile(FILE *file, PayloadHandler handler);

// As LoadKdxFile, but reads and hands over at most `payloadLimit` bytes of the payload: for a
// record that cannot reach further, so that a file padded to its largest valid length (2 GiB)
// costs no more memory or reading than its record can use. The length check is the same.
KdxStatus LoadKdxFilePrefix(FILE *file, PayloadHandler handler, size_t payloadLimit);

// The code's name ("KDX_OK", ...), or "KDX_UNKNOWN" for a value outside the enumeration.
const char *KdxStatusName(KdxStatus status);

#endif
