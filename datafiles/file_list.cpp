#include "datafiles/file_list.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "datafiles/kdx_container.h"
#include "datafiles/path_buffer.h"
#include "platform/platform.h"
#include "updater/updater_state.h"

static const char STAGING_FOLDER[] = "/Brackmoor Games/Temp/";
static const size_t STAGING_FOLDER_LENGTH = sizeof STAGING_FOLDER - 1;
static const char MISSING_GAME_FOLDER_MESSAGE[] = "Error: No Dunmark Path Set.\n";
static const unsigned MISSING_GAME_FOLDER_PAUSE_MS = 3000;

static bool IsSeparator(char byte)
{
    return byte == '/' || byte == '\\';
}

// The number of dots in a component made of dots and spaces only, or -1 for any other. Windows
// drops trailing dots and spaces from path components, so ".. " reads as ".." there and ". " as
// ".".
static int OnlyDotsAndSpaces(const char *component, size_t length)
{
    int dots = 0;
    for (size_t i = 0; i < length; ++i) {
        if (component[i] == '.')
            ++dots;
        else if (component[i] != ' ')
            return -1;
    }
    return dots;
}

// True for ".." and its dot-and-space forms ("...", ".. ").
static bool IsParentComponent(const char *component, size_t length)
{
    return OnlyDotsAndSpaces(component, length) >= 2;
}

// True when Windows reads the component as a device: its part before the first dot, without
// trailing spaces, is a DOS device name in any case. The data files are the same on every
// platform, so such names are refused everywhere.
static bool IsDeviceComponent(const char *component, size_t length)
{
    static const char *const DEVICES[] = {"CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3",   "COM4",
                                          "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2",   "LPT3",
                                          "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9", "CONIN$", "CONOUT$"};
    size_t baseLength = 0;
    while (baseLength < length && component[baseLength] != '.')
        ++baseLength;
    while (baseLength > 0 && component[baseLength - 1] == ' ')
        --baseLength;
    for (const char *device : DEVICES) {
        if (strlen(device) != baseLength)
            continue;
        size_t i = 0;
        while (i < baseLength && toupper((unsigned char)component[i]) == device[i])
            ++i;
        if (i == baseLength)
            return true;
    }
    // Windows also reads the superscript digits one to three as port numbers (U+00B9, U+00B2,
    // U+00B3). The
    // list's code page is not known here, so each of their byte forms counts: the single-byte
    // code pages' (1252 and its kin), code page 949's and UTF-8's.
    static const char *const SUPERSCRIPTS[] = {"\xB9",     "\xB2",     "\xB3",     "\xA9\xF6", "\xA9\xF7",
                                               "\xA9\xF8", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};
    if (baseLength < 4)
        return false;
    char port[4] = {(char)toupper((unsigned char)component[0]), (char)toupper((unsigned char)component[1]),
                    (char)toupper((unsigned char)component[2]), 0};
    if (strcmp(port, "COM") != 0 && strcmp(port, "LPT") != 0)
        return false;
    for (const char *digit : SUPERSCRIPTS) {
        if (strlen(digit) == baseLength - 3 && memcmp(component + 3, digit, baseLength - 3) == 0)
            return true;
    }
    return false;
}

// True for a component ending in a space or a dot: Windows drops those from a path's last
// component only, so the checks and the open could see different names.
static bool EndsInSpaceOrDot(const char *component, size_t length)
{
    return length > 0 && (component[length - 1] == ' ' || component[length - 1] == '.');
}

// The characters of `length` bytes of text, counting a UTF-8 continuation byte as none: never
// more than the characters of the text in whichever encoding it was written.
static size_t CountCharactersAtMost(const char *text, size_t length)
{
    size_t count = 0;
    for (size_t i = 0; i < length; ++i)
        count += ((unsigned char)text[i] & 0xC0) == 0x80 ? 0 : 1;
    return count;
}

// True for a component shaped like a short 8.3 alias ("NAME~1.EXT", "PROGRA~12"): at most eight
// characters ending in "~" and digits, then at most one dot and three characters. Through such a
// name Windows could reach another file, by its short name.
static bool IsShortAliasComponent(const char *component, size_t length)
{
    const char *dot = (const char *)memchr(component, '.', length);
    size_t baseLength = dot ? (size_t)(dot - component) : length;
    if (dot &&
        (memchr(dot + 1, '.', length - baseLength - 1) || CountCharactersAtMost(dot + 1, length - baseLength - 1) > 3))
        return false;
    if (CountCharactersAtMost(component, baseLength) > 8)
        return false;
    size_t digits = 0;
    while (digits < baseLength && isdigit((unsigned char)component[baseLength - 1 - digits]) != 0)
        ++digits;
    return digits > 0 && digits < baseLength && component[baseLength - 1 - digits] == '~';
}

