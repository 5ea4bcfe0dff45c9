// kdx filelist: writes a file list of staged names, given or found below a folder.
#include <stdio.h>

#include <string>
#include <vector>

#include "datafiles/file_list.h"
#include "datafiles/kdx_writer.h"
#include "platform/platform.h"
#include "tools/kdx/kdx_tool.h"

// "filelist --from FOLDER": every regular file below FOLDER, or a refusal that names why.
static int FileListFromFolder(const std::string &folder, const std::string &outputPath)
{
    std::vector<std::string> names;
    std::vector<std::string> others;
    std::vector<std::string> unspellable;
    std::string spelledFolder;
    if (!SpellPathArgument(folder, "the folder", &spelledFolder))
        return 2;
    if (!WalkFolder(spelledFolder, &names, &others, &unspellable)) {
        fprintf(stderr, "kdx: cannot read the folder %s\n", Shown(folder).c_str());
        return 2;
    }
    for (const std::string &name : others)
        fprintf(stderr, "kdx: %s is not a regular file: a file list names regular files only\n", Shown(name).c_str());
    // The updater would look for "?" in its place: another file, or none.
    for (const std::string &name : unspellable)
        fprintf(stderr, "kdx: %s: its name cannot be written in the code page the updater reads\n",
                Shown(name).c_str());
    bool refused = !others.empty() || !unspellable.empty();
    for (const std::string &name : names) {
        LenStringView view = {(const unsigned char *)name.data(), name.size(), name.size()};
        FileListEntryPaths paths;
        FileListEntryVerdict verdict = PrepareFileListEntry(&view, "", "", &paths);
        // The suffix is the file's own: cut from a shorter file name, it would cut into the folder.
        size_t leaf = name.size() - (name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
        if (verdict != ENTRY_INSTALLABLE)
            fprintf(stderr, "kdx: %s: the updater refuses it: %s\n", Shown(name).c_str(),
                    DescribeEntryVerdict(verdict));
        else if (leaf <= FILE_LIST_SUFFIX_LENGTH)
            fprintf(stderr, "kdx: %s: its file name has four bytes or fewer: no suffix to drop\n", Shown(name).c_str());
        refused = refused || verdict != ENTRY_INSTALLABLE || leaf <= FILE_LIST_SUFFIX_LENGTH;
    }
    // An old update's leftover beside the new download installs under the same name: which one the
    // player gets would depend on the list's order, so neither is listed.
    std::vector<std::string> installed;
    for (const std::string &name : names) {
        size_t leaf = name.size() - (name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
        installed.push_back(leaf > FILE_LIST_SUFFIX_LENGTH ? name.substr(0, name.size() - FILE_LIST_SUFFIX_LENGTH)
                                                           : "");
    }
    for (size_t one = 0; one < names.size(); ++one) {
        for (size_t other = one + 1; other < names.size() && !installed[one].empty(); ++other) {
            if (NameSameFile(installed[one].c_str(), installed[other].c_str())) {
                fprintf(stderr, "kdx: %s and %s both install as %s\n", Shown(names[one]).c_str(),
                        Shown(names[other]).c_str(), Shown(installed[one]).c_str());
                refused = true;
            }
        }
    }
    if (names.size() > FILE_LIST_MAX_ENTRIES)
        fprintf(stderr, "kdx: %zu files: a file list holds at most 255\n", names.size());
    std::string payload;
    if (refused || names.size() > FILE_LIST_MAX_ENTRIES || !MakeFileListPayload(names, &payload))
        return 2;
    return WriteDataFile(payload, outputPath);
}

int FileListCommand(std::vector<std::string> arguments)
{
    std::string outputPath;
    if (!TakeOutputOption(&arguments, &outputPath))
        return UsageError("-o needs a FILE");
    if (!arguments.empty() && arguments[0] == "--from") {
        if (arguments.size() != 2)
            return UsageError("filelist --from takes one FOLDER and no NAME");
        return FileListFromFolder(arguments[1], outputPath);
    }
    // Names are written as the updater reads them, each exactly: a short form would install under
    // another name.
    for (std::string &name : arguments) {
        std::string spelled;
        if (SpellText(name, false, &spelled) == SPELLING_IMPOSSIBLE && name.size() <= 65535) {
            fprintf(stderr, "kdx: %s: the name cannot be written in the code page the updater reads\n",
                    Shown(name).c_str());
            return 2;
        }
        name = spelled.empty() ? name : spelled;
    }
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
