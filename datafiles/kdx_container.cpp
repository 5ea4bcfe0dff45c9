#include "datafiles/kdx_container.h"

#include <stdint.h>
#include <stdlib.h>

#include "datafiles/byte_reader.h"
#include "platform/platform.h"

static const uint32_t KDX_SIGNATURE = 0x0058444Bu; // "KDX" and a zero byte, little-endian
static const long long KDX_MINIMUM_LENGTH = 6;

KdxStatus LoadKdxFile(FILE *file, PayloadHandler handler)
{
    return LoadKdxFilePrefix(file, handler, (size_t)INT32_MAX);
}

KdxStatus LoadKdxFilePrefix(FILE *file, PayloadHandler handler, size_t payloadLimit)
{
    // Measured in 64 bits on every platform: a 32-bit position wraps, and a file of 4 GiB + n
    // bytes would pass for n bytes. Whatever does not fit a signed 32-bit length is refused.
    long long fileLength = MeasureFileLength(file);
    if (fileLength < 0)
        return KDX_READ_FAILED;
    if (fileLength < KDX_MINIMUM_LENGTH || fileLength > (long long)INT32_MAX)
        return KDX_TOO_SHORT;

    size_t length = (size_t)fileLength;
    if (length > KDX_HEADER_SIZE && length - KDX_HEADER_SIZE > payloadLimit)
        length = KDX_HEADER_SIZE + payloadLimit;
    unsigned char *image = (unsigned char *)calloc(length + 1, 1);
    if (image == NULL)
        return KDX_NO_MEMORY;
    if (fread(image, 1, length, file) != length) {
        free(image);
        return KDX_READ_FAILED;
    }

    KdxStatus status;
    if (ReadLE16(image) != 0xFFFFu || ReadLE32(image + 2) != KDX_SIGNATURE) {
        status = KDX_BAD_SIGNATURE;
    } else if (image[6] != 1) {
        status = KDX_BAD_VERSION;
    } else if (image[7] != 0 && image[7] != 1) {
        status = KDX_BAD_FLAG;
    } else {
        size_t payloadLength = length > KDX_HEADER_SIZE ? length - KDX_HEADER_SIZE : 0;
        // For a 7-byte file this points one past the image's zero byte, with length 0.
        handler(image + KDX_HEADER_SIZE, payloadLength);
        status = KDX_OK;
    }
    free(image);
    return status;
}

const char *KdxStatusName(KdxStatus status)
{
    switch (status) {
    case KDX_OK: return "KDX_OK";
    case KDX_TOO_SHORT: return "KDX_TOO_SHORT";
    case KDX_NO_MEMORY: return "KDX_NO_MEMORY";
    case KDX_BAD_SIGNATURE: return "KDX_BAD_SIGNATURE";
    case KDX_BAD_VERSION: return "KDX_BAD_VERSION";
    case KDX_BAD_FLAG: return "KDX_BAD_FLAG";
    case KDX_READ_FAILED: return "KDX_READ_FAILED";
    }
    return "KDX_UNKNOWN";
}
