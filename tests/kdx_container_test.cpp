#include "datafiles/kdx_container.h"

#include <algorithm>
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace {

int g_handlerCalls;
std::string g_payloadSeen;

void RecordingHandler(const unsigned char *payload, size_t length)
{
    ++g_handlerCalls;
    g_payloadSeen.assign((const char *)payload, length);
}

struct LoadResult {
    KdxStatus status;
    int handlerCalls;
    std::string payload;
};

LoadResult LoadBytes(const std::string &bytes)
{
    g_handlerCalls = 0;
    g_payloadSeen.clear();
    FILE *file = tmpfile();
    EXPECT_NE(file, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), file);
    // The loader must find its own way back from wherever the stream stands.
    fseek(file, 3 % (long)(bytes.size() + 1), SEEK_SET);
    KdxStatus status = LoadKdxFile(file, RecordingHandler);
    fclose(file);
    return LoadResult{status, g_handlerCalls, g_payloadSeen};
}

const std::string kHeader = KdxFile("");

struct ContainerCase {
    const char *what;
    std::string bytes;
    KdxStatus status;
    std::string payload; // what the handler sees when it is called
};

TEST(KdxContainer, ClassifiesHeadersAndHandsOverThePayload)
{
    const ContainerCase cases[] = {
        {"empty file", "", KDX_TOO_SHORT, ""},
        {"five bytes", kHeader.substr(0, 5), KDX_TOO_SHORT, ""},
        {"six bytes: version reads as zero", kHeader.substr(0, 6), KDX_BAD_VERSION, ""},
        {"seven bytes with version 1: flag reads as zero", kHeader.substr(0, 7), KDX_OK, ""},
        {"seven bytes with version 2", kHeader.substr(0, 6) + "\x02", KDX_BAD_VERSION, ""},
        {"eight bytes: empty payload", kHeader, KDX_OK, ""},
        {"payload handed over whole", KdxFile("abcdef"), KDX_OK, "abcdef"},
        {"flag 1 behaves like flag 0", KdxFile(std::string("pay\0load", 8), 1, 1), KDX_OK, std::string("pay\0load", 8)},
        {"marker FF FE", "\xFF\xFE" + kHeader.substr(2) + "x", KDX_BAD_SIGNATURE, ""},
        {"marker FE FF", "\xFE\xFF" + kHeader.substr(2), KDX_BAD_SIGNATURE, ""},
        {"signature 'JDX'", kHeader.substr(0, 2) + "J" + kHeader.substr(3), KDX_BAD_SIGNATURE, ""},
        {"signature 'KEX'", kHeader.substr(0, 3) + "E" + kHeader.substr(4), KDX_BAD_SIGNATURE, ""},
        {"signature 'KDY'", kHeader.substr(0, 4) + "Y" + kHeader.substr(5), KDX_BAD_SIGNATURE, ""},
        {"signature's zero byte is 01", kHeader.substr(0, 5) + "\x01" + kHeader.substr(6), KDX_BAD_SIGNATURE, ""},
        {"bad signature wins over bad version",
         std::string("\xFF\xFF"
                     "KDX!\x07\x09",
                     8),
         KDX_BAD_SIGNATURE, ""},
        {"version 0", KdxFile("xx", 0, 0), KDX_BAD_VERSION, ""},
        {"version 2", KdxFile("xx", 2, 0), KDX_BAD_VERSION, ""},
        {"version 255", KdxFile("xx", 255, 0), KDX_BAD_VERSION, ""},
        {"bad version wins over bad flag", KdxFile("", 2, 9), KDX_BAD_VERSION, ""},
        {"flag 2", KdxFile("xx", 1, 2), KDX_BAD_FLAG, ""},
        {"flag 255", KdxFile("xx", 1, 255), KDX_BAD_FLAG, ""},
    };
    for (const ContainerCase &c : cases) {
        SCOPED_TRACE(c.what);
        LoadResult result = LoadBytes(c.bytes);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.handlerCalls, c.status == KDX_OK ? 1 : 0);
        if (c.status == KDX_OK) {
            EXPECT_EQ(result.payload, c.payload);
        }
    }
}

