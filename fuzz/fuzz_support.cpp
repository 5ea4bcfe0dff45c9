#include "fuzz/fuzz_support.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

FILE *OpenInputStream(const uint8_t *data, size_t size)
{
    if (size == 0)
        return tmpfile(); // fmemopen refuses an empty buffer on some C libraries
    return fmemopen(const_cast<uint8_t *>(data), size, "rb");
}

const char *FuzzSandbox()
{
    static char sandbox[256];
    if (sandbox[0] != '\0')
        return sandbox;
    const char *tmp = getenv("TMPDIR");
    snprintf(sandbox, sizeof sandbox, "%s/kdx-fuzz-XXXXXX", tmp != NULL && tmp[0] != '\0' ? tmp : "/tmp");
    if (mkdtemp(sandbox) == NULL)
        FuzzFailure("cannot make the sandbox folder");
    char path[512];
    const char *folders[] = {
        "/data",    "/data/Brackmoor Games", "/data/Brackmoor Games/Temp", "/data/Brackmoor Games/Temp/sub", "/game",
        "/game/sub"};
    for (const char *folder : folders) {
        snprintf(path, sizeof path, "%s%s", sandbox, folder);
        mkdir(path, 0755);
    }
    return sandbox;
}

void FuzzFailure(const char *what)
{
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}
