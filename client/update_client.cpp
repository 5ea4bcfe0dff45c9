// The client library: each call composes its paths from the per-user data folder and the settings
// file exactly as the updater does (the updater's own state record, filled by its own phases),
// judges names with the updater's own checks, and moves with the updater's own move.
#include "client/update_client.h"

#include <stdarg.h>
#include <string.h>

#include <string>
#include <vector>

#include "datafiles/file_list.h"
#include "datafiles/kdx_writer.h"
#include "datafiles/path_buffer.h"
#include "platform/client_files.h"
#include "platform/platform.h"
#include "platform/spelling.h"
#include "updater/update_run.h"
#include "updater/updater_state.h"

static const char STAGING_PART[] = "/Brackmoor Games/Temp";
static const char BROWSER_WINDOW_CLASS[] = "OrvoBrowser";
static const unsigned BROWSER_LOOK_MS = 50;

// The folders one call works with, composed once.
struct ClientFolders {
    char staging[PATH_BUFFER_SIZE]; // AppDataPath + "/Brackmoor Games/Temp"
    size_t dataLength;              // the length of AppDataPath
};

// printf-style, for the report's reason; the format attribute lets the compiler check each call.
// NOLINTNEXTLINE(cert-dcl50-cpp)
static UpdateClientStatus Report(UpdateClientReport *report, UpdateClientStatus status, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// NOLINTNEXTLINE(cert-dcl50-cpp)
static UpdateClientStatus Report(UpdateClientReport *report, UpdateClientStatus status, const char *format, ...)
{
    report->status = status;
    va_list arguments;
    va_start(arguments, format);
    (void)vsnprintf(report->reason, sizeof report->reason, format, arguments);
    va_end(arguments);
    return status;
}

static UpdateClientStatus SystemFailure(UpdateClientReport *report, const char *what, PlatformError error)
{
    report->systemError = error.code;
    // The platform's own words for a link are those of a file to delete.
    const char *why = error.kind == PLATFORM_ERROR_THROUGH_LINK
                          ? "a symbolic link or junction lies on the way, which the library never follows there"
                          : DescribeFailure(error);
    return Report(report, UPDATE_CLIENT_SYSTEM_ERROR, "%s: %s", what, why);
}

static void StartReport(UpdateClientReport *report, const char *name)
{
    memset(report, 0, sizeof *report);
    if (name != NULL && strlen(name) < sizeof report->name)
        memcpy(report->name, name, strlen(name));
}

// Fills the updater's state record as a run does: the data folder and, with `needGame`, the game
// folder from the settings file.
static UpdateClientStatus FindFolders(ClientFolders *folders, bool needGame, UpdateClientReport *report)
{
    memset(folders, 0, sizeof *folders);
    ResetUpdaterState();
    // Every call reaches its folders afresh; and the client's own programs, which hold their files
    // while it runs, are never set aside under them: such a file is handed over instead.
    BeginMovePass(false);
    if (!GetUserDataFolder(g_UpdaterState.AppDataPath))
        return Report(report, UPDATE_CLIENT_NO_DATA_FOLDER, "there is no per-user data folder the updater can reach");
    folders->dataLength = strlen(g_UpdaterState.AppDataPath);
    if (!ComposePath(folders->staging, sizeof folders->staging, g_UpdaterState.AppDataPath, STAGING_PART, ""))
        return Report(report, UPDATE_CLIENT_NO_DATA_FOLDER, "the data folder's path is too long");
    PathInfo data;
    InspectPath(g_UpdaterState.AppDataPath, &data);
    if (data.kind == PATH_MISSING)
        return Report(report, UPDATE_CLIENT_NO_DATA_FOLDER, "the per-user data folder %s does not exist",
                      g_UpdaterState.AppDataPath);
    bool readable = RunSettingsPhase();
    if (needGame && (!readable || g_UpdaterState.GamePath[0] == '\0'))
        return Report(report, UPDATE_CLIENT_NO_GAME_FOLDER,
                      readable ? "no settings file names a game folder: write one with UpdateClientWriteSettings"
                               : "the settings file cannot be read");
    return UPDATE_CLIENT_OK;
}

// The staged name in the updater's form, judged as the updater judges a list's entry, with its
// paths composed (a target only when a game folder is known).
static UpdateClientStatus JudgeName(const char *stagedName, char spelled[UPDATE_CLIENT_NAME_SIZE],
                                    FileListEntryPaths *paths, UpdateClientReport *report)
{
    if (SpellForUpdater(stagedName, false, spelled, UPDATE_CLIENT_NAME_SIZE) != SPELLED_AS_IS) {
        report->entryVerdict = ENTRY_NAME_TOO_LONG;
        return Report(report, UPDATE_CLIENT_NAME_REFUSED,
                      "%s: the name cannot be written in the code page the updater reads, or is over 127 bytes",
                      report->name);
    }
    LenStringView view = {(const unsigned char *)spelled, strlen(spelled), strlen(spelled)};
    FileListEntryVerdict verdict =
        PrepareFileListEntry(&view, g_UpdaterState.AppDataPath, g_UpdaterState.GamePath, paths);
    if (verdict != ENTRY_INSTALLABLE) {
        report->entryVerdict = verdict;
        return Report(report, UPDATE_CLIENT_NAME_REFUSED, "%s: the updater refuses it: %s", report->name,
                      DescribeEntryVerdict(verdict));
    }
    // The suffix is the file's own: cut from a shorter file name, it would cut into its folder.
    const char *leaf = spelled + FolderPartLength(spelled);
    if (leaf != spelled)
        ++leaf;
    if (strlen(leaf) <= FILE_LIST_SUFFIX_LENGTH) {
        report->entryVerdict = ENTRY_NAME_TOO_SHORT;
        return Report(report, UPDATE_CLIENT_NAME_REFUSED,
                      "%s: its file name has four bytes or fewer: no suffix to drop", report->name);
    }
    return UPDATE_CLIENT_OK;
}

// Creates `folder` and its parent when they are missing; one that is there (a link to a folder
// included, which the updater follows there too) is taken as it is.
static bool MakeMissingFolder(const char *folder, PlatformError *error)
{
    PathInfo info;
    InspectPath(folder, &info);
    size_t parentLength = FolderPartLength(folder);
    char parent[PATH_BUFFER_SIZE];
    char inside[PATH_BUFFER_SIZE];
    if (info.kind != PATH_MISSING || parentLength == 0 || parentLength >= sizeof parent)
        return true;
    memset(parent, 0, sizeof parent);
    memcpy(parent, folder, parentLength);
    return MakeMissingFolder(parent, error) && ComposePath(inside, sizeof inside, folder, "/", "x") &&
           CreateFoldersFor(inside, parentLength, error);
}

// The staging folder and the staged file's folders below it, created as needed: the staging
// folder's own path is followed as the updater follows it, below it no link is.
static UpdateClientStatus MakeStagedFolders(const ClientFolders *folders, const FileListEntryPaths *paths,
                                            UpdateClientReport *report)
{
    PlatformError error = {PLATFORM_ERROR_NONE, 0};
    if (!MakeMissingFolder(folders->staging, &error))
        return SystemFailure(report, "the staging folder cannot be created", error);
    if (!CreateFoldersFor(paths->source, paths->stagingLength, &error))
        return SystemFailure(report, "the staged file's folder cannot be created", error);
    return UPDATE_CLIENT_OK;
}

// `path`'s folder part + "/.~upd-" + `kind` + its file name: a reserved name beside it, which no
// list can name and the updater never installs.
static bool ComposeReservedSibling(const char *path, const char *kind, char reserved[UPDATE_CLIENT_PATH_SIZE])
{
    size_t folder = FolderPartLength(path);
    char folderPart[UPDATE_CLIENT_PATH_SIZE];
    memset(folderPart, 0, sizeof folderPart);
    if (folder == 0 || folder >= sizeof folderPart)
        return false;
    memcpy(folderPart, path, folder);
    char prefix[32];
    (void)snprintf(prefix, sizeof prefix, "/.~upd-%s-", kind);
    return ComposePath(reserved, UPDATE_CLIENT_PATH_SIZE, folderPart, prefix, path + folder + 1);
}

// Writes `bytes` as the data file `path`: whole under its reserved sibling `part`, synced, then
// renamed over `path`, so that a reader finds the old file or the new one, never a part. A part a
// killed earlier write left is this library's own, and goes first; this write's goes on failure.
static bool WriteDataFileDurably(const char *path, const char *part, const std::string &bytes, PlatformError *error)
{
    (void)RemoveFile(part);
    FILE *output = CreateNewOutputFile(part, error);
    if (output == NULL)
        return false;
    bool written = fwrite(bytes.data(), 1, bytes.size(), output) == bytes.size();
    bool done = SyncAndCloseFile(output, error) && written && RenameDurably(part, path, error);
    if (!done)
        (void)RemoveFile(part);
    return done;
}

UpdateClientStatus UpdateClientFindDataFolder(char folder[UPDATE_CLIENT_PATH_SIZE], UpdateClientReport *report)
{
    StartReport(report, NULL);
    memset(folder, 0, UPDATE_CLIENT_PATH_SIZE);
    ClientFolders folders;
    UpdateClientStatus status = FindFolders(&folders, false, report);
    if (status == UPDATE_CLIENT_OK)
        memcpy(folder, g_UpdaterState.AppDataPath, strlen(g_UpdaterState.AppDataPath));
    return status;
}

UpdateClientStatus UpdateClientWriteSettings(const char *gameFolder, const char *firstString,
                                             UpdateClientReport *report)
{
    StartReport(report, NULL);
    ClientFolders folders;
    UpdateClientStatus status = FindFolders(&folders, false, report);
    if (status != UPDATE_CLIENT_OK)
        return status;
    char spelled[UPDATE_CLIENT_PATH_SIZE];
    SpellResult spelling = SpellForUpdater(gameFolder, true, spelled, sizeof spelled);
    if (spelling == SPELLING_IMPOSSIBLE)
        return Report(report, UPDATE_CLIENT_FOLDER_REFUSED,
                      "the game folder cannot be written in the code page the updater reads, nor in a short form "
                      "(or it is over 259 bytes)");
    size_t length = strlen(spelled);
    PathInfo game;
    InspectPath(spelled, &game);
    if (spelled[0] == '\0' || !IsAbsolutePath(spelled))
        return Report(report, UPDATE_CLIENT_FOLDER_REFUSED, "the game folder must be an absolute path");
    // The updater appends "/" and a name: a root or a trailing separator would double it.
    if (FolderPartLength(spelled) + 1 >= length)
        return Report(report, UPDATE_CLIENT_FOLDER_REFUSED, "the game folder may not be a root or end in a separator");
    if (game.kind != PATH_FOLDER && game.kind != PATH_OTHER)
        return Report(report, UPDATE_CLIENT_FOLDER_REFUSED, "the game folder %s is not an existing folder", spelled);
    report->usedShortForm = spelling == SPELLED_SHORT_FORM ? 1 : 0;
    std::string payload;
    if (!MakeSettingsPayload(spelled, firstString != NULL ? firstString : "", &payload))
        return Report(report, UPDATE_CLIENT_FOLDER_REFUSED, "the first string is over 65535 bytes");
    std::string file = MakeKdxContainer(payload);

    char settings[UPDATE_CLIENT_PATH_SIZE];
    char part[UPDATE_CLIENT_PATH_SIZE];
    PlatformError error = {PLATFORM_ERROR_NONE, 0};
    if (!ComposePath(settings, sizeof settings, g_UpdaterState.AppDataPath, "/Brackmoor Games/Settings.kdx", "") ||
        !ComposeReservedSibling(settings, "part", part))
        return Report(report, UPDATE_CLIENT_NO_DATA_FOLDER, "the data folder's path is too long");
    char dataFiles[UPDATE_CLIENT_PATH_SIZE];
    memset(dataFiles, 0, sizeof dataFiles);
    memcpy(dataFiles, settings, FolderPartLength(settings));
    if (!MakeMissingFolder(dataFiles, &error))
        return SystemFailure(report, "the data files' folder cannot be created", error);
    if (!WriteDataFileDurably(settings, part, file, &error))
        return SystemFailure(report, "the settings file cannot be written", error);
    return Report(report, UPDATE_CLIENT_OK, "the settings file names %s%s", spelled,
                  report->usedShortForm != 0 ? " (its short form: the code page cannot spell its long name)" : "");
}

UpdateClientStatus UpdateClientOpenStaged(const char *stagedName, UpdateClientStagedFile *staged,
                                          UpdateClientReport *report)
{
    StartReport(report, stagedName);
    memset(staged, 0, sizeof *staged);
    ClientFolders folders;
    char spelled[UPDATE_CLIENT_NAME_SIZE];
    FileListEntryPaths paths = {};
    UpdateClientStatus status = FindFolders(&folders, false, report);
    if (status == UPDATE_CLIENT_OK)
        status = JudgeName(stagedName, spelled, &paths, report);
    if (status == UPDATE_CLIENT_OK)
        status = MakeStagedFolders(&folders, &paths, report);
    if (status != UPDATE_CLIENT_OK)
        return status;
    if (!ComposeReservedSibling(paths.source, "part", staged->partPath)) {
        report->entryVerdict = ENTRY_SOURCE_TOO_LONG;
        return Report(report, UPDATE_CLIENT_NAME_REFUSED, "%s: the staged path leaves no room for its part file",
                      report->name);
    }
    memcpy(staged->stagedPath, paths.source, strlen(paths.source));
    (void)RemoveFile(staged->partPath);
    PlatformError error = {PLATFORM_ERROR_NONE, 0};
    staged->file = CreateNewOutputFile(staged->partPath, &error);
    if (staged->file == NULL)
        return SystemFailure(report, "the staged file cannot be created", error);
    return Report(report, UPDATE_CLIENT_OK, "%s: open for writing", report->name);
}

UpdateClientStatus UpdateClientFinishStaged(UpdateClientStagedFile *staged, UpdateClientReport *report)
{
    StartReport(report, NULL);
    if (staged->file == NULL)
        return Report(report, UPDATE_CLIENT_SYSTEM_ERROR, "the staged file is not open");
    PlatformError error = {PLATFORM_ERROR_NONE, 0};
    bool synced = SyncAndCloseFile(staged->file, &error);
    staged->file = NULL;
    // Only a whole, synced file takes the staged name: a cut one could be installed by a list.
    if (!synced || !RenameDurably(staged->partPath, staged->stagedPath, &error)) {
        (void)RemoveFile(staged->partPath);
        return SystemFailure(report, "the staged file cannot be completed", error);
    }
    return Report(report, UPDATE_CLIENT_OK, "%s staged", staged->stagedPath);
}

void UpdateClientAbandonStaged(UpdateClientStagedFile *staged)
{
    if (staged->file != NULL)
        (void)fclose(staged->file);
    staged->file = NULL;
    if (staged->partPath[0] != '\0')
        (void)RemoveFile(staged->partPath);
}

UpdateClientStatus UpdateClientStageFile(const char *stagedName, const char *sourcePath, UpdateClientReport *report)
{
    UpdateClientStagedFile staged;
    UpdateClientStatus status = UpdateClientOpenStaged(stagedName, &staged, report);
    if (status != UPDATE_CLIENT_OK)
        return status;
    PlatformError error = {PLATFORM_ERROR_NONE, 0};
    FILE *source = OpenClientFile(sourcePath, &error);
    if (source == NULL) {
        UpdateClientAbandonStaged(&staged);
        return SystemFailure(report, "the file to stage cannot be opened", error);
    }
    // A download still being written would be staged cut short.
    if (ClientFileWritten(source)) {
        (void)fclose(source);
        UpdateClientAbandonStaged(&staged);
        return Report(report, UPDATE_CLIENT_STILL_BEING_WRITTEN, "%s: the file to stage is still being written",
                      report->name);
    }
    static unsigned char buffer[64 * 1024];
    bool copied = true;
    size_t got;
    while (copied && (got = fread(buffer, 1, sizeof buffer, source)) > 0)
        copied = fwrite(buffer, 1, got, staged.file) == got;
    copied = copied && ferror(source) == 0 && KeepExecutePermission(source, staged.file);
    bool written = ClientFileWritten(source);
    (void)fclose(source);
    if (written) {
        UpdateClientAbandonStaged(&staged);
        return Report(report, UPDATE_CLIENT_STILL_BEING_WRITTEN, "%s: the file to stage was written during its copy",
                      report->name);
    }
    if (!copied) {
        UpdateClientAbandonStaged(&staged);
        return Report(report, UPDATE_CLIENT_SYSTEM_ERROR, "%s: the copy failed", report->name);
    }
    char name[UPDATE_CLIENT_NAME_SIZE];
    memcpy(name, report->name, sizeof name);
    status = UpdateClientFinishStaged(&staged, report);
    memcpy(report->name, name, sizeof name);
    return status;
}

// What a move that ForeseeMove judged this way would do: install, or leave the file staged.
static bool MoveInstalls(MoveVerdict verdict)
{
    return verdict == MOVE_CREATES || verdict == MOVE_REPLACES || verdict == MOVE_DROPS_STAGED_NAME;
}

static const char *DescribeMoveVerdict(MoveVerdict verdict)
{
    switch (verdict) {
    case MOVE_CREATES: return "it would be installed as a new file";
    case MOVE_REPLACES: return "it would replace the installed file";
    case MOVE_DROPS_STAGED_NAME: return "the installed file is already this file";
    case MOVE_SAME_FILE: return "its staged path is its installed path";
    case MOVE_STAGED_MISSING: return "the staged file is missing";
    case MOVE_STAGED_THROUGH_LINK: return "a link below the staging folder leads to it";
    case MOVE_STAGED_NOT_REGULAR: return "it is not a regular file";
    case MOVE_STAGED_UNREADABLE: return "it cannot be read";
    case MOVE_STAGED_NOT_SEARCHABLE: return "a folder on its staged path cannot be searched";
    case MOVE_TARGET_FOLDER_MISSING: return "its folder in the game folder is missing";
    case MOVE_TARGET_FOLDER_NOT_SEARCHABLE: return "a folder on its installed path cannot be searched";
    case MOVE_TARGET_NOT_A_FILE: return "a folder stands where it is installed";
    case MOVE_NO_PERMISSION: return "the installed file or its folder may not be written";
    }
    return "unknown";
}

// The staged file must be one the updater's move can install: judged by the move's own forecast.
// A new folder of the update is made in the game folder first, since the move makes none: only
// below the game folder, and never through a link there.
static UpdateClientStatus CheckMovable(const FileListEntryPaths *paths, MoveForecast *forecast,
                                       UpdateClientReport *report)
{
    ForeseeMove(paths->source, paths->stagingLength, paths->target, forecast);
    PlatformError error = {PLATFORM_ERROR_NONE, 0};
    if (forecast->verdict == MOVE_TARGET_FOLDER_MISSING) {
        if (!CreateFoldersFor(paths->target, strlen(g_UpdaterState.GamePath), &error))
            return SystemFailure(report, "its folder in the game folder cannot be created", error);
        ForeseeMove(paths->source, paths->stagingLength, paths->target, forecast);
    }
    // Installed, it would leave the game unable to start its program.
    if (forecast->verdict == MOVE_REPLACES && forecast->executableLost) {
        report->moveVerdict = forecast->verdict;
        return Report(report, UPDATE_CLIENT_STAGED_FILE_UNUSABLE,
                      "%s: the installed file may be executed, the staged file not: stage it executable", report->name);
    }
    if (MoveInstalls(forecast->verdict))
        return UPDATE_CLIENT_OK;
    report->moveVerdict = forecast->verdict;
    return Report(report, UPDATE_CLIENT_STAGED_FILE_UNUSABLE, "%s: %s", report->name,
                  DescribeMoveVerdict(forecast->verdict));
}

static UpdateClientStatus LockStaging(const ClientFolders *folders, unsigned waitMs, UpdateClientReport *report)
{
    // No claim to be had (no staging folder yet) is no updater running: the updater goes on too.
    if (LockUpdateRun(folders->staging, waitMs) == RUN_LOCK_TIMED_OUT)
        return Report(report, UPDATE_CLIENT_UPDATER_RUNNING, "an updater kept the staging folder for the whole wait");
    return UPDATE_CLIENT_OK;
}

UpdateClientStatus UpdateClientInstallNow(const char *stagedName, unsigned lockWaitMs, UpdateClientReport *report)
{
    StartReport(report, stagedName);
    ClientFolders folders;
    char spelled[UPDATE_CLIENT_NAME_SIZE];
    FileListEntryPaths paths = {};
    MoveForecast forecast;
    UpdateClientStatus status = FindFolders(&folders, true, report);
    if (status == UPDATE_CLIENT_OK)
        status = JudgeName(stagedName, spelled, &paths, report);
    if (status == UPDATE_CLIENT_OK)
        status = LockStaging(&folders, lockWaitMs, report);
    if (status != UPDATE_CLIENT_OK)
        return status;
    PrepareStagedFile(paths.source, paths.stagingLength, paths.target);
    status = CheckMovable(&paths, &forecast, report);
    MoveOutcome outcome =
        status == UPDATE_CLIENT_OK ? MoveFileReplacing(paths.source, paths.stagingLength, paths.target) : MOVE_FAILED;
    if (outcome == MOVE_IN_USE)
        ForgetKeptCopy();
    EndMovePass();
    char targetFolder[UPDATE_CLIENT_PATH_SIZE * 2];
    memset(targetFolder, 0, sizeof targetFolder);
    memcpy(targetFolder, paths.target, FolderPartLength(paths.target));
    bool durable = outcome != MOVE_DONE || SyncFolder(targetFolder);
    bool reachable = StagedFilesStayReachable();
    UnlockUpdateRun();
    if (status != UPDATE_CLIENT_OK)
        return status;
    if (outcome == MOVE_IN_USE)
        return Report(report, UPDATE_CLIENT_IN_USE, "%s: a program holds it or its installed file: hand it over",
                      report->name);
    if (outcome == MOVE_FAILED || !reachable)
        return Report(report, UPDATE_CLIENT_SYSTEM_ERROR, "%s: the move failed; the file stays staged", report->name);
    if (!durable)
        return Report(report, UPDATE_CLIENT_SYSTEM_ERROR,
                      "%s: installed, but its folder could not be synced: hand it over so that a run finishes it",
                      report->name);
    return Report(report, UPDATE_CLIENT_OK, "%s installed", report->name);
}

UpdateClientStatus UpdateClientCommit(const UpdateClientEntry *entries, size_t count, UpdateClientReport *report)
{
    StartReport(report, NULL);
    if (count > UPDATE_CLIENT_MAX_HANDED_OVER)
        return Report(report, UPDATE_CLIENT_TOO_MANY_FILES,
                      "%lu files handed over: a file list holds at most 255; install the others with "
                      "UpdateClientInstallNow",
                      (unsigned long)count);
    ClientFolders folders;
    UpdateClientStatus status = FindFolders(&folders, true, report);
    if (status != UPDATE_CLIENT_OK)
        return status;
    std::vector<std::string> names;
    std::vector<std::string> targets;
    for (size_t index = 0; index < count; ++index) {
        StartReport(report, entries[index].stagedName);
        char spelled[UPDATE_CLIENT_NAME_SIZE];
        FileListEntryPaths paths = {};
        MoveForecast forecast;
        status = JudgeName(entries[index].stagedName, spelled, &paths, report);
        for (size_t earlier = 0; status == UPDATE_CLIENT_OK && earlier < targets.size(); ++earlier) {
            if (NameSameFile(targets[earlier].c_str(), paths.target))
                status = Report(report, UPDATE_CLIENT_NAME_REFUSED, "%s and %s both install as %s", report->name,
                                names[earlier].c_str(), paths.target);
        }
        if (status == UPDATE_CLIENT_OK)
            status = CheckMovable(&paths, &forecast, report);
        if (status == UPDATE_CLIENT_OK && forecast.stagedSize != entries[index].size)
            status = Report(report, UPDATE_CLIENT_SIZE_DIFFERS, "%s: %lld bytes staged, %lld declared", report->name,
                            forecast.stagedSize, entries[index].size);
        // A download still being written would be installed cut short, and its list deleted.
        if (status == UPDATE_CLIENT_OK && CheckForWriters(paths.source) == WRITERS_PRESENT)
            status = Report(report, UPDATE_CLIENT_STILL_BEING_WRITTEN,
                            "%s: a program still has it open for writing: finish the download first", report->name);
        if (status != UPDATE_CLIENT_OK) {
            EndMovePass();
            return status;
        }
        names.push_back(spelled);
        targets.push_back(paths.target);
    }
    EndMovePass();
    StartReport(report, NULL);
    std::string payload;
    if (!MakeFileListPayload(names, &payload))
        return Report(report, UPDATE_CLIENT_TOO_MANY_FILES, "the names do not fit a file list");
    std::string file = MakeKdxContainer(payload);

    char list[UPDATE_CLIENT_PATH_SIZE];
    char part[UPDATE_CLIENT_PATH_SIZE];
    if (!ComposePath(list, sizeof list, folders.staging, "/FileList.kdx", "") ||
        !ComposeReservedSibling(list, "part", part))
        return Report(report, UPDATE_CLIENT_NO_DATA_FOLDER, "the data folder's path is too long");
    // Written while no updater runs, so that the updater started next reads this list whole.
    status = LockStaging(&folders, UPDATE_RUN_LOCK_WAIT_MS, report);
    if (status != UPDATE_CLIENT_OK)
        return status;
    PlatformError error = {PLATFORM_ERROR_NONE, 0};
    bool done = WriteDataFileDurably(list, part, file, &error);
    UnlockUpdateRun();
    if (!done)
        return SystemFailure(report, "the file list cannot be written", error);
    return Report(report, UPDATE_CLIENT_OK, "the file list names %lu files", (unsigned long)count);
}

UpdateClientStatus UpdateClientHandOver(const char *updaterPath, int restartClient, unsigned browserWaitMs,
                                        UpdateClientReport *report)
{
    StartReport(report, NULL);
    ClientFolders folders;
    UpdateClientStatus status = FindFolders(&folders, true, report);
    if (status != UPDATE_CLIENT_OK)
        return status;
    // Bounded by the looks made, not a clock: each look waits at least its pause.
    for (unsigned waited = 0; TopLevelWindowExists(BROWSER_WINDOW_CLASS); waited += BROWSER_LOOK_MS) {
        if (waited >= browserWaitMs)
            return Report(report, UPDATE_CLIENT_BROWSER_STAYED,
                          "the browser window is still open: the updater would wait for the player's OK");
        PauseMilliseconds(BROWSER_LOOK_MS);
    }
    PlatformError error = {PLATFORM_ERROR_NONE, 0};
    if (!StartDetachedProgram(updaterPath, restartClient != 0 ? "-restart" : NULL, g_UpdaterState.GamePath, &error))
        return SystemFailure(report, "the updater cannot be started", error);
    return Report(report, UPDATE_CLIENT_OK, "the updater is started in %s", g_UpdaterState.GamePath);
}

// A walk of the staging folder for the staged files left, each examined as a list's entry.
enum { OUTCOME_WALK_DEPTH = 64 }; // a 127-byte name holds at most 63 folders

struct OutcomeWalk {
    UpdateClientOutcome *outcome;
    char folder[UPDATE_CLIENT_PATH_SIZE]; // the folder being listed
    size_t stagingLength;
    unsigned depth;
};

// Tells a staged file left, at `name` in the folder being listed: with `knownReason`, that
// reason; otherwise examined as a list's entry of that name.
static void ExamineLeftFile(OutcomeWalk *walk, const char *name, bool spellable, const char *knownReason)
{
    UpdateClientOutcome *outcome = walk->outcome;
    ++outcome->leftCount;
    if (outcome->leftShown == UPDATE_CLIENT_MAX_LEFT)
        return;
    UpdateClientLeftFile *left = &outcome->left[outcome->leftShown];
    const char *relative = walk->folder + walk->stagingLength + (walk->folder[walk->stagingLength] == '/' ? 1 : 0);
    char staged[PATH_BUFFER_SIZE];
    if (!ComposePath(staged, sizeof staged, relative, relative[0] != '\0' ? "/" : "", name) ||
        strlen(staged) >= sizeof left->stagedName)
        return;
    ++outcome->leftShown;
    memcpy(left->stagedName, staged, strlen(staged));
    LenStringView view = {(const unsigned char *)staged, strlen(staged), strlen(staged)};
    FileListEntryPaths paths = {};
    FileListEntryVerdict verdict =
        PrepareFileListEntry(&view, g_UpdaterState.AppDataPath, g_UpdaterState.GamePath, &paths);
    left->entryVerdict = verdict;
    if (knownReason != NULL) {
        (void)snprintf(left->reason, sizeof left->reason, "%s", knownReason);
    } else if (!spellable) {
        left->entryVerdict = ENTRY_NAME_WINDOWS_CHARACTER;
        (void)snprintf(left->reason, sizeof left->reason, "its name cannot be written in the code page");
    } else if (g_UpdaterState.GamePath[0] == '\0') {
        (void)snprintf(left->reason, sizeof left->reason, "no game folder is known");
    } else if (verdict != ENTRY_INSTALLABLE) {
        (void)snprintf(left->reason, sizeof left->reason, "the updater refuses its name: %s",
                       DescribeEntryVerdict(verdict));
    } else {
        MoveForecast forecast;
        ForeseeMove(paths.source, paths.stagingLength, paths.target, &forecast);
        left->moveVerdict = forecast.verdict;
        (void)snprintf(left->reason, sizeof left->reason, "%s", DescribeMoveVerdict(forecast.verdict));
    }
}

static void VisitStagingEntry(const char *name, PathKind kind, void *context)
{
    OutcomeWalk *walk = (OutcomeWalk *)context;
    bool top = strlen(walk->folder) == walk->stagingLength;
    // The list itself, and the updater's and this library's own files, are not staged files.
    if (IsReservedFileName(name, strlen(name)) || (top && strcmp(name, "FileList.kdx") == 0))
        return;
    size_t length = strlen(walk->folder);
    // A folder the walk cannot enter is told, never passed over: its files may be left there.
    if (kind == PATH_FOLDER &&
        (walk->depth >= OUTCOME_WALK_DEPTH || length + 1 + strlen(name) >= sizeof walk->folder)) {
        ExamineLeftFile(walk, name, true, "a folder too deep to look into: files may be left in it");
    } else if (kind == PATH_FOLDER) {
        walk->folder[length] = '/';
        memcpy(walk->folder + length + 1, name, strlen(name) + 1);
        ++walk->depth;
        bool listed = ListFolder(walk->folder, VisitStagingEntry, walk);
        --walk->depth;
        memset(walk->folder + length, 0, sizeof walk->folder - length);
        if (!listed)
            ExamineLeftFile(walk, name, true, "a folder that cannot be read: files may be left in it");
    } else if (kind != PATH_FOLDER) {
        ExamineLeftFile(walk, name, kind != PATH_UNSPELLABLE, NULL);
    }
}

// A staged file that a killed move left under its reserved name: left, until a run gives it its
// name back.
static void VisitClaimedFile(const char *path, bool nameTaken, void *context)
{
    OutcomeWalk *walk = (OutcomeWalk *)context;
    size_t folder = FolderPartLength(path);
    if (folder < walk->stagingLength || folder >= sizeof walk->folder)
        return;
    memset(walk->folder, 0, sizeof walk->folder);
    memcpy(walk->folder, path, folder);
    ExamineLeftFile(walk, path + folder + 1, true,
                    nameTaken ? "under the reserved name a killed move gave it; another file holds its name"
                              : "under the reserved name a killed move gave it; the next install or run gives "
                                "it its name back");
}

UpdateClientStatus UpdateClientReadOutcome(UpdateClientOutcome *outcome, UpdateClientReport *report)
{
    StartReport(report, NULL);
    memset(outcome, 0, sizeof *outcome);
    ClientFolders folders;
    UpdateClientStatus status = FindFolders(&folders, false, report);
    if (status != UPDATE_CLIENT_OK)
        return status;
    char list[UPDATE_CLIENT_PATH_SIZE];
    PathInfo listInfo;
    memset(&listInfo, 0, sizeof listInfo);
    if (ComposePath(list, sizeof list, folders.staging, "/FileList.kdx", ""))
        InspectPath(list, &listInfo);
    OutcomeWalk walk;
    memset(&walk, 0, sizeof walk);
    walk.outcome = outcome;
    walk.stagingLength = strlen(folders.staging);
    memcpy(walk.folder, folders.staging, walk.stagingLength);
    PathInfo staging;
    InspectPath(folders.staging, &staging);
    bool listed = staging.kind == PATH_MISSING || ListFolder(folders.staging, VisitStagingEntry, &walk);
    SettleClaimedFiles(folders.staging, false, VisitClaimedFile, &walk);
    EndMovePass();
    if (!listed)
        return Report(report, UPDATE_CLIENT_SYSTEM_ERROR, "the staging folder cannot be read");
    outcome->state = listInfo.kind != PATH_MISSING ? UPDATE_CLIENT_LIST_WAITING
                     : outcome->leftCount != 0     ? UPDATE_CLIENT_FILES_LEFT
                                                   : UPDATE_CLIENT_APPLIED;
    static const char *const words[] = {"applied", "the file list is waiting for the updater", "staged files are left"};
    return Report(report, UPDATE_CLIENT_OK, "%s (%lu staged files left)", words[outcome->state],
                  (unsigned long)outcome->leftCount);
}