TEST(KdxContainer, HandsOverEveryPayloadByteOfALargeFile)
{
    std::string payload;
    for (int i = 0; i < 300000; ++i)
        payload += (char)(i * 7 % 256);
    LoadResult result = LoadBytes(KdxFile(payload));
    EXPECT_EQ(result.status, KDX_OK);
    EXPECT_EQ(result.payload, payload);
}

TEST(KdxContainer, RefusesFilesOfTwoGibibytesOrMoreWithoutReadingThem)
{
    std::string folder = MakeTempFolder();
    for (long long size : {2147483648LL, 5LL * 1024 * 1024 * 1024}) {
        SCOPED_TRACE(size);
        std::string path = folder + "/huge.kdx";
        WriteFile(path, kHeader);
        ASSERT_EQ(truncate(path.c_str(), (off_t)size), 0); // sparse: costs no disk
        FILE *file = fopen(path.c_str(), "rb");
        ASSERT_NE(file, nullptr);
        g_handlerCalls = 0;
        EXPECT_EQ(LoadKdxFile(file, RecordingHandler), KDX_TOO_SHORT);
        EXPECT_EQ(g_handlerCalls, 0);
        fclose(file);
    }
    RemoveTree(folder);
}

// A stream over `bytes` whose reads fail (EIO) once `readable` bytes were delivered.
struct FailingStream {
    std::string bytes;
    size_t readable;
    size_t position;
};

ssize_t FailingRead(void *cookie, char *buffer, size_t size)
{
    FailingStream *stream = (FailingStream *)cookie;
    if (stream->position >= stream->readable) {
        errno = EIO;
        return -1;
    }
    size_t count = std::min(size, stream->readable - stream->position);
    memcpy(buffer, stream->bytes.data() + stream->position, count);
    stream->position += count;
    return (ssize_t)count;
}

int FailingSeek(void *cookie, off64_t *offset, int whence)
{
    FailingStream *stream = (FailingStream *)cookie;
    off64_t base = whence == SEEK_END ? (off64_t)stream->bytes.size() : whence == SEEK_CUR ? stream->position : 0;
    stream->position = (size_t)(base + *offset);
    *offset = (off64_t)stream->position;
    return 0;
}

// A record cut short by a read error could pass for a shorter valid one (a game folder's path
// losing its last part): nothing is handed over, and the status says the file was not read.
TEST(KdxContainer, HandsNothingOverWhenTheFileCannotBeReadWhole)
{
    FailingStream cutShort{KdxFile(std::string("\x01\x00", 2) + "\x0f\x00C:\\Games\\Orvo"), 14, 0};
    FILE *file = fopencookie(&cutShort, "rb", cookie_io_functions_t{FailingRead, nullptr, FailingSeek, nullptr});
    ASSERT_NE(file, nullptr);
    g_handlerCalls = 0;
    EXPECT_EQ(LoadKdxFile(file, RecordingHandler), KDX_READ_FAILED);
    EXPECT_EQ(g_handlerCalls, 0);
    fclose(file);

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], kHeader.data(), kHeader.size()), (ssize_t)kHeader.size());
    close(ends[1]);
    FILE *unmeasurable = fdopen(ends[0], "rb");
    EXPECT_EQ(LoadKdxFile(unmeasurable, RecordingHandler), KDX_READ_FAILED);
    EXPECT_EQ(g_handlerCalls, 0);
    fclose(unmeasurable);
}

TEST(KdxContainer, NamesEveryStatus)
{
    EXPECT_STREQ(KdxStatusName(KDX_OK), "KDX_OK");
    EXPECT_STREQ(KdxStatusName(KDX_TOO_SHORT), "KDX_TOO_SHORT");
    EXPECT_STREQ(KdxStatusName(KDX_NO_MEMORY), "KDX_NO_MEMORY");
    EXPECT_STREQ(KdxStatusName(KDX_BAD_SIGNATURE), "KDX_BAD_SIGNATURE");
    EXPECT_STREQ(KdxStatusName(KDX_BAD_VERSION), "KDX_BAD_VERSION");
    EXPECT_STREQ(KdxStatusName(KDX_BAD_FLAG), "KDX_BAD_FLAG");
    EXPECT_STREQ(KdxStatusName(KDX_READ_FAILED), "KDX_READ_FAILED");
    EXPECT_EQ((int)KDX_BAD_FLAG, 5);
}

} // namespace
