#include "datafiles/byte_reader.h"

#include <string.h>

ByteReader MakeByteReader(const unsigned char *bytes, size_t length)
{
    ByteReader reader;
    reader.bytes = bytes;
    reader.length = length;
    reader.offset = 0;
    return reader;
}

static size_t RemainingBytes(const ByteReader *reader)
{
    return reader->length - reader->offset;
}

bool ReadU8(ByteReader *reader, unsigned *value)
{
    if (RemainingBytes(reader) < 1)
        return false;
    *value = reader->bytes[reader->offset];
    reader->offset += 1;
    return true;
}

bool ReadU16LE(ByteReader *reader, unsigned *value)
{
    if (RemainingBytes(reader) < 2)
        return false;
    *value = ReadLE16(reader->bytes + reader->offset);
    reader->offset += 2;
    return true;
}

bool ReadLenString(ByteReader *reader, LenStringView *text)
{
    ByteReader probe = *reader;
    unsigned storedLength = 0;
    if (!ReadU16LE(&probe, &storedLength) || RemainingBytes(&probe) < storedLength)
        return false;
    const unsigned char *bytes = probe.bytes + probe.offset;
    const void *zero = storedLength > 0 ? memchr(bytes, 0, storedLength) : NULL;
    text->bytes = bytes;
    text->storedLength = storedLength;
    text->textLength = zero != NULL ? (size_t)((const unsigned char *)zero - bytes) : storedLength;
    probe.offset += storedLength;
    *reader = probe;
    return true;
}

uint16_t ReadLE16(const unsigned char *bytes)
{
    return (uint16_t)(bytes[0] | (bytes[1] << 8));
}

uint32_t ReadLE32(const unsigned char *bytes)
{
    return (uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) | ((uint32_t)bytes[3] << 24);
}
