// Fuzz target: a file list through the container loader and ApplyFileList, moving real files
// inside a throw-away folder. After each input it checks, entry by entry, that every path the
// pass would use lies inside the staging and game folders and fits its buffer.
#include <string.h>
#include <string>
#include <sys/stat.h>

#include "datafiles/byte_reader.h"
#include "datafiles/file_list.h"
#include "datafiles/kdx_container.h"
#include "fuzz/fuzz_support.h"
#include "updater/updater_state.h"

static std::string g_stagingPrefix;
static std::string g_gamePrefix;

static void SetUpState()
{
    ResetUpdaterState();
    std::string sandbox = FuzzSandbox();
    snprintf(g_UpdaterState.AppDataPath, sizeof g_UpdaterState.AppDataPath, "%s/data", sandbox.c_str());
    snprintf(g_UpdaterState.GamePath, sizeof g_UpdaterState.GamePath, "%s/game", sandbox.c_str());
    g_stagingPrefix = std::string(g_UpdaterState.AppDataPath) + "/Brackmoor Games/Temp/";
    g_gamePrefix = std::string(g_UpdaterState.GamePath) + "/";
    // Something to move for the names a fuzzer finds first.
    for (const char *name : {"Data.pak.new", "sub/Map.mapXXXX"}) {
        std::string path = g_stagingPrefix + name;
        FILE *staged = fopen(path.c_str(), "wb");
        if (staged != NULL)
            fclose(staged);
    }
}

static bool HasParentComponent(const std::string &relative)
{
    size_t start = 0;
    for (size_t i = 0; i <= relative.size(); ++i) {
        if (i == relative.size() || relative[i] == '/' || relative[i] == '\\') {
            if (relative.compare(start, i - start, "..") == 0)
                return true;
            start = i + 1;
        }
    }
    return false;
}

static void CheckInside(const char *path, const std::string &prefix, size_t limit)
{
    if (strlen(path) > limit)
        FuzzFailure("a composed path exceeds its buffer's limit");
    if (strncmp(path, prefix.c_str(), prefix.size()) != 0)
        FuzzFailure("a composed path does not start in its folder");
    std::string relative = path + prefix.size();
    if (relative.empty() || relative[0] == '/' || relative[0] == '\\' || HasParentComponent(relative))
        FuzzFailure("a composed path reaches outside its folder");
}

static void CheckEveryEntry(const uint8_t *data, size_t size)
{
    if (size <= KDX_HEADER_SIZE)
        return;
    ByteReader reader = MakeByteReader(data + KDX_HEADER_SIZE, size - KDX_HEADER_SIZE);
    unsigned count = 0;
    if (!ReadU8(&reader, &count))
        return;
    for (unsigned entry = 0; entry < count; ++entry) {
        LenStringView name;
        if (!ReadLenString(&reader, &name))
            return;
        FileListEntryPaths paths;
        if (PrepareFileListEntry(&name, g_UpdaterState.AppDataPath, g_UpdaterState.GamePath, &paths) !=
            ENTRY_INSTALLABLE)
            continue;
        CheckInside(paths.source, g_stagingPrefix, FILE_LIST_SOURCE_SIZE - 1);
        CheckInside(paths.target, g_gamePrefix, FILE_LIST_TARGET_SIZE - 1 - FILE_LIST_SUFFIX_LENGTH);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    SetUpState();
    FILE *file = OpenInputStream(data, size);
    if (file == NULL)
        return 0;
    (void)LoadKdxFile(file, ApplyFileList);
    fclose(file);
    CheckEveryEntry(data, size);
    return 0;
}