// True for an empty component and for "." (and ". "): they name the folder itself, not a file.
static bool IsEmptyComponent(const char *component, size_t length)
{
    int dots = OnlyDotsAndSpaces(component, length);
    return dots == 0 || dots == 1;
}

// The last component of the first `length` bytes of `name`.
static bool IsReservedLastComponent(const char *name, size_t length)
{
    size_t start = 0;
    for (size_t i = 0; i < length; i += PathCharacterLength(name + i)) {
        if (IsSeparator(name[i]))
            start = i + 1;
    }
    return IsReservedFileName(name + start, start < length ? length - start : 0);
}

// True when the first `length` bytes of `name` hold a character that Windows does not read as
// part of a file name: ":" names a data stream ("Orvo.exe:x" is a stream of Orvo.exe,
// "x.map::$DATA" is x.map itself); "<", ">", "\"", "|", "?", "*" (wildcards, several of them)
// and control bytes are not allowed in names there. Looked for by character, so that the
// second byte of a double-byte character ("|" in Shift-JIS) is not taken for one. Refused on
// every platform, since the data files are the same everywhere.
static bool HasWindowsSpecialCharacter(const char *name, size_t length)
{
    static const char SPECIAL[] = ":<>\"|?*";
    for (size_t i = 0; i < length; i += PathCharacterLength(name + i)) {
        unsigned char byte = (unsigned char)name[i];
        if (byte < 0x20 || memchr(SPECIAL, byte, sizeof SPECIAL - 1) != NULL)
            return true;
    }
    return false;
}

typedef bool (*ComponentTest)(const char *component, size_t length);

// True when some component of the first `length` bytes of `name` passes `test`. Components
// are split as the file system splits them: never inside a double-byte character.
static bool HasComponent(const char *name, size_t length, ComponentTest test)
{
    size_t start = 0;
    for (size_t i = 0;; i += PathCharacterLength(name + i)) {
        bool ends = i >= length;
        if (ends || IsSeparator(name[i])) {
            if (test(name + start, (ends ? length : i) - start))
                return true;
            if (ends)
                return false;
            start = i + 1;
        }
    }
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
    if (HasWindowsSpecialCharacter(text, name->textLength))
        return ENTRY_NAME_WINDOWS_CHARACTER;
    if (HasComponent(text, name->textLength, IsParentComponent) ||
        HasComponent(text, installedLength, IsParentComponent))
        return ENTRY_NAME_PARENT;
    if (HasComponent(text, name->textLength, IsDeviceComponent) ||
        HasComponent(text, installedLength, IsDeviceComponent))
        return ENTRY_NAME_DEVICE;
    if (HasComponent(text, name->textLength, IsEmptyComponent) || HasComponent(text, installedLength, IsEmptyComponent))
        return ENTRY_NAME_EMPTY_PART;
    // The cleanup after a pass removes files of that form: such an entry would be deleted again.
    if (IsReservedLastComponent(text, name->textLength) || IsReservedLastComponent(text, installedLength))
        return ENTRY_NAME_RESERVED;
    if (HasComponent(text, name->textLength, EndsInSpaceOrDot) || HasComponent(text, installedLength, EndsInSpaceOrDot))
        return ENTRY_NAME_TRAILING_SPACE_OR_DOT;
    if (HasComponent(text, name->textLength, IsShortAliasComponent) ||
        HasComponent(text, installedLength, IsShortAliasComponent))
        return ENTRY_NAME_SHORT_ALIAS;

    if (!ComposePath(paths->source, sizeof paths->source, appDataPath, STAGING_FOLDER, text)) {
        memset(paths, 0, sizeof *paths);
        return ENTRY_SOURCE_TOO_LONG;
    }
    if (!ComposePath(paths->target, sizeof paths->target, gamePath, "/", text)) {
        memset(paths, 0, sizeof *paths);
        return ENTRY_TARGET_TOO_LONG;
    }
    paths->stagingLength = strlen(appDataPath) + STAGING_FOLDER_LENGTH - 1;
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
    case ENTRY_NAME_WINDOWS_CHARACTER:
        return "the name has a character Windows does not read as part of a name (\":\", which names a data stream, "
               "or < > \" | ? * or a control byte)";
    case ENTRY_NAME_PARENT: return "the name reaches outside its folder (a \"..\" component)";
    case ENTRY_NAME_DEVICE: return "the name names a Windows device (CON, NUL, COM1, LPT1...)";
    case ENTRY_NAME_EMPTY_PART: return "the name has an empty or \".\" component";
    case ENTRY_NAME_RESERVED: return "the name has the form of the updater's own files (\".~upd-...\")";
    case ENTRY_NAME_TRAILING_SPACE_OR_DOT: return "a component of the name ends in a space or a dot";
    case ENTRY_NAME_SHORT_ALIAS: return "a component of the name has the form of a short 8.3 name (\"NAME~1.EXT\")";
    case ENTRY_SOURCE_TOO_LONG: return "the staged file's path would be longer than 259 characters";
    case ENTRY_TARGET_TOO_LONG: return "the installed file's path would be longer than 383 characters";
    }
    return "unknown";
}

