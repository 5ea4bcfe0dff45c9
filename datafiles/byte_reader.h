// Bounds-checked reading of a payload view: every read checks what is left first and never
// moves past the end. Multi-byte values are little-endian.
#ifndef DATAFILES_BYTE_READER_H
#define DATAFILES_BYTE_READER_H

#include <stddef.h>
#include <stdint.h>

struct ByteReader {
    const unsigned char *bytes; // the view's first byte
    size_t length;              // bytes in the view
    size_t offset;              // next byte to read, 0..length
};

// A LenString field as stored: a 16-bit length, then that many bytes, no terminator. The text
// is the stored bytes up to the first zero byte among them.
struct LenStringView {
    const unsigned char *bytes; // the stored bytes, inside the view
    size_t storedLength;        // the length field
    size_t textLength;          // bytes before the first zero byte, at most storedLength
};

ByteReader MakeByteReader(const unsigned char *bytes, size_t length);

// Each returns false, leaving the reader where it was, when the field runs past the view.
bool ReadU8(ByteReader *reader, unsigned *value);
bool ReadU16LE(ByteReader *reader, unsigned *value);
bool ReadLenString(ByteReader *reader, LenStringView *text);

// Little-endian loads from a buffer the caller has checked holds 2 or 4 bytes.
uint16_t ReadLE16(const unsigned char *bytes);
uint32_t ReadLE32(const unsigned char *bytes);

#endif
