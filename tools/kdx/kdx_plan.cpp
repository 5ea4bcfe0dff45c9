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

// With --records: one tab-separated record a line instead of the sentences, for scripts.
static bool g_records;

// Prints one record, its fields escaped.
static void PrintRecord(const std::vector<std::string> &fields)
{
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i)
        line += (i == 0 ? "" : "\t") + RecordField(fields[i]);
    printf("%s\n", line.c_str());
}

static const char *EntryVerdictToken(FileListEntryVerdict verdict)
{
    switch (verdict) {
    case ENTRY_INSTALLABLE: return "installable";
    case ENTRY_NAME_TOO_SHORT: return "name-too-short";
    case ENTRY_NAME_TOO_LONG: return "name-too-long";
    case ENTRY_NAME_ABSOLUTE: return "name-absolute";
    case ENTRY_NAME_DRIVE: return "name-drive";
    case ENTRY_NAME_WINDOWS_CHARACTER: return "name-windows-character";
    case ENTRY_NAME_PARENT: return "name-parent";
    case ENTRY_NAME_DEVICE: return "name-device";
    case ENTRY_NAME_EMPTY_PART: return "name-empty-part";
    case ENTRY_NAME_RESERVED: return "name-reserved";
    case ENTRY_NAME_TRAILING_SPACE_OR_DOT: return "name-trailing-space-or-dot";
    case ENTRY_NAME_SHORT_ALIAS: return "name-short-alias";
    case ENTRY_SOURCE_TOO_LONG: return "source-too-long";
    case ENTRY_TARGET_TOO_LONG: return "target-too-long";
    }
    return "unknown";
}

static const char *MoveVerdictToken(MoveVerdict verdict)
{
    switch (verdict) {
    case MOVE_CREATES: return "creates";
    case MOVE_REPLACES: return "replaces";
    case MOVE_DROPS_STAGED_NAME: return "drops-staged-name";
    case MOVE_SAME_FILE: return "same-file";
    case MOVE_STAGED_MISSING: return "staged-missing";
    case MOVE_STAGED_THROUGH_LINK: return "staged-through-link";
    case MOVE_STAGED_NOT_REGULAR: return "staged-not-regular";
    case MOVE_STAGED_UNREADABLE: return "staged-unreadable";
    case MOVE_STAGED_NOT_SEARCHABLE: return "staged-not-searchable";
    case MOVE_TARGET_FOLDER_MISSING: return "target-folder-missing";
    case MOVE_TARGET_FOLDER_NOT_SEARCHABLE: return "target-folder-not-searchable";
    case MOVE_TARGET_NOT_A_FILE: return "target-not-a-file";
    case MOVE_NO_PERMISSION: return "no-permission";
    }
    return "unknown";
}

// An entry's name as stored, a zero byte and what follows it included.
static std::string NameField(const LenStringView &name)
{
    return std::string((const char *)name.bytes, name.storedLength);
}

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
    if (*absent && info.kind != PATH_MISSING && !g_records)
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
        if (g_records)
            PrintRecord({"game-folder", "", g_settingsUnreadable ? "unreadable" : "missing"});
        else if (g_settingsUnreadable)
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
        if (g_records)
            PrintRecord({"game-folder", "", "rejected"});
        else
            printf("game folder: none (the settings file %s is rejected: %s)\n", Shown(settingsPath).c_str(),
                   KdxStatusName(status));
        return true;
    }
    // The same handler as the updater's, on the same payload.
    ApplySettings((const unsigned char *)g_dumpedPayload.data(), g_dumpedPayload.size());
    LenStringView firstString;
    LenStringView gameFolder;
    bool whole = ReadSettingsRecord((const unsigned char *)g_dumpedPayload.data(), g_dumpedPayload.size(), &firstString,
                                    &gameFolder);
    if (g_records) {
        const char *state = g_UpdaterState.GamePath[0] != '\0'
                                ? (IsAbsolutePath(g_UpdaterState.GamePath) ? "set" : "relative")
                            : !whole                      ? "cut"
                            : gameFolder.textLength > 259 ? "too-long"
                                                          : "empty";
        PrintRecord({"game-folder", g_UpdaterState.GamePath, state});
    } else if (g_UpdaterState.GamePath[0] != '\0' && !IsAbsolutePath(g_UpdaterState.GamePath))
        printf("game folder: %s (relative: the updater resolves it against its own current folder, which this "
               "plan cannot know; what follows resolves it against kdx's current folder)\n",
               Shown(g_UpdaterState.GamePath).c_str());
    else if (g_UpdaterState.GamePath[0] != '\0')
        printf("game folder: %s\n", Shown(g_UpdaterState.GamePath).c_str());
    else if (!whole)
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