// The game folder and the folders that entries of this pass install into: after the pass each
// one that received a file is synced once, and each is cleared of what a move left there (a
// killed earlier run's temporaries, files set aside while in use).
struct PassFolders {
    char path[FILE_LIST_MAX_ENTRIES + 1][FILE_LIST_TARGET_SIZE];
    bool received[FILE_LIST_MAX_ENTRIES + 1];
    unsigned count;
};
static PassFolders g_passFolders;

// Notes the folder named by the first `length` bytes of `path`.
static void NoteFolder(const char *path, size_t length, bool received)
{
    if (length == 0 || length >= FILE_LIST_TARGET_SIZE)
        return;
    unsigned index = 0;
    while (index < g_passFolders.count &&
           (strncmp(g_passFolders.path[index], path, length) != 0 || g_passFolders.path[index][length] != '\0'))
        ++index;
    if (index == g_passFolders.count) {
        if (index == FILE_LIST_MAX_ENTRIES + 1)
            return; // cannot happen: the game folder and one folder per entry at most
        memcpy(g_passFolders.path[index], path, length);
        ++g_passFolders.count;
    }
    g_passFolders.received[index] = g_passFolders.received[index] || received;
}

static void NoteTargetFolder(const char *target, bool received)
{
    NoteFolder(target, FolderPartLength(target), received);
}

typedef void (*EntryVisitor)(const FileListEntryPaths *paths);

// Calls `visit` for each installable entry of the list, in the order stored. An entry cut short
// by the payload's end is not visited and ends the walk.
static void ForEachInstallableEntry(const unsigned char *payload, size_t length, EntryVisitor visit)
{
    ByteReader reader = MakeByteReader(payload, length);
    unsigned count = 0;
    if (!ReadU8(&reader, &count))
        return; // an empty payload is a list of no entries
    for (unsigned entry = 0; entry < count; ++entry) {
        LenStringView name;
        if (!ReadLenString(&reader, &name))
            return; // cut short by the payload's end: neither it nor anything after is read
        FileListEntryPaths paths;
        if (PrepareFileListEntry(&name, g_UpdaterState.AppDataPath, g_UpdaterState.GamePath, &paths) ==
            ENTRY_INSTALLABLE)
            visit(&paths);
    }
}

static void PrepareEntry(const FileListEntryPaths *paths)
{
    PrepareStagedFile(paths->source, paths->stagingLength, paths->target);
}

// A file held by another program (the browser's last process, a virus scanner) is often let go
// a moment later: such a move is tried again after a pause that doubles, all pauses of one
// pass together bounded, so that a file held for good delays the run by at most that much.
static const unsigned RETRY_FIRST_PAUSE_MS = 50;
static const unsigned RETRY_LONGEST_PAUSE_MS = 1000;
static const unsigned RETRY_BUDGET_MS = 10000;
static unsigned g_retryBudgetLeftMs;
static bool g_passDurable = true;
static bool g_leftoversSettled; // this run's pass settled the leftovers of its folders

static void InstallEntry(const FileListEntryPaths *paths)
{
    MoveOutcome outcome = MoveFileReplacing(paths->source, paths->stagingLength, paths->target);
    for (unsigned pause = RETRY_FIRST_PAUSE_MS; outcome == MOVE_IN_USE && g_retryBudgetLeftMs > 0;) {
        unsigned wait = pause < g_retryBudgetLeftMs ? pause : g_retryBudgetLeftMs;
        PauseMilliseconds(wait);
        g_retryBudgetLeftMs -= wait;
        pause = pause * 2 < RETRY_LONGEST_PAUSE_MS ? pause * 2 : RETRY_LONGEST_PAUSE_MS;
        outcome = MoveFileReplacing(paths->source, paths->stagingLength, paths->target);
    }
    // The move will not be tried again: a copy kept for its tries goes.
    ForgetKeptCopy();
    // A failed move leaves both files as they were; the next entry does not depend on it.
    NoteTargetFolder(paths->target, outcome == MOVE_DONE);
}

