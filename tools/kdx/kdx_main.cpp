// kdx: reads and writes the updater's data files, for the client's developers and support.
//   kdx dump [--as settings|filelist] [--data-folder DIR] [--game-folder DIR] FILE
//   kdx settings GAME_FOLDER [FIRST_STRING] [-o FILE]
//   kdx filelist NAME... [-o FILE]
//   kdx filelist --from FOLDER [-o FILE]
//   kdx plan [--data-folder DIR]
// Exit status: 0 done (plan: every entry would install); 1 the container was rejected (dump),
// or some entry would not install (plan); 2 bad arguments or unreadable file.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "datafiles/file_list.h"
#include "datafiles/kdx_container.h"
#include "datafiles/kdx_writer.h"
#include "datafiles/path_buffer.h"
#include "datafiles/settings_record.h"
#include "platform/platform.h"
#include "updater/updater_state.h"

static const char USAGE[] = "usage: kdx dump [--as settings|filelist] [--data-folder DIR] [--game-folder DIR] FILE\n"
                            "       kdx settings GAME_FOLDER [FIRST_STRING] [-o FILE]\n"
                            "       kdx filelist NAME... [-o FILE]\n"
                            "       kdx filelist --from FOLDER [-o FILE]\n"
                            "       kdx plan [--data-folder DIR]\n"
                            "\n"
                            "dump      shows a data file's container status and its record as the updater reads it;\n"
                            "          for a file list, what each entry installs as or why it is refused. The kind\n"
                            "          is taken from the file name (Settings.kdx, FileList.kdx) unless --as says it.\n"
                            "          Path limits are checked against --data-folder (the per-user data folder) and\n"
                            "          --game-folder; both are empty unless given.\n"
                            "settings  writes a settings file naming GAME_FOLDER (standard output, or -o FILE).\n"
                            "filelist  writes a file list of the staged NAMEs, each with its four-byte suffix; with\n"
                            "          --from, of every regular file below FOLDER (refused, exit 2, when one would\n"
                            "          be refused by the updater, is not a regular file, or there are over 255).\n"
                            "plan      reads the settings file and the file list of the per-user data folder (or DIR)\n"
                            "          as the updater would and shows what it would do with each entry, changing\n"
                            "          nothing. Exit status 1 when some entry would not install. With no file list,\n"
                            "          what an earlier run left behind (exit status 1 when something is left).\n";

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

// A name or path for a line of output: control bytes as \xNN, so that a newline or a terminal
// escape in a staged name cannot print a line of its own. Other bytes stay as they are, so that
// the paths the player knows (and Windows' "\\") read as they are.
static std::string Shown(const std::string &text)
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
    // Never blocks: a FIFO or folder is refused as a file the updater would not read.
    PlatformError openError = {PLATFORM_ERROR_NONE, 0};
    FILE *file = OpenDataFile(path.c_str(), false, &openError);
    if (file == NULL) {
        fprintf(stderr, "kdx: cannot open %s as a regular file: %s\n", Shown(path).c_str(), DescribeFailure(openError));
        return 2;
    }
    printf("%s: %s\n", Shown(path).c_str(), g_dump.kind == DUMP_SETTINGS ? "settings file" : "file list");
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
    KdxStatus status = LoadKdxFile(file, KeepPayload);
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

// The files below `folder`, as names relative to it with "/" between components, in byte order;
// in `others` what is there but neither a regular file nor a folder (links included). The file
// list itself, "FileList.kdx" at the top, is never one of them. False when the folder cannot be
// read.
static bool WalkFolder(const std::string &folder, std::vector<std::string> *files, std::vector<std::string> *others)
{
    bool read = WalkBelow(folder, "", files, others);
    files->erase(std::remove(files->begin(), files->end(), "FileList.kdx"), files->end());
    others->erase(std::remove(others->begin(), others->end(), "FileList.kdx"), others->end());
    std::sort(files->begin(), files->end());
    std::sort(others->begin(), others->end());
    return read;
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
    KdxStatus status = LoadKdxFile(file, KeepPayload);
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

static int Plan(const std::vector<std::string> &arguments)
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
    if (!PlanGameFolder(settingsPath))
        return 2;
    return PlanFileList(fileListPath);
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
    else if (!IsAbsolutePath(arguments[0].c_str()))
        fprintf(stderr, "kdx: warning: the game folder is relative: the updater resolves it against the current "
                        "folder the client starts it in\n");
    return WriteDataFile(payload, outputPath);
}

// "filelist --from FOLDER": every regular file below FOLDER, or a refusal that names why.
static int FileListFromFolder(const std::string &folder, const std::string &outputPath)
{
    std::vector<std::string> names;
    std::vector<std::string> others;
    if (!WalkFolder(folder, &names, &others)) {
        fprintf(stderr, "kdx: cannot read the folder %s\n", Shown(folder).c_str());
        return 2;
    }
    for (const std::string &name : others)
        fprintf(stderr, "kdx: %s is not a regular file: a file list names regular files only\n", Shown(name).c_str());
    bool refused = !others.empty();
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

static int FileList(std::vector<std::string> arguments)
{
    std::string outputPath;
    if (!TakeOutputOption(&arguments, &outputPath))
        return UsageError("-o needs a FILE");
    if (!arguments.empty() && arguments[0] == "--from") {
        if (arguments.size() != 2)
            return UsageError("filelist --from takes one FOLDER and no NAME");
        return FileListFromFolder(arguments[1], outputPath);
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
    if (command == "plan")
        return Plan(arguments);
    if (command == "--help" || command == "-h" || command == "help") {
        fputs(USAGE, stdout);
        return 0;
    }
    return UsageError(("unknown command: " + command).c_str());
}
