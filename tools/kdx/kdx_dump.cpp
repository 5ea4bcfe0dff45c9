// kdx dump: a data file's container status and its record, as the updater reads them.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "datafiles/file_list.h"
#include "datafiles/kdx_container.h"
#include "datafiles/settings_record.h"
#include "platform/platform.h"
#include "tools/kdx/kdx_tool.h"

enum DumpKind { DUMP_UNKNOWN, DUMP_SETTINGS, DUMP_FILE_LIST };

// The handlers below get only the payload, so the dump's settings live here.
static struct {
    DumpKind kind;
    const char *dataFolder;
    const char *gameFolder;
    size_t payloadLength; // the whole payload's; the handlers get only what the record can reach
} g_dump = {DUMP_UNKNOWN, "", "", 0};

static void DumpSettings(const unsigned char *payload, size_t length)
{
    LenStringView firstString;
    LenStringView gameFolder;
    printf("settings record:\n");
    if (!ReadSettingsRecord(payload, length, &firstString, &gameFolder)) {
        printf("  cut short: the payload (%zu bytes) ends inside the record\n", length);
        printf("game folder the updater uses: none (the record is incomplete)\n");
        return;
    }
    printf("  first string: %s\n", DescribeLenString(firstString).c_str());
    printf("  game folder:  %s\n", DescribeLenString(gameFolder).c_str());
    size_t used = 4 + firstString.storedLength + gameFolder.storedLength;
    if (used < g_dump.payloadLength)
        printf("  %zu bytes after the record (ignored)\n", g_dump.payloadLength - used);
    char folder[260];
    if (!TakeGameFolder(&gameFolder, folder))
        printf("game folder the updater uses: none (longer than 259 bytes)\n");
    else if (folder[0] == '\0')
        printf("game folder the updater uses: none (empty)\n");
    else
        printf("game folder the updater uses: %s\n", Shown(folder).c_str());
}

static void DumpFileList(const unsigned char *payload, size_t length)
{
    ByteReader reader = MakeByteReader(payload, length);
    unsigned count = 0;
    if (!ReadU8(&reader, &count)) {
        printf("file list: empty payload, read as 0 entries\n");
        return;
    }
    printf("file list: %u entries\n", count);
    if (g_dump.gameFolder[0] == '\0' && count > 0)
        printf("  (with no game folder set the updater installs none of them; give --game-folder)\n");
    for (unsigned entry = 1; entry <= count; ++entry) {
        LenStringView name;
        if (!ReadLenString(&reader, &name)) {
            printf("  %u: cut short by the end of the file: neither it nor any later entry is installed\n", entry);
            return;
        }
        FileListEntryPaths paths;
        FileListEntryVerdict verdict = PrepareFileListEntry(&name, g_dump.dataFolder, g_dump.gameFolder, &paths);
        if (verdict == ENTRY_INSTALLABLE)
            printf("  %u: %s installs as %s\n", entry, DescribeLenString(name).c_str(),
                   Quote(name.bytes, name.textLength - FILE_LIST_SUFFIX_LENGTH).c_str());
        else
            printf("  %u: %s refused: %s\n", entry, DescribeLenString(name).c_str(), DescribeEntryVerdict(verdict));
    }
    if (reader.offset < g_dump.payloadLength)
        printf("  %zu bytes after the last entry (ignored)\n", g_dump.payloadLength - reader.offset);
}

static bool EndsWithIgnoringCase(const std::string &text, const char *ending)
{
    size_t length = strlen(ending);
    if (text.size() < length)
        return false;
    for (size_t i = 0; i < length; ++i) {
        char a = text[text.size() - length + i];
        char b = ending[i];
        if ((a >= 'A' && a <= 'Z' ? a + 32 : a) != (b >= 'A' && b <= 'Z' ? b + 32 : b))
            return false;
    }
    return true;
}

int DumpCommand(const std::vector<std::string> &arguments)
{
    std::string path;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        bool hasValue = i + 1 < arguments.size();
        if (argument == "--as" && hasValue) {
            const std::string &kind = arguments[++i];
            if (kind == "settings")
                g_dump.kind = DUMP_SETTINGS;
            else if (kind == "filelist")
                g_dump.kind = DUMP_FILE_LIST;
            else
                return UsageError("--as takes settings or filelist");
        } else if (argument == "--data-folder" && hasValue) {
            static std::string dataFolder;
            if (!SpellPathArgument(arguments[++i], "the data folder", &dataFolder))
                return 2;
            g_dump.dataFolder = dataFolder.c_str();
        } else if (argument == "--game-folder" && hasValue) {
            static std::string gameFolder;
            if (!SpellPathArgument(arguments[++i], "the game folder", &gameFolder))
                return 2;
            g_dump.gameFolder = gameFolder.c_str();
        } else if (argument.compare(0, 2, "--") == 0 || !path.empty()) {
            return UsageError(("unexpected argument: " + argument).c_str());
        } else {
            path = argument;
        }
    }
    if (path.empty())
        return UsageError("dump needs a FILE");
    if (g_dump.kind == DUMP_UNKNOWN) {
        if (EndsWithIgnoringCase(path, "settings.kdx"))
            g_dump.kind = DUMP_SETTINGS;
        else if (EndsWithIgnoringCase(path, "filelist.kdx"))
            g_dump.kind = DUMP_FILE_LIST;
        else
            return UsageError("cannot tell the kind of file from its name: give --as settings or --as filelist");
    }
    // Never blocks: a FIFO or folder is refused as a file the updater would not read.
    PlatformError openError = {PLATFORM_ERROR_NONE, 0};
    std::string spelledPath;
    if (!SpellPathArgument(path, "the file", &spelledPath))
        return 2;
    FILE *file = OpenDataFile(spelledPath.c_str(), false, &openError);
    if (file == NULL) {
        fprintf(stderr, "kdx: cannot open %s as a regular file: %s\n", Shown(path).c_str(), DescribeFailure(openError));
        return 2;
    }
    printf("%s: %s\n", Shown(path).c_str(), g_dump.kind == DUMP_SETTINGS ? "settings file" : "file list");
    // Read as the updater reads it, only as far as the record can reach; the rest is only counted.
    long long fileLength = MeasureFileLength(file);
    g_dump.payloadLength = fileLength > KDX_HEADER_SIZE ? (size_t)(fileLength - KDX_HEADER_SIZE) : 0;
    KdxStatus status = LoadKdxFilePrefix(
        file, KeepPayload, g_dump.kind == DUMP_SETTINGS ? SETTINGS_PAYLOAD_LIMIT : FILE_LIST_PAYLOAD_LIMIT);
    fclose(file);
    printf("status: %s\n", KdxStatusName(status));
    if (status != KDX_OK) {
        printf("the updater ignores this file%s\n", g_dump.kind == DUMP_FILE_LIST ? " and deletes it" : "");
        return 1;
    }
    const unsigned char *payload = (const unsigned char *)g_dumpedPayload.data();
    if (g_dump.kind == DUMP_SETTINGS)
        DumpSettings(payload, g_dumpedPayload.size());
    else
        DumpFileList(payload, g_dumpedPayload.size());
    return 0;
}
