// kdx: reads and writes the updater's data files, for the client's developers and support.
//   kdx dump [--as settings|filelist] [--data-folder DIR] [--game-folder DIR] FILE
//   kdx settings GAME_FOLDER [FIRST_STRING] [-o FILE]
//   kdx filelist NAME... [-o FILE]
// Exit status: 0 done; 1 the container was rejected (dump); 2 bad arguments or unreadable file.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "datafiles/file_list.h"
#include "datafiles/kdx_container.h"
#include "datafiles/kdx_writer.h"
#include "datafiles/settings_record.h"
#include "platform/platform.h"

static const char USAGE[] = "usage: kdx dump [--as settings|filelist] [--data-folder DIR] [--game-folder DIR] FILE\n"
                            "       kdx settings GAME_FOLDER [FIRST_STRING] [-o FILE]\n"
                            "       kdx filelist NAME... [-o FILE]\n"
                            "\n"
                            "dump      shows a data file's container status and its record as the updater reads it;\n"
                            "          for a file list, what each entry installs as or why it is refused. The kind\n"
                            "          is taken from the file name (Settings.kdx, FileList.kdx) unless --as says it.\n"
                            "          Path limits are checked against --data-folder (the per-user data folder) and\n"
                            "          --game-folder; both are empty unless given.\n"
                            "settings  writes a settings file naming GAME_FOLDER (standard output, or -o FILE).\n"
                            "filelist  writes a file list of the staged NAMEs, each with its four-byte suffix.\n";

static int UsageError(const char *message)
{
    fprintf(stderr, "kdx: %s\n\n%s", message, USAGE);
    return 2;
}

// Bytes as a quoted C-like string: printable ASCII as is, everything else as \xNN.
static std::string Quote(const unsigned char *bytes, size_t length)
{
    std::string quoted = "\"";
    for (size_t i = 0; i < length; ++i) {
        unsigned char byte = bytes[i];
        if (byte == '"' || byte == '\\') {
            quoted += '\\';
            quoted += (char)byte;
        } else if (byte >= 0x20 && byte < 0x7F) {
            quoted += (char)byte;
        } else {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02X", byte);
            quoted += escape;
        }
    }
    return quoted + "\"";
}

static std::string DescribeLenString(const LenStringView &text)
{
    std::string line = Quote(text.bytes, text.storedLength) + " (" + std::to_string(text.storedLength) + " bytes";
    if (text.textLength < text.storedLength)
        line += ", text ends at the zero byte after " + std::to_string(text.textLength);
    return line + ")";
}

enum DumpKind { DUMP_UNKNOWN, DUMP_SETTINGS, DUMP_FILE_LIST };

// The handlers below get only the payload, so the dump's settings live here.
static struct {
    DumpKind kind;
    const char *dataFolder;
    const char *gameFolder;
} g_dump = {DUMP_UNKNOWN, "", ""};

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
    if (used < length)
        printf("  %zu bytes after the record (ignored)\n", length - used);
    char folder[260];
    if (!TakeGameFolder(&gameFolder, folder))
        printf("game folder the updater uses: none (longer than 259 bytes)\n");
    else if (folder[0] == '\0')
        printf("game folder the updater uses: none (empty)\n");
    else
        printf("game folder the updater uses: %s\n", folder);
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
            printf("  %u: %s installs as \"%.*s\"\n", entry, DescribeLenString(name).c_str(),
                   (int)(name.textLength - FILE_LIST_SUFFIX_LENGTH), (const char *)name.bytes);
        else
            printf("  %u: %s refused: %s\n", entry, DescribeLenString(name).c_str(), DescribeEntryVerdict(verdict));
    }
    if (reader.offset < length)
        printf("  %zu bytes after the last entry (ignored)\n", length - reader.offset);
}

// The handler sees the payload only during the load: keep a copy to show after the status.
static std::string g_dumpedPayload;

