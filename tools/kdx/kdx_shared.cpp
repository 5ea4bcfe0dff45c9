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

std::string RecordField(const std::string &bytes)
{
    std::string field;
    for (unsigned char byte : bytes) {
        char escape[8];
        if (byte == '\t' || byte == '\n' || byte == '\r' || byte == '\\') {
            field += '\\';
            field += byte == '\t' ? 't' : byte == '\n' ? 'n' : byte == '\r' ? 'r' : '\\';
        } else if (byte < 0x20 || byte == 0x7F) {
            snprintf(escape, sizeof escape, "\\x%02X", byte);
            field += escape;
        } else {
            field += (char)byte;
        }
    }
    return field;
}

SpellResult SpellText(const std::string &text, bool allowShortForm, std::string *spelled)
{
    // A settings string may take 65535 bytes; a zero inside the text would end it early.
    static char buffer[65536];
    spelled->clear();
    if (text.find('\0') != std::string::npos)
        return SPELLING_IMPOSSIBLE;
    SpellResult result = SpellForUpdater(text.c_str(), allowShortForm, buffer, sizeof buffer);
    if (result != SPELLING_IMPOSSIBLE)
        spelled->assign(buffer);
    return result;
}

bool SpellPathArgument(const std::string &text, const char *what, std::string *spelled)
{
    if (SpellText(text, true, spelled) != SPELLING_IMPOSSIBLE)
        return true;
    fprintf(stderr,
            "kdx: %s %s cannot be written in the code page the updater reads, nor has it a short form that "
            "can\n",
            what, Shown(text).c_str());
    return false;
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
    std::vector<std::string> files, folders, others, unspellable;
};

static void GatherEntry(const char *name, PathKind kind, void *context)
{
    FolderEntries *entries = (FolderEntries *)context;
    switch (kind) {
    case PATH_REGULAR_FILE: entries->files.push_back(name); break;
    case PATH_FOLDER: entries->folders.push_back(name); break;
    case PATH_UNSPELLABLE: entries->unspellable.push_back(name); break;
    case PATH_MISSING:
    case PATH_OTHER: entries->others.push_back(name); break;
    }
}

// Adds what lies below `folder` + "/" + `relative` to `files`, `others` and `unspellable`, as
// names relative to `folder` with "/" between components. False when some folder cannot be
// listed; what the others hold is added all the same.
static bool WalkBelow(const std::string &folder, const std::string &relative, std::vector<std::string> *files,
                      std::vector<std::string> *others, std::vector<std::string> *unspellable)
{
    FolderEntries entries;
    if (!ListFolder((relative.empty() ? folder : folder + "/" + relative).c_str(), GatherEntry, &entries))
        return false;
    std::string prefix = relative.empty() ? "" : relative + "/";
    for (const std::string &name : entries.files)
        files->push_back(prefix + name);
    for (const std::string &name : entries.others)
        others->push_back(prefix + name);
    for (const std::string &name : entries.unspellable)
        unspellable->push_back(prefix + name);
    bool read = true;
    for (const std::string &name : entries.folders)
        read = WalkBelow(folder, prefix + name, files, others, unspellable) && read;
    return read;
}

bool WalkFolder(const std::string &folder, std::vector<std::string> *files, std::vector<std::string> *others,
                std::vector<std::string> *unspellable)
{
    bool read = WalkBelow(folder, "", files, others, unspellable);
    files->erase(std::remove(files->begin(), files->end(), "FileList.kdx"), files->end());
    others->erase(std::remove(others->begin(), others->end(), "FileList.kdx"), others->end());
    std::sort(files->begin(), files->end());
    std::sort(others->begin(), others->end());
    std::sort(unspellable->begin(), unspellable->end());
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

// The output path `path` in the updater's form: as it is, or its short form when the file is
// there, or else its folder's short form and its own name. Empty when none of them can be written.
static std::string SpellOutputPath(const std::string &path)
{
    std::string spelled;
    if (SpellText(path, true, &spelled) != SPELLING_IMPOSSIBLE)
        return spelled;
    size_t separator = path.find_last_of("/\\");
    std::string folder;
    std::string name;
    if (separator == std::string::npos || separator == 0 ||
        SpellText(path.substr(0, separator), true, &folder) == SPELLING_IMPOSSIBLE ||
        SpellText(path.substr(separator), false, &name) == SPELLING_IMPOSSIBLE)
        return "";
    return folder + name;
}

int WriteDataFile(const std::string &payload, const std::string &outputPath)
{
    std::string file = MakeKdxContainer(payload);
    FILE *output = stdout;
    if (!outputPath.empty()) {
        PlatformError createError = {PLATFORM_ERROR_NONE, 0};
        std::string spelled = SpellOutputPath(outputPath);
        if (spelled.empty()) {
            fprintf(stderr, "kdx: cannot write %s: the path cannot be written in the code page\n",
                    Shown(outputPath).c_str());
            return 2;
        }
        output = CreateOutputFile(spelled.c_str(), &createError);
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
