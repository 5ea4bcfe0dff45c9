#include "datafiles/file_list.h"

#include <stdio.h>
#include <string.h>

#include "datafiles/kdx_container.h"
#include "datafiles/path_buffer.h"
#include "platform/platform.h"
#include "updater/updater_state.h"

static const char STAGING_FOLDER[] = "/Brackmoor Games/Temp/";
static const char MISSING_GAME_FOLDER_MESSAGE[] = "Error: No Dunmark Path Set.\n";
static const unsigned MISSING_GAME_FOLDER_PAUSE_MS = 3000;

static bool IsSeparator(char byte)
{
    return byte == '/' || byte == '\\';
}

// True for "..", and for the dot-and-space forms ("...", ".. ") that Windows may read as "..",
// since it drops trailing dots and spaces from path components.
static bool IsParentComponent(const char *component, size_t length)
{
    size_t dots = 0;
    for (size_t i = 0; i < length; ++i) {
        if (component[i] == '.')
            ++dots;
        else if (component[i] != ' ')
            return false;
    }
    return dots >= 2;
}

static bool HasParentComponent(const char *name, size_t length)
{
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || IsSeparator(name[i])) {
            if (IsParentComponent(name + start, i - start))
                return true;
            start = i + 1;
        }
    }
    return false;
}

FileListEntryVerdict PrepareFileListEntry(const LenStringView *name, const char *appDataPath, const char *gamePath,
                                          FileListEntryPaths *paths)
{
    memset(paths, 0, sizeof *paths);
    if (name->textLength <= FILE_LIST_SUFFIX_LENGTH)
        return ENTRY_NAME_TOO_SHORT;
    if (name->textLength > FILE_LIST_NAME_SIZE - 1)
        return ENTRY_NAME_TOO_LONG;

    char text[FILE_LIST_NAME_SIZE];
    memset(text, 0, sizeof text);
    memcpy(text, name->bytes, name->textLength);
    size_t installedLength = name->textLength - FILE_LIST_SUFFIX_LENGTH;
    if (IsSeparator(text[0]))
        return ENTRY_NAME_ABSOLUTE;
    if (text[1] == ':')
        return ENTRY_NAME_DRIVE;
    if (HasParentComponent(text, name->textLength) || HasParentComponent(text, installedLength))
        return ENTRY_NAME_PARENT;

    if (!ComposePath(paths->source, sizeof paths->source, appDataPath, STAGING_FOLDER, text)) {
        memset(paths, 0, sizeof *paths);
        return ENTRY_SOURCE_TOO_LONG;
    }
    if (!ComposePath(paths->target, sizeof paths->target, gamePath, "/", text)) {
        memset(paths, 0, sizeof *paths);
        return ENTRY_TARGET_TOO_LONG;
    }
    // Drop the suffix: the installed name is the staged one less its last four bytes.
    size_t targetLength = strlen(paths->target);
    memset(paths->target + targetLength - FILE_LIST_SUFFIX_LENGTH, 0, FILE_LIST_SUFFIX_LENGTH);
    return ENTRY_INSTALLABLE;
}

const char *DescribeEntryVerdict(FileListEntryVerdict verdict)
{
    switch (verdict) {
    case ENTRY_INSTALLABLE: return "installable";
    case ENTRY_NAME_TOO_SHORT: return "the name has four bytes or fewer: nothing is left without its suffix";
    case ENTRY_NAME_TOO_LONG: return "the name is longer than 127 bytes";
    case ENTRY_NAME_ABSOLUTE: return "the name is an absolute path";
    case ENTRY_NAME_DRIVE: return "the name names a drive";
    case ENTRY_NAME_PARENT: return "the name reaches outside its folder (a \"..\" component)";
    case ENTRY_SOURCE_TOO_LONG: return "the staged file's path would be longer than 259 characters";
    case ENTRY_TARGET_TOO_LONG: return "the installed file's path would be longer than 383 characters";
    }
    return "unknown";
}

void ApplyFileList(const unsigned char *payload, size_t length)
{
    if (g_UpdaterState.GamePath[0] == '\0') {
        (void)fputs(MISSING_GAME_FOLDER_MESSAGE, stdout);
        (void)fflush(stdout);
        PauseMilliseconds(MISSING_GAME_FOLDER_PAUSE_MS);
        return;
    }
    ByteReader reader = MakeByteReader(payload, length);
    unsigned count = 0;
    if (!ReadU8(&reader, &count))
        return; // an empty payload is a list of no entries
    for (unsigned entry = 0; entry < count; ++entry) {
        LenStringView name;
        if (!ReadLenString(&reader, &name))
            return; // cut short by the payload's end: neither it nor anything after is read
        FileListEntryPaths paths;
        if (PrepareFileListEntry(&name, g_UpdaterState.AppDataPath, g_UpdaterState.GamePath, &paths) !=
            ENTRY_INSTALLABLE)
            continue;
        // A failed move leaves both files as they were; the next entry does not depend on it.
        (void)MoveFileReplacing(paths.source, paths.target);
    }
}

void ProcessFileList()
{
    if (g_UpdaterState.AppDataPath[0] == '\0')
        return;
    char fileListPath[PATH_BUFFER_SIZE];
    if (!ComposePath(fileListPath, sizeof fileListPath, g_UpdaterState.AppDataPath, STAGING_FOLDER, "FileList.kdx"))
        return;
    FILE *fileList = fopen(fileListPath, "rb");
    if (fileList == NULL)
        return;
    // A rejected list installs nothing and is deleted all the same.
    (void)LoadKdxFile(fileList, ApplyFileList);
    (void)fclose(fileList);
    (void)remove(fileListPath);
}
