// kdx plan: what the updater would do with the data files of a data folder, changing nothing.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "datafiles/file_list.h"
#include "datafiles/kdx_container.h"
#include "datafiles/path_buffer.h"
#include "datafiles/settings_record.h"
#include "platform/platform.h"
#include "tools/kdx/kdx_tool.h"
#include "updater/updater_state.h"

// Opens the data file `path` as the updater does. NULL with *absent set when the updater would
// find none there (no file, or a FIFO, folder or device, which it does not read); NULL alone
// (after a message) when a regular file is there but cannot be read.
static FILE *OpenPlannedDataFile(const char *path, bool forDeletion, bool *absent)
{
    PlatformError openError = {PLATFORM_ERROR_NONE, 0};
    FILE *file = OpenDataFile(path, forDeletion, &openError);
    PathInfo info;
    InspectPath(path, &info);
    *absent = file == NULL && info.kind != PATH_REGULAR_FILE;
    if (file == NULL && !*absent)
        fprintf(stderr, "kdx: cannot open %s: %s\n", Shown(path).c_str(), DescribeFailure(openError));
    if (*absent && info.kind != PATH_MISSING)
        printf("(%s is not a regular file: the updater reads nothing there and deletes nothing)\n",
               Shown(path).c_str());
    return file;
}

// Prints the game folder the updater would take from `settingsPath` and leaves it in
// g_UpdaterState.GamePath. Returns false when the file is there but cannot be read.
static bool g_settingsUnreadable; // something lies at the settings file's name that cannot be read

static bool PlanGameFolder(const char *settingsPath)
{
    bool missing = false;
    FILE *file = OpenPlannedDataFile(settingsPath, false, &missing);
    if (file == NULL && missing) {
        PathInfo settings;
        InspectPath(settingsPath, &settings);
        g_settingsUnreadable = settings.kind != PATH_MISSING;
        if (g_settingsUnreadable)
            printf("game folder: unknown (the updater cannot read %s: it prints \"Error: No Dunmark Path Set.\", "
                   "installs nothing and keeps the file list)\n",
                   Shown(settingsPath).c_str());
        else
            printf("game folder: none (no settings file at %s)\n", Shown(settingsPath).c_str());
    }
    if (file == NULL)
        return missing;
    // Read as the updater reads it, only as far as the record can reach: a file padded beyond that
    // costs the plan no more memory than it costs the updater.
    KdxStatus status = LoadKdxFilePrefix(file, KeepPayload, SETTINGS_PAYLOAD_LIMIT);
    fclose(file);
    if (status != KDX_OK) {
        printf("game folder: none (the settings file %s is rejected: %s)\n", Shown(settingsPath).c_str(),
               KdxStatusName(status));
        return true;
    }
    // The same handler as the updater's, on the same payload.
    ApplySettings((const unsigned char *)g_dumpedPayload.data(), g_dumpedPayload.size());
    LenStringView firstString;
    LenStringView gameFolder;
    if (g_UpdaterState.GamePath[0] != '\0' && !IsAbsolutePath(g_UpdaterState.GamePath))
        printf("game folder: %s (relative: the updater resolves it against its own current folder, which this "
               "plan cannot know; what follows resolves it against kdx's current folder)\n",
               Shown(g_UpdaterState.GamePath).c_str());
    else if (g_UpdaterState.GamePath[0] != '\0')
        printf("game folder: %s\n", Shown(g_UpdaterState.GamePath).c_str());
    else if (!ReadSettingsRecord((const unsigned char *)g_dumpedPayload.data(), g_dumpedPayload.size(), &firstString,
                                 &gameFolder))
        printf("game folder: none (the settings record is cut short)\n");
    else if (gameFolder.textLength > 259)
        printf("game folder: none (longer than 259 bytes)\n");
    else
        printf("game folder: none (empty)\n");
    return true;
}

struct PlanEntry {
    LenStringView name;
    FileListEntryVerdict verdict;
    FileListEntryPaths paths;
    MoveForecast forecast; // for an installable name, unless an earlier entry moves its file
    size_t movedBy;        // 1-based: the earlier entry that moves the same staged file; 0 for none
    bool installs;
};

struct PlanCounts {
    unsigned install, replace, replacedLater, wouldNot;
};