// The plan's words for one installable entry; counts it. In `other` the 1-based index of the
// earlier entry that moves its staged file, or of the later one that replaces its target; else 0.
static std::string PlanOutcome(const std::vector<PlanEntry> &entries, size_t index, PlanCounts *counts, size_t *other)
{
    *other = entries[index].movedBy;
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
            *other = later + 1;
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
// and for an installed file whether it already holds the same bytes; `token` says it in a word.
static std::string DescribeStagedLeftover(const FileListEntryPaths &paths, std::string *token)
{
    MoveForecast forecast;
    ForeseeMove(paths.source, paths.stagingLength, paths.target, &forecast);
    *token = MoveVerdictToken(forecast.verdict);
    if (forecast.verdict == MOVE_REPLACES)
        *token = SameContent(paths.source, paths.target) ? "identical" : "different";
    switch (forecast.verdict) {
    case MOVE_CREATES: return "not installed: nothing at " + std::string(paths.target);
    case MOVE_DROPS_STAGED_NAME: return "the installed file is this very file";
    case MOVE_REPLACES:
        return *token == "identical" ? "the installed file is already identical" : "the installed file is different";
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
    std::vector<std::string> unspellable;
    PathInfo folder;
    InspectPath(staging, &folder);
    // Listed as the updater opens it: a link there is followed.
    if (!WalkFolder(staging, &staged, &strange, &unspellable) && folder.kind != PATH_MISSING) {
        fprintf(stderr, "kdx: cannot read all of %s\n", Shown(staging).c_str());
        return 2;
    }
    for (const std::string &name : strange) {
        if (g_records)
            PrintRecord({"left", std::string(staging) + "/" + name, "not-regular"});
        else
            printf("  left: %s/%s: not a regular file\n", Shown(staging).c_str(), Shown(name).c_str());
    }
    for (const std::string &name : unspellable) {
        if (g_records)
            PrintRecord({"left", std::string(staging) + "/" + name, "unspellable"});
        else
            printf("  left: %s/%s: its name cannot be written in the code page\n", Shown(staging).c_str(),
                   Shown(name).c_str());
    }
    for (const std::string &name : staged) {
        LenStringView view = {(const unsigned char *)name.data(), name.size(), name.size()};
        FileListEntryPaths paths;
        FileListEntryVerdict verdict =
            PrepareFileListEntry(&view, g_UpdaterState.AppDataPath, g_UpdaterState.GamePath, &paths);
        std::string met;
        std::string token = EntryVerdictToken(verdict);
        if (verdict != ENTRY_INSTALLABLE)
            met = std::string("the name is refused: ") + DescribeEntryVerdict(verdict);
        else if (g_UpdaterState.GamePath[0] == '\0')
            met = "no game folder to install it into";
        else
            met = DescribeStagedLeftover(paths, &token);
        if (g_records)
            PrintRecord(
                {"left", std::string(staging) + "/" + name,
                 verdict == ENTRY_INSTALLABLE && g_UpdaterState.GamePath[0] == '\0' ? "no-game-folder" : token});
        else
            printf("  left: %s/%s: %s\n", Shown(staging).c_str(), Shown(name).c_str(), Shown(met).c_str());
    }
    std::vector<std::string> gameFiles;
    std::vector<std::string> gameOthers;
    std::vector<std::string> gameUnspellable;
    unsigned leftovers = 0;
    // Links below the game folder are not followed, as the updater's cleanup does not follow them.
    if (g_UpdaterState.GamePath[0] != '\0' &&
        !WalkFolder(g_UpdaterState.GamePath, &gameFiles, &gameOthers, &gameUnspellable)) {
        if (g_records)
            PrintRecord({"note", "game-folder-unreadable"});
        else
            printf("  (some folders of the game folder could not be read: leftovers there are not shown)\n");
    }
    for (const std::string &name : gameFiles) {
        size_t last = name.rfind('/');
        std::string leaf = last == std::string::npos ? name : name.substr(last + 1);
        LeftoverKind kind = KindOfLeftover(leaf.c_str());
        if (kind != LEFTOVER_NONE && g_records)
            PrintRecord({"leftover", std::string(g_UpdaterState.GamePath) + "/" + name,
                         kind == LEFTOVER_SET_ASIDE ? "set-aside" : "temporary"});
        else if (kind != LEFTOVER_NONE)
            printf("  leftover of the updater: %s/%s%s\n", Shown(g_UpdaterState.GamePath).c_str(), Shown(name).c_str(),
                   kind == LEFTOVER_SET_ASIDE ? " (set aside while in use: only a run on Windows settles it)" : "");
        leftovers += kind != LEFTOVER_NONE ? 1 : 0;
    }
    size_t left = staged.size() + strange.size() + unspellable.size();
    if (g_records)
        PrintRecord({"summary", "0", "0", "0", "0", std::to_string(left), std::to_string(leftovers)});
    else
        printf("plan: nothing to install; %zu staged file(s) left, %u leftover(s) of the updater in the game folder\n",
               left, leftovers);
    return left == 0 && leftovers == 0 ? 0 : 1;
}

// Prints what ApplyFileList would do with the list at `fileListPath`; returns the exit status.
static int PlanFileList(const char *fileListPath)
{
    bool missing = false;
    FILE *file = OpenPlannedDataFile(fileListPath, true, &missing);
    PathInfo info;
    InspectPath(fileListPath, &info);
    if (file == NULL) {
        if (!missing)
            return 2;
        if (g_records)
            PrintRecord({"list", fileListPath, info.kind == PATH_MISSING ? "missing" : "not-regular", "0"});
        else
            printf("file list: none at %s: the updater installs nothing and deletes nothing\n",
                   Shown(fileListPath).c_str());
        return PlanLeftovers();
    }
    KdxStatus status = g_settingsUnreadable ? KDX_OK : LoadKdxFilePrefix(file, KeepPayload, FILE_LIST_PAYLOAD_LIMIT);
    fclose(file);
    if (g_records && (g_settingsUnreadable || status != KDX_OK)) {
        PrintRecord({"list", fileListPath, g_settingsUnreadable ? "kept-unread" : "rejected", "0"});
        PrintRecord({"summary", "0", "0", "0", "0", "0", "0"});
        return 1;
    }
    if (g_settingsUnreadable) {
        printf("file list: %s: kept unread for a run that can read the settings file\n", Shown(fileListPath).c_str());
        printf("plan: nothing would install\n");
        return 1;
    }
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
    if (g_records)
        PrintRecord({"list", fileListPath, "read", std::to_string(count)});
    else
        printf("file list: %s, %u entries\n", Shown(fileListPath).c_str(), count);
    if (g_UpdaterState.GamePath[0] == '\0' && g_records) {
        for (size_t index = 0; index < entries.size(); ++index)
            PrintRecord({"entry", std::to_string(index + 1), NameField(entries[index].name),
                         EntryVerdictToken(entries[index].verdict), "none", "", "", "0"});
        if (cut)
            PrintRecord({"cut", std::to_string(entries.size() + 1)});
        PrintRecord({"summary", "0", "0", "0", std::to_string(count), "0", "0"});
        return count == 0 ? 0 : 1;
    }
    if (g_UpdaterState.GamePath[0] == '\0') {
        printf("the updater prints \"Error: No Dunmark Path Set.\", installs none of them and deletes the list\n");
        printf("plan: %u would not install\n", count);
        return count == 0 ? 0 : 1;
    }
    PlanCounts counts = {0, 0, 0, 0};
    ForeseeEntries(&entries);
    for (size_t index = 0; index < entries.size(); ++index) {
        const PlanEntry &planned = entries[index];
        if (planned.verdict != ENTRY_INSTALLABLE && g_records)
            PrintRecord({"entry", std::to_string(index + 1), NameField(planned.name),
                         EntryVerdictToken(planned.verdict), "none", "", "", "0"});
        if (planned.verdict != ENTRY_INSTALLABLE) {
            ++counts.wouldNot;
            if (!g_records)
                printf("  %zu: %s: refused: %s\n", index + 1, DescribeLenString(planned.name).c_str(),
                       DescribeEntryVerdict(planned.verdict));
            continue;
        }
        size_t other = 0;
        std::string outcome = PlanOutcome(entries, index, &counts, &other);
        const MoveForecast &forecast = planned.forecast;
        bool sized = planned.movedBy == 0 && (forecast.verdict == MOVE_CREATES || forecast.verdict == MOVE_REPLACES ||
                                              forecast.verdict == MOVE_DROPS_STAGED_NAME);
        if (g_records)
            PrintRecord({"entry", std::to_string(index + 1), NameField(planned.name), "installable",
                         planned.movedBy != 0 ? "moved-earlier" : MoveVerdictToken(forecast.verdict),
                         sized ? std::to_string(forecast.stagedSize) : "",
                         sized && forecast.verdict == MOVE_REPLACES ? std::to_string(forecast.targetSize) : "",
                         std::to_string(other)});
        else
            printf("  %zu: %s -> %s: %s\n", index + 1, Shown(planned.paths.source).c_str(),
                   Shown(planned.paths.target).c_str(), Shown(outcome).c_str());
    }
    if (cut && g_records)
        PrintRecord({"cut", std::to_string(entries.size() + 1)});
    if (cut) {
        ++counts.wouldNot;
        if (!g_records)
            printf("  %zu: cut short by the end of the file: neither it nor any later entry is installed\n",
                   entries.size() + 1);
    }
    if (g_records)
        PrintRecord({"summary", std::to_string(counts.install), std::to_string(counts.replace),
                     std::to_string(counts.replacedLater), std::to_string(counts.wouldNot), "0", "0"});
    else
        printf("plan: %u would install, %u would replace, %u replaced by a later entry, %u would not install\n",
               counts.install, counts.replace, counts.replacedLater, counts.wouldNot);
    return counts.wouldNot == 0 ? 0 : 1;
}

// Tells a file that a killed run left under the reserved name it takes while it installs a staged
// file (or deletes the list), and what the next run does with it.
static void ShowClaimedFile(const char *path, bool nameTaken, void *)
{
    if (g_records) {
        PrintRecord({"claimed", path, nameTaken ? "waiting" : "returns"});
        return;
    }
    printf("(left under its reserved name by a killed run: %s: %s)\n", Shown(path).c_str(),
           nameTaken ? "waiting for its name, which another file holds: kept" : "the next run gives it its name back");
}

int PlanCommand(std::vector<std::string> arguments)
{
    char dataFolder[PLATFORM_FOLDER_SIZE];
    memset(dataFolder, 0, sizeof dataFolder);
    g_records = !arguments.empty() && arguments[0] == "--records";
    if (g_records)
        arguments.erase(arguments.begin());
    std::string given;
    if (arguments.size() == 2 && arguments[0] == "--data-folder") {
        if (!SpellPathArgument(arguments[1], "the data folder", &given))
            return 2;
        if (given.empty() || given.size() >= sizeof dataFolder)
            return UsageError("--data-folder takes a folder of 1 to 259 bytes");
        memcpy(dataFolder, given.c_str(), given.size() + 1);
    } else if (!arguments.empty()) {
        return UsageError("plan takes only --records and --data-folder DIR");
    } else if (!GetUserDataFolder(dataFolder)) {
        if (g_records) {
            PrintRecord({"data-folder", ""});
            PrintRecord({"summary", "0", "0", "0", "0", "0", "0"});
        } else {
            printf("data folder: none: the updater opens no data file\nplan: nothing to install\n");
        }
        return 0;
    }
    ResetUpdaterState();
    memcpy(g_UpdaterState.AppDataPath, dataFolder, sizeof dataFolder);
    if (g_records)
        PrintRecord({"data-folder", dataFolder});
    else
        printf("data folder: %s\n", Shown(dataFolder).c_str());
    char settingsPath[PATH_BUFFER_SIZE];
    char fileListPath[PATH_BUFFER_SIZE];
    (void)ComposePath(settingsPath, sizeof settingsPath, dataFolder, "/Brackmoor Games/Settings.kdx", "");
    (void)ComposePath(fileListPath, sizeof fileListPath, dataFolder, "/Brackmoor Games/Temp/FileList.kdx", "");
    // A drive's root is no link; from there on every folder counts.
    bool driveRoot = dataFolder[1] == ':' && (dataFolder[2] == '\\' || dataFolder[2] == '/');
    bool throughLink = FolderPartCrossesLink(fileListPath, driveRoot ? 3 : 0);
    if (throughLink && g_records)
        PrintRecord({"note", "list-through-link"});
    else if (throughLink)
        printf("(the way to the file list goes through a link or junction: an elevated run on Windows follows only "
               "one that an elevated process made, and otherwise keeps the list unread)\n");
    g_elevatedRun = FindElevatedRun();
    if (g_elevatedRun == ELEVATED_RUN_LINKED && g_records)
        PrintRecord({"note", "elevated-run-differs"});
    else if (g_elevatedRun == ELEVATED_RUN_LINKED)
        printf("(this plan speaks for this account unelevated: the updater, started by this administrator, runs "
               "elevated after the consent prompt, and may be allowed where this says \"no permission\")\n");
    char stagingFolder[PATH_BUFFER_SIZE];
    if (ComposePath(stagingFolder, sizeof stagingFolder, dataFolder, "/Brackmoor Games/Temp", ""))
        SettleClaimedFiles(stagingFolder, false, ShowClaimedFile, NULL);
    if (!PlanGameFolder(settingsPath))
        return 2;
    return PlanFileList(fileListPath);
}