static void KeepPayload(const unsigned char *payload, size_t length)
{
    g_dumpedPayload.assign((const char *)payload, length);
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

static int Dump(const std::vector<std::string> &arguments)
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
            g_dump.dataFolder = arguments[++i].c_str();
        } else if (argument == "--game-folder" && hasValue) {
            g_dump.gameFolder = arguments[++i].c_str();
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
    FILE *file = fopen(path.c_str(), "rb");
    if (file == NULL) {
        fprintf(stderr, "kdx: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return 2;
    }
    printf("%s: %s\n", path.c_str(), g_dump.kind == DUMP_SETTINGS ? "settings file" : "file list");
    KdxStatus status = LoadKdxFile(file, KeepPayload);
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

// Splits "-o FILE" off the arguments; "--" ends the options.
static bool TakeOutputOption(std::vector<std::string> *arguments, std::string *outputPath)
{
    std::vector<std::string> rest;
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments->size(); ++i) {
        const std::string &argument = (*arguments)[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && argument == "-o") {
            if (i + 1 >= arguments->size())
                return false;
            *outputPath = (*arguments)[++i];
        } else {
            rest.push_back(argument);
        }
    }
    *arguments = rest;
    return true;
}

static int WriteDataFile(const std::string &payload, const std::string &outputPath)
{
    std::string file = MakeKdxContainer(payload);
    FILE *output = stdout;
    if (!outputPath.empty()) {
        output = fopen(outputPath.c_str(), "wb");
        if (output == NULL) {
            fprintf(stderr, "kdx: cannot write %s: %s\n", outputPath.c_str(), strerror(errno));
            return 2;
        }
    } else {
        UseBinaryStandardOutput();
    }
    bool written = fwrite(file.data(), 1, file.size(), output) == file.size();
    written = (output == stdout ? fflush(output) == 0 : fclose(output) == 0) && written;
    if (!written) {
        fprintf(stderr, "kdx: writing %s failed\n", outputPath.empty() ? "standard output" : outputPath.c_str());
        return 2;
    }
    return 0;
}

static int Settings(std::vector<std::string> arguments)
{
    std::string outputPath;
    if (!TakeOutputOption(&arguments, &outputPath))
        return UsageError("-o needs a FILE");
    if (arguments.empty() || arguments.size() > 2)
        return UsageError("settings takes GAME_FOLDER and an optional FIRST_STRING");
    std::string payload;
    if (!MakeSettingsPayload(arguments[0], arguments.size() == 2 ? arguments[1] : "", &payload))
        return UsageError("a string is longer than 65535 bytes");
    if (arguments[0].empty() || arguments[0].size() > 259)
        fprintf(stderr, "kdx: warning: the updater uses no game folder that is empty or over 259 bytes\n");
    return WriteDataFile(payload, outputPath);
}

static int FileList(std::vector<std::string> arguments)
{
    std::string outputPath;
    if (!TakeOutputOption(&arguments, &outputPath))
        return UsageError("-o needs a FILE");
    std::string payload;
    if (!MakeFileListPayload(arguments, &payload))
        return UsageError("a file list holds at most 255 names of at most 65535 bytes each");
    for (size_t i = 0; i < arguments.size(); ++i) {
        LenStringView name = {(const unsigned char *)arguments[i].data(), arguments[i].size(), arguments[i].size()};
        FileListEntryPaths paths;
        FileListEntryVerdict verdict = PrepareFileListEntry(&name, "", "", &paths);
        if (verdict != ENTRY_INSTALLABLE)
            fprintf(stderr, "kdx: warning: entry %zu (%s) will be refused: %s\n", i + 1, arguments[i].c_str(),
                    DescribeEntryVerdict(verdict));
    }
    return WriteDataFile(payload, outputPath);
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return UsageError("no command given");
    std::string command = argv[1];
    std::vector<std::string> arguments(argv + 2, argv + argc);
    if (command == "dump")
        return Dump(arguments);
    if (command == "settings")
        return Settings(arguments);
    if (command == "filelist")
        return FileList(arguments);
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(USAGE, stdout);
        return 0;
    }
    return UsageError(("unknown command: " + command).c_str());
}