// Foresees, in list order, what the move of each installable entry would meet, asking the move
// itself; an entry whose staged file an earlier entry moves finds it gone.
static void ForeseeEntries(std::vector<PlanEntry> *entries)
{
    for (size_t index = 0; index < entries->size(); ++index) {
        PlanEntry &entry = (*entries)[index];
        entry.movedBy = 0;
        entry.installs = false;
        if (entry.verdict != ENTRY_INSTALLABLE)
            continue;
        for (size_t earlier = 0; earlier < index && entry.movedBy == 0; ++earlier) {
            if ((*entries)[earlier].installs && NameSameFile((*entries)[earlier].paths.source, entry.paths.source))
                entry.movedBy = earlier + 1;
        }
        if (entry.movedBy != 0)
            continue;
        ForeseeMove(entry.paths.source, entry.paths.stagingLength, entry.paths.target, &entry.forecast);
        entry.installs = entry.forecast.verdict == MOVE_CREATES || entry.forecast.verdict == MOVE_REPLACES ||
                         entry.forecast.verdict == MOVE_DROPS_STAGED_NAME;
    }
}

// How the updater that this account starts runs beside kdx, told once per plan.
static ElevatedRun g_elevatedRun = ELEVATED_RUN_SAME;

// For a target this account may not replace: what the updater meets when it runs elevated, as
// this administrator starts it. Empty when it runs with kdx's own rights.
static std::string ElevatedNote(const char *target)
{
    if (g_elevatedRun != ELEVATED_RUN_LINKED)
        return "";
    switch (CheckElevatedReplace(target)) {
    case ELEVATED_ACCESS_ALLOWED: return "; the updater run elevated, as this administrator starts it, is allowed";
    case ELEVATED_ACCESS_REFUSED: return "; the updater run elevated, as this administrator starts it, is refused too";
    case ELEVATED_ACCESS_UNKNOWN: break;
    }
    return "; whether the updater run elevated, as this administrator starts it, is allowed cannot be told";
}

// The plan's words for one installable entry; counts it.
static std::string PlanOutcome(const std::vector<PlanEntry> &entries, size_t index, PlanCounts *counts)
{
    const PlanEntry &entry = entries[index];
    const MoveForecast &forecast = entry.forecast;
    std::string problem;
    if (entry.movedBy != 0) {
        problem = "entry " + std::to_string(entry.movedBy) + " moves this staged file first";
    } else {
        switch (forecast.verdict) {
        case MOVE_STAGED_MISSING: problem = "the staged file is missing"; break;
        case MOVE_STAGED_THROUGH_LINK: problem = "the staged path goes through a link below the staging folder"; break;
        case MOVE_STAGED_NOT_REGULAR:
            problem = "the staged file is not a regular file (a folder, link, FIFO, socket or device): it stays staged";
            break;
        case MOVE_TARGET_FOLDER_MISSING:
            problem = "the target's folder " + std::string(entry.paths.target, FolderPartLength(entry.paths.target)) +
                      " is missing";
            break;
        case MOVE_TARGET_NOT_A_FILE: problem = "the target is a folder"; break;
        case MOVE_STAGED_UNREADABLE: problem = "the staged file is unreadable for this user: it stays staged"; break;
        case MOVE_STAGED_NOT_SEARCHABLE:
            problem = "a folder on the staged file's path cannot be searched by this user";
            break;
        case MOVE_TARGET_FOLDER_NOT_SEARCHABLE:
            problem = "the target's folder " + std::string(entry.paths.target, FolderPartLength(entry.paths.target)) +
                      " cannot be searched by this user";
            break;
        case MOVE_NO_PERMISSION:
            problem = "no permission: this user may not write in " +
                      std::string(entry.paths.target, FolderPartLength(entry.paths.target)) +
                      ", or the target is immutable; the run fails it at once" + ElevatedNote(entry.paths.target);
            break;
        case MOVE_SAME_FILE:
            problem = "the staged file is the installed file, under the same path (the game folder is inside the "
                      "staging folder): left alone";
            break;
        case MOVE_CREATES:
        case MOVE_REPLACES:
        case MOVE_DROPS_STAGED_NAME: break;
        }
    }
    if (!entry.installs) {
        ++counts->wouldNot;
        return "would not install: " + problem;
    }
    std::string through;
    if (FolderPartCrossesLink(entry.paths.target, strlen(g_UpdaterState.GamePath)))
        through = "; through a link inside the game folder, which an elevated run on Windows follows only when an "
                  "elevated process made it";
    for (size_t later = index + 1; later < entries.size(); ++later) {
        // A later name of the file this entry replaces only loses its name in the run.
        if (entries[later].installs && entries[later].forecast.verdict != MOVE_DROPS_STAGED_NAME &&
            NameSameFile(entries[later].paths.target, entry.paths.target)) {
            ++counts->replacedLater;
            return "would install, then entry " + std::to_string(later + 1) + " names the same target and replaces it" +
                   through;
        }
    }
    std::string newSize = std::to_string(forecast.stagedSize) + " bytes";
    if (forecast.verdict == MOVE_CREATES) {
        ++counts->install;
        return "would install (" + newSize + ")" + through;
    }
    ++counts->replace;
    if (forecast.verdict == MOVE_DROPS_STAGED_NAME)
        return "would replace: the staged file is the installed file itself, only its staged name goes" + through;
    if (forecast.targetIsLink)
        return "would replace the link itself (new " + newSize + "); what it points to is not touched" + through;
    return "would replace (old " + std::to_string(forecast.targetSize) + " bytes, new " + newSize + ")" +
           (forecast.targetReadOnly ? "; the installed file is read-only, and is replaced all the same" : "") +
           (forecast.executableLost ? "; the installed file is executable and the staged file is not: it would "
                                      "no longer run"
                                    : "") +
           through;
}