void ReportMissingGameFolder()
{
    (void)fputs(MISSING_GAME_FOLDER_MESSAGE, stdout);
    (void)fflush(stdout);
    PauseMilliseconds(MISSING_GAME_FOLDER_PAUSE_MS);
}

void ApplyFileList(const unsigned char *payload, size_t length)
{
    if (g_UpdaterState.GamePath[0] == '\0') {
        ReportMissingGameFolder();
        return;
    }
    memset(&g_passFolders, 0, sizeof g_passFolders);
    NoteFolder(g_UpdaterState.GamePath, strlen(g_UpdaterState.GamePath), false);
    g_passDurable = true;
    g_retryBudgetLeftMs = RETRY_BUDGET_MS;
    // Every staged file starts for the disk at once; then one sync of their file system, or each
    // move waits only for its own.
    ForEachInstallableEntry(payload, length, PrepareEntry);
    char stagingFolder[PATH_BUFFER_SIZE];
    if (ComposePath(stagingFolder, sizeof stagingFolder, g_UpdaterState.AppDataPath, STAGING_FOLDER, ""))
        SyncStagedFiles(stagingFolder);
    ForEachInstallableEntry(payload, length, InstallEntry);
    EndMovePass();
    if (!StagedFilesStayReachable())
        g_passDurable = false;
    // Before the file list goes, every move of the pass is durable, so none is lost with it.
    g_leftoversSettled = true; // the game folder is the pass's first folder
    for (unsigned index = 0; index < g_passFolders.count; ++index) {
        RemoveMoveLeftovers(g_passFolders.path[index]);
        // The renames themselves are done; the list stays until they are on disk.
        if (g_passFolders.received[index] && !SyncFolder(g_passFolders.path[index]))
            g_passDurable = false;
    }
}

bool FileListPassIsDurable()
{
    return g_passDurable;
}

// Loads, applies and deletes the file list at `fileListPath`, as ProcessFileList promises.
static void ApplyAndDeleteFileList(const char *fileListPath)
{
    FILE *fileList = OpenDataFile(fileListPath, true, NULL);
    if (fileList == NULL)
        return;
    // A rejected list installs nothing and is deleted all the same; one that could not be read
    // was not judged at all, and stays for the next run.
    g_passDurable = true;
    KdxStatus status = LoadKdxFilePrefix(fileList, ApplyFileList, FILE_LIST_PAYLOAD_LIMIT);
    if (status != KDX_READ_FAILED && FileListPassIsDurable())
        (void)DeleteDataFileAndClose(fileList, fileListPath);
    else
        (void)fclose(fileList);
}

void ProcessFileList(unsigned lockWaitMs)
{
    if (g_UpdaterState.AppDataPath[0] == '\0')
        return;
    char fileListPath[PATH_BUFFER_SIZE];
    if (!ComposePath(fileListPath, sizeof fileListPath, g_UpdaterState.AppDataPath, STAGING_FOLDER, "FileList.kdx"))
        return;
    // A second updater waits here until the first has finished, for a bounded time: a run that
    // never ends (stuck, or anything else holding the claim) must not keep this one from the
    // launch. Without a claim to be had at all, the run goes on unguarded.
    char stagingFolder[PATH_BUFFER_SIZE];
    RunLockOutcome lock = RUN_LOCK_NO_CLAIM;
    if (ComposePath(stagingFolder, sizeof stagingFolder, g_UpdaterState.AppDataPath, STAGING_FOLDER, ""))
        lock = LockUpdateRun(stagingFolder, lockWaitMs);
    if (lock == RUN_LOCK_TIMED_OUT)
        return;
    // What a killed run left under a reserved name gets its name back first, the list included,
    // whether or not the list names it.
    if (lock == RUN_LOCK_HELD)
        SettleClaimedFiles(stagingFolder, true, NULL, NULL);
    g_leftoversSettled = false;
    ApplyAndDeleteFileList(fileListPath);
    // Leftovers in the game folder itself are settled by every run that knows it, with a list or
    // without: what a run set aside there is deleted once its program has ended.
    if (lock == RUN_LOCK_HELD && !g_leftoversSettled && g_UpdaterState.GamePath[0] != '\0')
        RemoveMoveLeftovers(g_UpdaterState.GamePath);
    UnlockUpdateRun();
}
