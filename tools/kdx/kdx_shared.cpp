// What the kdx commands share: how bytes and paths are shown, the payload kept from a load,
// the walk of a folder and the writing of a data file.
#include "tools/kdx/kdx_tool.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "datafiles/kdx_writer.h"
#include "platform/platform.h"

std::string Quote(const unsigned char *bytes, size_t length)
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

std::string Shown(const std::string &text)
{
    std::string shown;
    for (unsigned char byte : text) {
        if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02X", byte);
            shown += escape;
        } else {
            shown += (char)byte;
        }
    }
    return shown;
}

std::string DescribeLenString(const LenStringView &text)
{
    std::string line = Quote(text.bytes, text.storedLength) + " (" + std::to_string(text.storedLength) + " bytes";
    if (text.textLength < text.storedLength)
        line += ", text ends at the zero byte after " + std::to_string(text.textLength);
    return line + ")";
}

std::string g_dumpedPayload;

void KeepPayload(const unsigned char *payload, size_t length)
{
    g_dumpedPayload.assign((const char *)payload, length);
}

// What one folder of a walk holds, gathered while it is listed.
struct FolderEntries {
    std::vector<std::string> files, folders, others;
};

static void GatherEntry(const char *name, PathKind kind, void *context)
{
    FolderEntries *entries = (FolderEntries *)context;
    (kind == PATH_REGULAR_FILE ? entries->files
     : kind == PATH_FOLDER     ? entries->folders
                               : entries->others)
        .push_back(name);
}

// Adds what lies below `folder` + "/" + `relative` to `files` and `others`, as names relative to
// `folder` with "/" between components. False when some folder cannot be listed; what the
// others hold is added all the same.
static bool WalkBelow(const std::string &folder, const std::string &relative, std::vector<std::string> *files,
                      std::vector<std::string> *others)
{
    FolderEntries entries;
    if (!ListFolder((relative.empty() ? folder : folder + "/" + relative).c_str(), GatherEntry, &entries))
        return false;
    std::string prefix = relative.empty() ? "" : relative + "/";
    for (const std::string &name : entries.files)
        files->push_back(prefix + name);
    for (const std::string &name : entries.others)
        others->push_back(prefix + name);
    bool read = true;
    for (const std::string &name : entries.folders)
        read = WalkBelow(folder, prefix + name, files, others) && read;
    return read;
}

bool WalkFolder(const std::string &folder, std::vector<std::string> *files, std::vector<std::string> *others)
{
    bool read = WalkBelow(folder, "", files, others);
    files->erase(std::remove(files->begin(), files->end(), "FileList.kdx"), files->end());
    others->erase(std::remove(others->begin(), others->end(), "FileList.kdx"), others->end());
    std::sort(files->begin(), files->end());
    std::sort(others->begin(), others->end());
    return read;
}

bool TakeOutputOption(std::vector<std::string> *arguments, std::string *outputPath)
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

int WriteDataFile(const std::string &payload, const std::string &outputPath)
{
    std::string file = MakeKdxContainer(payload);
    FILE *output = stdout;
    if (!outputPath.empty()) {
        PlatformError createError = {PLATFORM_ERROR_NONE, 0};
        output = CreateOutputFile(outputPath.c_str(), &createError);
        if (output == NULL) {
            fprintf(stderr, "kdx: cannot write %s: %s\n", outputPath.c_str(), DescribeFailure(createError));
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