// True when the two files hold the same bytes. Opened as the updater opens its data files.
static bool SameContent(const char *first, const char *second)
{
    FILE *one = OpenDataFile(first, false, NULL);
    FILE *two = OpenDataFile(second, false, NULL);
    bool same = one != NULL && two != NULL;
    static unsigned char a[65536];
    static unsigned char b[65536];
    while (same) {
        size_t got = fread(a, 1, sizeof a, one);
        same = fread(b, 1, sizeof b, two) == got && memcmp(a, b, got) == 0;
        if (got < sizeof a)
            break;
    }
    same = same && feof(one) != 0 && feof(two) != 0;
    if (one != NULL)
        fclose(one);
    if (two != NULL)
        fclose(two);
    return same;
}

// What the updater meets for a staged file that an earlier run left: the move's own verdict,
// and for an installed file whether it already holds the same bytes.
static std::string DescribeStagedLeftover(const FileListEntryPaths &paths)
{
    MoveForecast forecast;
    ForeseeMove(paths.source, paths.stagingLength, paths.target, &forecast);
    switch (forecast.verdict) {
    case MOVE_CREATES: return "not installed: nothing at " + std::string(paths.target);
    case MOVE_DROPS_STAGED_NAME: return "the installed file is this very file";
    case MOVE_REPLACES:
        return SameContent(paths.source, paths.target) ? "the installed file is already identical"
                                                       : "the installed file is different";
    case MOVE_TARGET_FOLDER_MISSING:
        return "the target's folder " + std::string(paths.target, FolderPartLength(paths.target)) + " is missing";
    case MOVE_TARGET_NOT_A_FILE: return "the target is a folder";
    case MOVE_STAGED_THROUGH_LINK: return "reached through a link below the staging folder";
    case MOVE_SAME_FILE: return "the installed file itself, under the same path";
    case MOVE_STAGED_UNREADABLE: return "unreadable for this user";
    case MOVE_STAGED_NOT_SEARCHABLE: return "a folder on its path cannot be searched by this user";
    case MOVE_TARGET_FOLDER_NOT_SEARCHABLE:
        return "the target's folder " + std::string(paths.target, FolderPartLength(paths.target)) +
               " cannot be searched by this user";
    case MOVE_NO_PERMISSION:
        return "no permission to replace " + std::string(paths.target) + ElevatedNote(paths.target);
    case MOVE_STAGED_MISSING:
    case MOVE_STAGED_NOT_REGULAR: break;
    }
    return "not a regular file";
}

// With no file list: what an earlier run left behind. Each staged file that remains, with what
// the updater met (or would meet) for it, and the updater's own leftovers in the game folder.
// Changes nothing; returns 0 when nothing is left, 1 otherwise, 2 when a folder cannot be read.
static int PlanLeftovers()
{
    char staging[PATH_BUFFER_SIZE];
    (void)ComposePath(staging, sizeof staging, g_UpdaterState.AppDataPath, "/Brackmoor Games/Temp", "");
    std::vector<std::string> staged;
    std::vector<std::string> strange;
    PathInfo folder;
    InspectPath(staging, &folder);
    // Listed as the updater opens it: a link there is followed.
    if (!WalkFolder(staging, &staged, &strange) && folder.kind != PATH_MISSING) {
        fprintf(stderr, "kdx: cannot read all of %s\n", Shown(staging).c_str());
        return 2;
    }
    for (const std::string &name : strange)
        printf("  left: %s/%s: not a regular file\n", Shown(staging).c_str(), Shown(name).c_str());
    for (const std::string &name : staged) {
        LenStringView view = {(const unsigned char *)name.data(), name.size(), name.size()};
        FileListEntryPaths paths;
        FileListEntryVerdict verdict =
            PrepareFileListEntry(&view, g_UpdaterState.AppDataPath, g_UpdaterState.GamePath, &paths);
        std::string met;
        if (verdict != ENTRY_INSTALLABLE)
            met = std::string("the name is refused: ") + DescribeEntryVerdict(verdict);
        else if (g_UpdaterState.GamePath[0] == '\0')
            met = "no game folder to install it into";
        else
            met = DescribeStagedLeftover(paths);
        printf("  left: %s/%s: %s\n", Shown(staging).c_str(), Shown(name).c_str(), Shown(met).c_str());
    }
    std::vector<std::string> gameFiles;
    std::vector<std::string> gameOthers;
    unsigned leftovers = 0;
    // Links below the game folder are not followed, as the updater's cleanup does not follow them.
    if (g_UpdaterState.GamePath[0] != '\0' && !WalkFolder(g_UpdaterState.GamePath, &gameFiles, &gameOthers))
        printf("  (some folders of the game folder could not be read: leftovers there are not shown)\n");
    for (const std::string &name : gameFiles) {
        size_t last = name.rfind('/');
        std::string leaf = last == std::string::npos ? name : name.substr(last + 1);
        LeftoverKind kind = KindOfLeftover(leaf.c_str());
        if (kind != LEFTOVER_NONE) {
            printf("  leftover of the updater: %s/%s%s\n", Shown(g_UpdaterState.GamePath).c_str(), Shown(name).c_str(),
                   kind == LEFTOVER_SET_ASIDE ? " (set aside while in use: only a run on Windows settles it)" : "");
            ++leftovers;
        }
    }
    size_t left = staged.size() + strange.size();
    printf("plan: nothing to install; %zu staged file(s) left, %u leftover(s) of the updater in the game folder\n",
           left, leftovers);
    return left == 0 && leftovers == 0 ? 0 : 1;
}

// Prints what ApplyFileList would do with the list at `fileListPath`; returns the exit status.
static int PlanFileList(const char *fileListPath)
{
    bool missing = false;
    FILE *file = OpenPlannedDataFile(fileListPath, true, &missing);
    if (file == NULL) {
        if (!missing)
            return 2;
        printf("file list: none at %s: the updater installs nothing and deletes nothing\n",
               Shown(fileListPath).c_str());
        return PlanLeftovers();
    }
    if (g_settingsUnreadable) {
        fclose(file);
        printf("file list: %s: kept unread for a run that can read the settings file\n", Shown(fileListPath).c_str());
        printf("plan: nothing would install\n");
        return 1;
    }
    KdxStatus status = LoadKdxFilePrefix(file, KeepPayload, FILE_LIST_PAYLOAD_LIMIT);
    fclose(file);
    if (status != KDX_OK) {
        printf("file list: %s is rejected (%s): the updater installs nothing and deletes it\n",
               Shown(fileListPath).c_str(), KdxStatusName(status));
        printf("plan: nothing would install\n");
        return 1;
    }
    ByteReader reader = MakeByteReader((const unsigned char *)g_dumpedPayload.data(), g_dumpedPayload.size());
    unsigned count = 0;
    (void)ReadU8(&reader, &count); // an empty payload is a list of no entries
    std::vector<PlanEntry> entries;
    bool cut = false;
    for (unsigned entry = 0; entry < count && !cut; ++entry) {
        PlanEntry planned;
        cut = !ReadLenString(&reader, &planned.name);
        if (!cut) {
            planned.verdict = PrepareFileListEntry(&planned.name, g_UpdaterState.AppDataPath, g_UpdaterState.GamePath,
                                                   &planned.paths);
            entries.push_back(planned);
        }
    }
    printf("file list: %s, %u entries\n", Shown(fileListPath).c_str(), count);
    if (g_UpdaterState.GamePath[0] == '\0') {
        printf("the updater prints \"Error: No Dunmark Path Set.\", installs none of them and deletes the list\n");
        printf("plan: %u would not install\n", count);
        return count == 0 ? 0 : 1;
    }
    PlanCounts counts = {0, 0, 0, 0};
    ForeseeEntries(&entries);
    for (size_t index = 0; index < entries.size(); ++index) {
        const PlanEntry &planned = entries[index];
        if (planned.verdict != ENTRY_INSTALLABLE) {
            ++counts.wouldNot;
            printf("  %zu: %s: refused: %s\n", index + 1, DescribeLenString(planned.name).c_str(),
                   DescribeEntryVerdict(planned.verdict));
            continue;
        }
        std::string outcome = PlanOutcome(entries, index, &counts);
        printf("  %zu: %s -> %s: %s\n", index + 1, Shown(planned.paths.source).c_str(),
               Shown(planned.paths.target).c_str(), Shown(outcome).c_str());
    }
    if (cut) {
        ++counts.wouldNot;
        printf("  %zu: cut short by the end of the file: neither it nor any later entry is installed\n",
               entries.size() + 1);
    }
    printf("plan: %u would install, %u would replace, %u replaced by a later entry, %u would not install\n",
           counts.install, counts.replace, counts.replacedLater, counts.wouldNot);
    return counts.wouldNot == 0 ? 0 : 1;
}

// Tells a file that a killed run left under the reserved name it takes while it installs a staged
// file (or deletes the list), and what the next run does with it.
static void ShowClaimedFile(const char *path, bool nameTaken, void *)
{
    printf("(left under its reserved name by a killed run: %s: %s)\n", Shown(path).c_str(),
           nameTaken ? "waiting for its name, which another file holds: kept" : "the next run gives it its name back");
}

int PlanCommand(const std::vector<std::string> &arguments)
{
    char dataFolder[PLATFORM_FOLDER_SIZE];
    memset(dataFolder, 0, sizeof dataFolder);
    if (arguments.size() == 2 && arguments[0] == "--data-folder") {
        if (arguments[1].empty() || arguments[1].size() >= sizeof dataFolder)
            return UsageError("--data-folder takes a folder of 1 to 259 bytes");
        memcpy(dataFolder, arguments[1].c_str(), arguments[1].size() + 1);
    } else if (!arguments.empty()) {
        return UsageError("plan takes only --data-folder DIR");
    } else if (!GetUserDataFolder(dataFolder)) {
        printf("data folder: none: the updater opens no data file\nplan: nothing to install\n");
        return 0;
    }
    ResetUpdaterState();
    memcpy(g_UpdaterState.AppDataPath, dataFolder, sizeof dataFolder);
    printf("data folder: %s\n", Shown(dataFolder).c_str());
    char settingsPath[PATH_BUFFER_SIZE];
    char fileListPath[PATH_BUFFER_SIZE];
    (void)ComposePath(settingsPath, sizeof settingsPath, dataFolder, "/Brackmoor Games/Settings.kdx", "");
    (void)ComposePath(fileListPath, sizeof fileListPath, dataFolder, "/Brackmoor Games/Temp/FileList.kdx", "");
    // A drive's root is no link; from there on every folder counts.
    bool driveRoot = dataFolder[1] == ':' && (dataFolder[2] == '\\' || dataFolder[2] == '/');
    if (FolderPartCrossesLink(fileListPath, driveRoot ? 3 : 0))
        printf("(the way to the file list goes through a link or junction: an elevated run on Windows follows only "
               "one that an elevated process made, and otherwise keeps the list unread)\n");
    g_elevatedRun = FindElevatedRun();
    if (g_elevatedRun == ELEVATED_RUN_LINKED)
        printf("(this plan speaks for this account unelevated: the updater, started by this administrator, runs "
               "elevated after the consent prompt, and may be allowed where this says \"no permission\")\n");
    char stagingFolder[PATH_BUFFER_SIZE];
    if (ComposePath(stagingFolder, sizeof stagingFolder, dataFolder, "/Brackmoor Games/Temp", ""))
        SettleClaimedFiles(stagingFolder, false, ShowClaimedFile, NULL);
    if (!PlanGameFolder(settingsPath))
        return 2;
    return PlanFileList(fileListPath);
}
