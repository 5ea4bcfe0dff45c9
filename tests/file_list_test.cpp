// The installation pass, run by the real updater against real folders.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <algorithm>
#include <thread>

#include "datafiles/file_list.h"
#include "tests/support/updater_fixture.h"
#include "updater/updater_state.h"

namespace {

// True when `path` lies on another file system than `other`, so a move between them copies.
bool IsOtherFileSystem(const std::string &path, const std::string &other)
{
    struct stat first;
    struct stat second;
    return stat(path.c_str(), &first) == 0 && stat(other.c_str(), &second) == 0 && first.st_dev != second.st_dev;
}

class FileListRun : public UpdaterFixture {
protected:
    void SetUp() override
    {
        UpdaterFixture::SetUp();
        WriteSettings(game);
    }
    std::string StagedKey(const std::string &name) { return "home/.local/share/Brackmoor Games/Temp/" + name; }
    std::string GameKey(const std::string &name) { return "game/" + name; }

    // What the tree must look like when `moves` (staged name -> installed name) succeeded and
    // nothing else changed but the deletion of the file list.
    std::map<std::string, std::string> Expected(std::map<std::string, std::string> before,
                                                const std::vector<std::pair<std::string, std::string>> &moves)
    {
        for (const auto &move : moves) {
            before[GameKey(move.second)] = before.at(StagedKey(move.first));
            before.erase(StagedKey(move.first));
        }
        before.erase(StagedKey("FileList.kdx"));
        return before;
    }
};

TEST_F(FileListRun, ReplacesInstalledFilesAndInstallsNewOnes)
{
    Install("Data.pak", "old data");
    Install("Keep.txt", "not listed");
    Stage("Data.paknew1", "new data");
    Stage("Fresh.dll.new", "fresh library");
    Stage("Unlisted.bin0000", "stays staged");
    WriteFileList({"Data.paknew1", "Fresh.dll.new"});
    auto before = SnapshotTree(root);

    ProgramResult result = RunUpdaterProgram();

    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(SnapshotTree(root), Expected(before, {{"Data.paknew1", "Data.pak"}, {"Fresh.dll.new", "Fresh.dll"}}));
    EXPECT_EQ(ReadFile(game + "/Data.pak"), "new data");
}

TEST_F(FileListRun, KeepsBothFilesWhenAnEntryCannotBeMovedAndGoesOn)
{
    MakeFolders(game + "/Maps");
    MakeFolders(staging + "/Maps");
    MakeFolders(staging + "/Missing");
    Install("Maps/one.map", "old map");
    Stage("Maps/one.mapXXXX", "new map");
    Stage("Missing/two.mapXXXX", "map for a folder the game lacks");
    Install("Gone.dat", "installed, its staged copy is missing");
    MakeFolders(game + "/Busy.dat"); // a folder where a file would go: the move fails
    Install("Busy.dat/inside", "x");
    Stage("Busy.datXXXX", "cannot replace a folder");
    Stage("Last.txtXXXX", "after the failures");
    WriteFileList({"Missing/two.mapXXXX", "Gone.datXXXX", "Busy.datXXXX", "Maps/one.mapXXXX", "Last.txtXXXX"});
    auto before = SnapshotTree(root);

    RunUpdaterProgram();

    auto after = SnapshotTree(root);
    EXPECT_EQ(after, Expected(before, {{"Maps/one.mapXXXX", "Maps/one.map"}, {"Last.txtXXXX", "Last.txt"}}));
    EXPECT_FALSE(PathExists(game + "/Missing"));
    EXPECT_EQ(ReadFile(game + "/Gone.dat"), "installed, its staged copy is missing");
}

TEST_F(FileListRun, NameEndsAtItsFirstZeroByte)
{
    Stage("Core.binABCD", "core");
    Install("Core.bin", "old core");
    WriteFile(fileList, KdxFile(std::string("\x01", 1) + LenString(std::string("Core.binABCD\0junk", 17))));
    auto before = SnapshotTree(root);
    RunUpdaterProgram();
    EXPECT_EQ(SnapshotTree(root), Expected(before, {{"Core.binABCD", "Core.bin"}}));
}

TEST_F(FileListRun, InstallsAll255EntriesInOrder)
{
    std::vector<std::string> names;
    std::vector<std::pair<std::string, std::string>> moves;
    for (int i = 0; i < 255; ++i) {
        std::string installed = "file" + std::to_string(i) + ".dat";
        names.push_back(installed + ".new");
        moves.push_back({installed + ".new", installed});
        Stage(installed + ".new", "content " + std::to_string(i));
    }
    // The same target twice: the later entry wins, as the order stored says.
    Stage("twice.txtAAAA", "first");
    Stage("twice.txtBBBB", "second");
    WriteFileList(names);
    auto before = SnapshotTree(root);
    RunUpdaterProgram();
    EXPECT_EQ(SnapshotTree(root), Expected(before, moves));

    WriteFileList({"twice.txtAAAA", "twice.txtBBBB"});
    RunUpdaterProgram();
    EXPECT_EQ(ReadFile(game + "/twice.txt"), "second");
}

TEST_F(FileListRun, ListCutShortInstallsTheCompleteEntriesOnly)
{
    Stage("a.txt1234", "a");
    Stage("b.txt1234", "b");
    Stage("c.txt1234", "c");
    std::string payload = FileListPayload({"a.txt1234", "b.txt1234", "c.txt1234"});
    WriteFile(fileList, KdxFile(payload.substr(0, payload.size() - 2)));
    auto before = SnapshotTree(root);
    RunUpdaterProgram();
    EXPECT_EQ(SnapshotTree(root), Expected(before, {{"a.txt1234", "a.txt"}, {"b.txt1234", "b.txt"}}));

    // A count larger than the entries stored: the same.
    Stage("d.txt1234", "d");
    WriteFile(fileList, KdxFile("\x05" + LenString("d.txt1234")));
    RunUpdaterProgram();
    EXPECT_EQ(ReadFile(game + "/d.txt"), "d");
    EXPECT_FALSE(PathExists(fileList));
}

// A list padded to the largest valid length (2 GiB, sparse here) is processed, and costs no
// more memory than 255 of the longest names could: the padding is never read.
TEST_F(FileListRun, APaddedListIsNotReadWhole)
{
    Stage("a.txt1234", "a");
    WriteFile(fileList, KdxFile(FileListPayload({"a.txt1234"})));
    ASSERT_EQ(truncate(fileList.c_str(), 0x7FFFFFFF), 0);
    pid_t updater = StartProgram(UPDATER_PROGRAM, {}, {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY"});
    int status = 0;
    struct rusage usage = {};
    ASSERT_EQ(wait4(updater, &status, 0, &usage), updater);
    EXPECT_EQ(ReadFile(game + "/a.txt"), "a");
    EXPECT_FALSE(PathExists(fileList));
    EXPECT_LT(usage.ru_maxrss, 256 * 1024) << "KiB at peak: the padding was read";
}

TEST_F(FileListRun, RefusesNamesThatReachOutsideOrHaveNothingLeft)
{
    MakeFolders(staging + "/sub");
    const std::vector<std::string> refused = {
        "abcd", // nothing left without the suffix
        "abc",
        "../Outside.datXXXX", // parent component
        "sub/../../Outside.datXXXX",
        "sub\\..\\Win.datXXXX",
        "..\\Back.datXXXX",
        "Trick/..XXXX",     // ".." appears once the suffix is dropped
        ".../Dots.datXXXX", // dot forms Windows reads as ".."
        "/Absolute.datXXXX",
        "\\Backslash.datXXXX",
        "C:Drive.datXXXX",
        std::string(124, 'n') + ".new", // 128 bytes
        "CON.txtXXXX",                  // Windows devices
        "sub/nul.datXXXX",
        "Lpt1XXXX",
        "Orvo.exe:Zone.Identifierabcd", // a data stream of Orvo.exe on Windows
        "Line\n.datXXXX",
    };
    // Every refused name is staged where its staged path leads, so that its staying is seen.
    for (const std::string &name : refused) {
        std::string path = staging + "/" + name;
        MakeFolders(path.substr(0, path.rfind('/')));
        WriteFile(path, "refused: " + name);
    }
    Stage(std::string(123, 'm') + ".new", "127 bytes: installed");
    std::vector<std::string> names = refused;
    names.push_back(std::string(123, 'm') + ".new");
    WriteFileList(names);
    auto before = SnapshotTree(root);

    RunUpdaterProgram();

    EXPECT_EQ(SnapshotTree(root), Expected(before, {{std::string(123, 'm') + ".new", std::string(123, 'm')}}));
}

TEST_F(FileListRun, MissingGameFolderPrintsTheMessageKeepsStagedFilesAndDeletesTheList)
{
    const std::string settingsFiles[] = {"", KdxFile(SettingsPayload(std::string(260, 'x'))),
                                         KdxFile(SettingsPayload(""))};
    for (const std::string &settings : settingsFiles) {
        RemoveTree(brackmoor + "/Settings.kdx");
        if (!settings.empty())
            WriteFile(brackmoor + "/Settings.kdx", settings);
        Stage("a.txt1234", "staged");
        WriteFileList({"a.txt1234"});
        auto before = SnapshotTree(root);
        ProgramResult result = RunUpdaterProgram();
        EXPECT_EQ(result.output, "Error: No Dunmark Path Set.\n");
        EXPECT_GE(result.seconds, 3.0);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(SnapshotTree(root), Expected(before, {}));
    }
    // Even for a list of no entries.
    WriteFile(fileList, KdxFile("\x00", 1));
    EXPECT_EQ(RunUpdaterProgram().output, "Error: No Dunmark Path Set.\n");
    EXPECT_FALSE(PathExists(fileList));
}

TEST_F(FileListRun, RejectedOrEmptyListsInstallNothingAndAreDeleted)
{
    Stage("a.txt1234", "staged");
    const std::string lists[] = {
        "",
        "\xFF\xFE"
        "KDX",
        KdxFile(FileListPayload({"a.txt1234"}), 2, 0),
        KdxFile(FileListPayload({"a.txt1234"}), 1, 7),
        KdxFile(""),
        KdxFile("").substr(0, 7),
        KdxFile(std::string("\x00", 1) + LenString("a.txt1234")),
    };
    for (const std::string &list : lists) {
        WriteFile(fileList, list);
        auto before = SnapshotTree(root);
        ProgramResult result = RunUpdaterProgram();
        EXPECT_EQ(result.output, "");
        EXPECT_EQ(SnapshotTree(root), Expected(before, {}));
    }
}

TEST_F(FileListRun, NoFileListChangesNothing)
{
    Stage("a.txt1234", "staged");
    auto before = SnapshotTree(root);
    RunUpdaterProgram();
    EXPECT_EQ(SnapshotTree(root), before);
}

// The staging folder on the disk, the game folder on a tmpfs: rename(2) cannot move there.
TEST_F(FileListRun, MovesAcrossFileSystemsWithoutLosingContent)
{
    if (!IsOtherFileSystem("/dev/shm", root))
        GTEST_SKIP() << "needs /dev/shm on another file system than " << root;
    std::string otherGame = MakeTempFolder("/dev/shm");
    MakeFolders(otherGame + "/bin");
    WriteSettings(otherGame);
    WriteFile(otherGame + "/Big.pak", "old");
    std::string big;
    for (int i = 0; i < 3 * 1024 * 1024 + 17; ++i)
        big += (char)(i * 131 % 251);
    Stage("Big.pakNEW1", big);
    Stage("Orvo.exeNEW1", "#!/bin/sh\n");
    chmod((staging + "/Orvo.exeNEW1").c_str(), 0755);
    MakeFolders(staging + "/nowhere");
    Stage("nowhere/x.datNEW1", "its folder is missing in the game folder");
    WriteFileList({"Big.pakNEW1", "nowhere/x.datNEW1", "Orvo.exeNEW1"});

    RunUpdaterProgram();

    EXPECT_TRUE(ReadFile(otherGame + "/Big.pak") == big);
    EXPECT_FALSE(PathExists(staging + "/Big.pakNEW1"));
    struct stat client;
    ASSERT_EQ(stat((otherGame + "/Orvo.exe").c_str(), &client), 0);
    EXPECT_EQ(client.st_mode & 0777, 0755u);
    EXPECT_EQ(ReadFile(staging + "/nowhere/x.datNEW1"), "its folder is missing in the game folder");
    auto game = SnapshotTree(otherGame);
    EXPECT_EQ(game.size(), 3u) << "no temporary file may be left behind";
    EXPECT_FALSE(PathExists(fileList));
    RemoveTree(otherGame);
}

// Staged entries that are not plain files, and names a temporary must never take: on one file
// system (rename) and with the game folder on a tmpfs (a copy). Nothing is lost, nothing blocks.
TEST_F(FileListRun, StrangeStagedFilesAndNameClashesLoseNothing)
{
    if (!IsOtherFileSystem("/dev/shm", root))
        GTEST_SKIP() << "needs /dev/shm on another file system than " << root;
    for (bool acrossFileSystems : {false, true}) {
        SCOPED_TRACE(acrossFileSystems ? "across file systems" : "one file system");
        std::string gameFolder = acrossFileSystems ? MakeTempFolder("/dev/shm") : game;
        RemoveTree(staging);
        MakeFolders(staging);
        WriteSettings(gameFolder);
        auto staged = [&](const std::string &name) { return staging + "/" + name; };
        auto installed = [&](const std::string &name) { return gameFolder + "/" + name; };

        ASSERT_EQ(mkfifo(staged("Pipe.datNEW1").c_str(), 0644), 0);
        WriteFile(root + "/secret", "outside both folders");
        ASSERT_EQ(symlink((root + "/secret").c_str(), staged("Link.datNEW1").c_str()), 0);
        MakeFolders(staged("Folder.datNEW1"));
        Stage("ReadOnly.datNEW1", "read-only staged");
        chmod(staged("ReadOnly.datNEW1").c_str(), 0444);
        Stage("Tool.binNEW1", "set-id program");
        chmod(staged("Tool.binNEW1").c_str(), 06755);
        // Game files with the names an earlier temporary scheme used, and one a killed run left.
        WriteFile(installed("Clash.dat.updating"), "a game file");
        WriteFile(installed("Clash.dat.UPDATING"), "another game file");
        Stage("Clash.datNEW1", "clash target");
        Stage("Second.dat.updatingNEW1", "installed first");
        Stage("Second.datNEW1", "installed second");
        const std::string leftover = ".~upd-" + std::to_string(EndedProcessId()) + "-7.tmp";
        WriteFile(installed(leftover), "left by a killed run");
        // Another player's updater installing into the same folder: its copy in flight stays.
        const std::string inFlight = ".~upd-" + std::to_string(getpid()) + "-7.tmp";
        WriteFile(installed(inFlight), "another run's copy");
        std::vector<std::string> names = {
            "Pipe.datNEW1", "Link.datNEW1",  "Folder.datNEW1",          "ReadOnly.datNEW1",
            "Tool.binNEW1", "Clash.datNEW1", "Second.dat.updatingNEW1", "Second.datNEW1"};
        if (!acrossFileSystems) {
            // One file under two names: the staged name goes, the content stays.
            WriteFile(installed("Same.dat"), "one file, two names");
            ASSERT_EQ(link(installed("Same.dat").c_str(), staged("Same.datNEW1").c_str()), 0);
            names.push_back("Same.datNEW1");
        }
        // A data folder relocated through a link: the moves reach it, and so does the cleanup.
        const std::string relocated = MakeTempFolder(acrossFileSystems ? "/dev/shm" : root);
        ASSERT_EQ(symlink(relocated.c_str(), installed("Maps").c_str()), 0);
        MakeFolders(staged("Maps"));
        Stage("Maps/x.mapNEW1", "relocated map");
        WriteFile(relocated + "/" + leftover, "left by a killed run");
        names.push_back("Maps/x.mapNEW1");
        Stage("Last.txtNEW1", "after the strange ones");
        names.push_back("Last.txtNEW1");
        WriteFileList(names);

        ProgramResult result = RunUpdaterProgram();

        EXPECT_EQ(result.exitCode, 0);
        struct stat info;
        for (const char *kept : {"Pipe.datNEW1", "Link.datNEW1", "Folder.datNEW1"}) {
            EXPECT_TRUE(PathExists(staged(kept))) << kept << " must stay staged";
            EXPECT_FALSE(PathExists(installed(std::string(kept).substr(0, strlen(kept) - 4)))) << kept;
        }
        EXPECT_EQ(ReadFile(root + "/secret"), "outside both folders");
        EXPECT_EQ(ReadFile(installed("ReadOnly.dat")), "read-only staged");
        EXPECT_FALSE(PathExists(staged("ReadOnly.datNEW1")));
        ASSERT_EQ(stat(installed("Tool.bin").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, acrossFileSystems ? 0755u : 06755u)
            << "a copy made by the updater's user must not be set-id";
        EXPECT_EQ(ReadFile(installed("Clash.dat")), "clash target");
        EXPECT_EQ(ReadFile(installed("Clash.dat.updating")), "a game file");
        EXPECT_EQ(ReadFile(installed("Clash.dat.UPDATING")), "another game file");
        EXPECT_EQ(ReadFile(installed("Second.dat.updating")), "installed first");
        EXPECT_EQ(ReadFile(installed("Second.dat")), "installed second");
        EXPECT_FALSE(PathExists(installed(leftover))) << "a leftover temporary must be removed";
        EXPECT_EQ(ReadFile(installed(inFlight)), "another run's copy");
        unlink(installed(inFlight).c_str());
        if (!acrossFileSystems) {
            EXPECT_EQ(ReadFile(installed("Same.dat")), "one file, two names");
            EXPECT_FALSE(PathExists(staged("Same.datNEW1")));
        }
        EXPECT_EQ(ReadFile(installed("Last.txt")), "after the strange ones");
        EXPECT_EQ(ReadFile(relocated + "/x.map"), "relocated map");
        EXPECT_FALSE(PathExists(relocated + "/" + leftover)) << "a leftover behind the game folder's link stays";
        EXPECT_FALSE(PathExists(fileList));
        RemoveTree(relocated);
        if (acrossFileSystems)
            RemoveTree(gameFolder);
    }
}

// Two updaters started at once on a move across file systems: each file installed whole, no
// staged file lost, no temporary left. A second updater waits while the first holds the run.
TEST_F(FileListRun, TwoUpdatersAtOnceTearAndLoseNothing)
{
    if (!IsOtherFileSystem("/dev/shm", root))
        GTEST_SKIP() << "needs /dev/shm on another file system than " << root;
    std::string otherGame = MakeTempFolder("/dev/shm");
    WriteSettings(otherGame);
    std::vector<std::string> names;
    std::vector<std::string> contents;
    for (int file = 0; file < 4; ++file) {
        contents.push_back(std::string(4 * 1024 * 1024 + file, (char)('a' + file)));
        names.push_back("Pack" + std::to_string(file) + ".pakNEW1");
        Stage(names.back(), contents.back());
        WriteFile(otherGame + "/Pack" + std::to_string(file) + ".pak", "old");
    }
    WriteFileList(names);
    std::vector<std::string> environment = {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY"};

    // While another updater holds the run, this one touches nothing.
    int held = open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    pid_t waiting = StartProgram(UPDATER_PROGRAM, {}, environment);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(PathExists(fileList)) << "the file list was read while another updater held the run";
    EXPECT_EQ(ReadFile(otherGame + "/Pack0.pak"), "old");
    close(held);
    pid_t second = StartProgram(UPDATER_PROGRAM, {}, environment);
    int status = 0;
    waitpid(waiting, &status, 0);
    waitpid(second, &status, 0);

    for (int file = 0; file < 4; ++file) {
        EXPECT_TRUE(ReadFile(otherGame + "/Pack" + std::to_string(file) + ".pak") == contents[file]) << file;
        EXPECT_FALSE(PathExists(staging + "/" + names[file]));
    }
    EXPECT_EQ(SnapshotTree(otherGame).size(), 4u) << "no temporary file may be left behind";
    EXPECT_FALSE(PathExists(fileList));
    RemoveTree(otherGame);
}

// Another run holding the staging folder for good (stuck, or any program holding its flock) is
// waited for a bounded time; then this run touches nothing. It gives up its own claim when done.
TEST_F(FileListRun, AFolderHeldForGoodIsWaitedForABoundedTimeThenLeftAlone)
{
    Install("Data.pak", "old");
    Stage("Data.paknew1", "new");
    WriteFileList({"Data.paknew1"});
    snprintf(g_UpdaterState.AppDataPath, sizeof g_UpdaterState.AppDataPath, "%s/.local/share", home.c_str());
    snprintf(g_UpdaterState.GamePath, sizeof g_UpdaterState.GamePath, "%s", game.c_str());
    int held = open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    auto before = SnapshotTree(root);
    auto started = std::chrono::steady_clock::now();
    ProcessFileList(300);
    std::chrono::duration<double> waited = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(waited.count() >= 0.3 && waited.count() < 3.0) << waited.count() << " s";
    EXPECT_EQ(SnapshotTree(root), before) << "a run that could not claim the folder touched a file";
    close(held);
    ProcessFileList(300);
    EXPECT_EQ(ReadFile(game + "/Data.pak"), "new");
    int next = open(staging.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(flock(next, LOCK_EX | LOCK_NB), 0) << "the run kept its claim after the pass";
    close(next);
}

// A program running from the target's place is replaced: a rename does not care that it runs.
TEST_F(FileListRun, ReplacesARunningProgram)
{
    Install("Running", ReadFile("/bin/sleep"));
    ASSERT_EQ(chmod((game + "/Running").c_str(), 0755), 0);
    pid_t running = StartProgram(game + "/Running", {"60"}, {});
    char image[4096] = "";
    for (int tries = 0; tries < 1000 && std::string(image) != game + "/Running"; ++tries) {
        ssize_t length = readlink(("/proc/" + std::to_string(running) + "/exe").c_str(), image, sizeof image - 1);
        image[length > 0 ? length : 0] = '\0';
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(std::string(image), game + "/Running") << "the program never ran from the game folder";
    Stage("RunningNEW1", "new build");
    WriteFileList({"RunningNEW1"});

    EXPECT_EQ(RunUpdaterProgram().exitCode, 0);

    EXPECT_EQ(ReadFile(game + "/Running"), "new build");
    EXPECT_FALSE(PathExists(staging + "/RunningNEW1"));
    EXPECT_EQ(SnapshotTree(game).size(), 1u) << "nothing is set aside on POSIX";
    kill(running, SIGKILL);
    waitpid(running, nullptr, 0);
}

// While a copy across file systems is under way (the updater stopped when the copy holds a
// quarter of the file), the client rewrites the staged file and writes a new file list. The
// torn copy is not installed and the new list is not deleted unread.
TEST_F(FileListRun, ChangesDuringThePassAreNeitherTornNorLost)
{
    if (!IsOtherFileSystem("/dev/shm", root))
        GTEST_SKIP() << "needs /dev/shm on another file system than " << root;
    std::string otherGame = MakeTempFolder("/dev/shm");
    const std::string staged = staging + "/Big.pakNEW1";
    const size_t size = 128 * 1024 * 1024;
    const std::string newList = KdxFile(FileListPayload({"Later.datNEW1"}));
    bool caught = false;
    for (int attempt = 0; attempt < 3 && !caught; ++attempt) {
        WriteSettings(otherGame);
        WriteFile(otherGame + "/Big.pak", "old");
        Stage("Big.pakNEW1", std::string(size, 'a'));
        WriteFileList({"Big.pakNEW1"});
        pid_t updater = StartProgram(UPDATER_PROGRAM, {}, {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY"});
        while (CopyInProgressSize(updater, otherGame) < (long long)size / 4 && PathExists(staged) &&
               waitpid(updater, nullptr, WNOHANG) == 0) {
        }
        caught = kill(updater, SIGSTOP) == 0 && CopyInProgressSize(updater, otherGame) > 0;
        if (caught) {
            // An open for writing breaks the updater's lease on the staged file; it waits until
            // the updater, running again, lets the file go.
            int breaking = open(staged.c_str(), O_WRONLY | O_NONBLOCK);
            if (breaking >= 0)
                close(breaking);
            kill(updater, SIGCONT);
            int rewrite = open(staged.c_str(), O_WRONLY);
            ASSERT_EQ(pwrite(rewrite, "REWRITTEN", 9, 0), 9);
            close(rewrite);
            WriteFile(fileList + ".part", newList);
            ASSERT_EQ(rename((fileList + ".part").c_str(), fileList.c_str()), 0);
        }
        kill(updater, SIGCONT);
        waitpid(updater, nullptr, 0);
    }
    ASSERT_TRUE(caught) << "the copy was never caught under way";
    // The copy under way is discarded and made again: what lands is the rewritten file, whole.
    EXPECT_TRUE(ReadFile(otherGame + "/Big.pak") == "REWRITTEN" + std::string(size - 9, 'a'))
        << "a copy of a file opened for writing was installed";
    EXPECT_FALSE(PathExists(staged)) << "the file installed keeps its staged name";
    EXPECT_EQ(ReadFile(fileList), newList) << "the list written during the pass was deleted";
    EXPECT_EQ(SnapshotTree(otherGame).size(), 1u) << "no temporary file may be left behind";

    // Once the copy is in place and before the staged file goes (the updater stopped as it syncs
    // that folder), the client rewrites the staged file again, and the list in place (same file,
    // same size): that version and that list must stay.
    WriteFile(otherGame + "/Big.pak", "old");
    Stage("Big.pakNEW1", "version 1");
    WriteFileList({"Big.pakNEW1"});
    const std::string listRead = ReadFile(fileList);
    const std::string trace = root + "/trace";
    pid_t traced =
        StartProgram("/usr/bin/strace",
                     {"-f", "-o", trace, "-e", "trace=fsync", "-e", "inject=fsync:signal=STOP:when=2", UPDATER_PROGRAM},
                     {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY"});
    pid_t stopped = 0;
    while (waitpid(traced, nullptr, WNOHANG) == 0 && stopped == 0) {
        std::string lines = PathExists(trace) ? ReadFile(trace) : "";
        size_t at = lines.find("--- stopped by SIGSTOP");
        if (at != std::string::npos)
            stopped = (pid_t)atol(lines.c_str() + lines.rfind('\n', at) + 1);
    }
    ASSERT_NE(stopped, 0) << "the updater was never seen stopped at its folder's sync";
    ASSERT_EQ(ReadFile(otherGame + "/Big.pak"), "version 1");
    WriteFile(staged, "version 2");
    int listInPlace = open(fileList.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(listInPlace, listRead.data(), listRead.size(), 0), (ssize_t)listRead.size());
    close(listInPlace);
    kill(stopped, SIGCONT);
    waitpid(traced, nullptr, 0);
    EXPECT_EQ(ReadFile(otherGame + "/Big.pak"), "version 1");
    EXPECT_EQ(ReadFile(staged), "version 2") << "a staged file rewritten after its copy was deleted";
    EXPECT_TRUE(PathExists(fileList)) << "a list rewritten in place during the pass was deleted";
    RemoveTree(otherGame);
}

// True while the only child of `parent` is inside the system call `number` (with, when given,
// `firstAfterDescriptor` as the argument after the first, as fcntl's command).
bool ChildInsideSystemCall(pid_t parent, long number, long firstAfterDescriptor = -1)
{
    std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    pid_t child = 0;
    long current = -1;
    std::string descriptor;
    long second = -1;
    if (children >> child)
        std::ifstream("/proc/" + std::to_string(child) + "/syscall") >> current >> descriptor >> std::hex >> second;
    return current == number && (firstAfterDescriptor < 0 || second == firstAfterDescriptor);
}

// Killed between taking a staged file out of the client's reach and installing it: the next run
// gives it its name back and installs it, and nothing stays behind.
TEST_F(FileListRun, AFileTakenByAKilledRunGetsItsNameBackAndIsInstalled)
{
    Install("a.dat", "old a");
    Install("b.dat", "old b");
    Stage("a.datNEW1", "new a");
    Stage("b.datNEW1", "new b");
    WriteFileList({"a.datNEW1", "b.datNEW1"});
    RunProgram("/usr/bin/strace", {"-o", "/dev/null", "-e", "inject=renameat:signal=KILL:when=2", UPDATER_PROGRAM},
               {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY"});
    ASSERT_EQ(ReadFile(game + "/b.dat"), "old b") << "the kill came too late to show anything";
    RunUpdaterProgram();
    EXPECT_EQ(ReadFile(game + "/a.dat"), "new a");
    EXPECT_EQ(ReadFile(game + "/b.dat"), "new b");
    EXPECT_EQ(SnapshotTree(staging).size(), 0u) << "nothing is left in the staging folder";

    // Its install and the giving back of its name both fail: the list stays for the next run.
    Stage("c.datNEW1", "new c");
    WriteFileList({"c.datNEW1"});
    RunProgram("/usr/bin/strace",
               {"-o", "/dev/null", "-e", "inject=renameat:error=EIO:when=1", "-e", "inject=renameat2:error=EIO:when=2",
                UPDATER_PROGRAM},
               {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY"});
    ASSERT_TRUE(PathExists(fileList)) << "a file left under its reserved name went with the list";
    RunUpdaterProgram();
    EXPECT_EQ(ReadFile(game + "/c.dat"), "new c");
    EXPECT_EQ(SnapshotTree(staging).size(), 0u);
}

// A data file that is there but cannot be opened or read (held, denied, an I/O error) judges
// nothing: the list stays, nothing is installed, and the next run installs it. The call to fail
// is found by counting the calls a run makes before it reaches the file, in a run with no list.
TEST_F(FileListRun, ADataFileThatCannotBeReadKeepsTheListForTheNextRun)
{
    struct Row {
        const char *what;
        const char *call;
        const char *reached; // in the trace, where the file is opened
        const char *error;
        const char *later;   // "+": every later such call fails too
        bool settingsLinked; // the settings file is reached through a link
    };
    const Row rows[] = {
        {"the list's reads fail", "read", "/FileList.kdx\"", "EIO", "+", false},
        {"the settings file is denied", "openat", "/Settings.kdx\"", "EACCES", "", false},
        {"the settings file, a link, is denied", "openat", "/Settings.kdx\"", "EACCES", "", true},
    };
    const std::string settings = brackmoor + "/Settings.kdx";
    const std::string linkedSettings = brackmoor + "/Linked.kdx";
    const std::string trace = root + "/trace";
    RunProgram("/usr/bin/strace", {"-o", trace, "-e", "trace=read,openat", UPDATER_PROGRAM},
               {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY"});
    const std::string lines = ReadFile(trace);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Install("a.dat", "old a");
        Stage("a.datNEW1", "new a");
        WriteFileList({"a.datNEW1"});
        if (row.settingsLinked) {
            ASSERT_TRUE(rename(settings.c_str(), linkedSettings.c_str()) == 0 &&
                        symlink(linkedSettings.c_str(), settings.c_str()) == 0);
        }
        size_t reached = lines.find(row.reached);
        ASSERT_NE(reached, std::string::npos) << "the run never looked for the file";
        int callsBefore = 0;
        const std::string call = std::string("\n") + row.call + "(";
        for (size_t at = lines.find(call); at < reached; at = lines.find(call, at + 1))
            ++callsBefore;
        const std::string inject = std::string("inject=") + row.call + ":error=" + row.error +
                                   ":when=" + std::to_string(callsBefore + 1) + row.later;
        ProgramResult result = RunProgram(
            "/usr/bin/strace", {"-o", trace, "-e", std::string("trace=") + row.call, "-e", inject, UPDATER_PROGRAM},
            {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY"});
        ASSERT_NE(ReadFile(trace).find("(INJECTED)"), std::string::npos);
        // The player is told that the game folder is not known; a list that cannot be read is not.
        EXPECT_EQ(result.output, row.call == std::string("openat") ? "Error: No Dunmark Path Set.\n" : "");
        EXPECT_TRUE(PathExists(fileList)) << "the list went with a data file that could not be read";
        EXPECT_EQ(ReadFile(game + "/a.dat"), "old a");
        RunUpdaterProgram();
        EXPECT_EQ(ReadFile(game + "/a.dat"), "new a");
        EXPECT_FALSE(PathExists(fileList));
        if (row.settingsLinked) {
            ASSERT_EQ(rename(linkedSettings.c_str(), settings.c_str()), 0);
        }
    }
    // Nor is a settings file that can be neither opened nor examined taken for a missing one.
    WriteFileList({"a.datNEW1"});
    RunProgram("/usr/bin/strace",
               {"-f", "-o", trace, "-P", settings, "-e", "inject=openat:error=EACCES", "-e",
                "inject=newfstatat:error=EACCES", "-e", "inject=lstat:error=EACCES", UPDATER_PROGRAM},
               {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY"});
    ASSERT_NE(ReadFile(trace).find("stat"), std::string::npos) << "the settings file was never examined";
    EXPECT_TRUE(PathExists(fileList)) << "the list went with a settings file that could not be examined";
}

// Between the check of a staged file and its move, a program swaps a FIFO in under its name
// (the updater held inside the staged file's sync): what was swapped in is never installed, and
// the FIFO stays staged.
TEST_F(FileListRun, InstallsTheFileCheckedNotWhatWasSwappedInUnderItsName)
{
    const std::string staged = staging + "/Swap.datNEW1";
    Install("Swap.dat", "old");
    Stage("Swap.datNEW1", "checked");
    WriteFileList({"Swap.datNEW1"});
    pid_t traced = StartProgram("/usr/bin/strace",
                                {"-o", "/dev/null", "-e", "trace=fdatasync", "-e",
                                 "inject=fdatasync:delay_enter=2000000:when=1", UPDATER_PROGRAM},
                                {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY"});
    bool inside = false;
    while (waitpid(traced, nullptr, WNOHANG) == 0 && !(inside = ChildInsideSystemCall(traced, SYS_fdatasync))) {
    }
    bool swapped =
        inside && rename(staged.c_str(), (root + "/aside").c_str()) == 0 && mkfifo(staged.c_str(), 0644) == 0;
    waitpid(traced, nullptr, 0);
    ASSERT_TRUE(swapped) << "the updater was never seen syncing the staged file";
    struct stat info;
    ASSERT_EQ(lstat((game + "/Swap.dat").c_str(), &info), 0);
    ASSERT_TRUE(S_ISREG(info.st_mode)) << "what was swapped in was installed";
    EXPECT_EQ(ReadFile(game + "/Swap.dat"), "old") << "the staged name no longer holds the file checked: no install";
    EXPECT_TRUE(lstat(staged.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) << "the FIFO must stay staged";
}

// A staged second name of the installed file is opened for writing while the run removes it
// (the updater held inside that removal): the run goes on to its end.
TEST_F(FileListRun, AWriterMeetingTheRemovalOfAStagedNameDoesNotEndTheRun)
{
    const std::string staged = staging + "/Twin.datNEW1";
    Install("Twin.dat", "in place");
    ASSERT_EQ(link((game + "/Twin.dat").c_str(), staged.c_str()), 0);
    WriteFileList({"Twin.datNEW1"});
    pid_t traced = StartProgram("/usr/bin/strace",
                                {"-o", "/dev/null", "-e", "trace=unlinkat", "-e",
                                 "inject=unlinkat:delay_enter=2000000:when=1", UPDATER_PROGRAM},
                                // A leak check cannot run under ptrace: in a sanitizer build it
                                // would end the run itself.
                                {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY", "ASAN_OPTIONS=detect_leaks=0"});
    bool inside = false;
    while (waitpid(traced, nullptr, WNOHANG) == 0 && !(inside = ChildInsideSystemCall(traced, SYS_unlinkat))) {
    }
    int writer = inside ? open(staged.c_str(), O_WRONLY | O_NONBLOCK) : -1;
    if (writer >= 0)
        close(writer);
    int status = 0;
    waitpid(traced, &status, 0);
    ASSERT_TRUE(inside) << "the updater was never seen removing the staged name";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the run ended with status " << status;
    EXPECT_EQ(ReadFile(game + "/Twin.dat"), "in place");
}

// A client rewrites a staged file in one long write() (held two seconds) while the pass copies
// it across file systems: the file open for writing is in use, and what lands is the new file,
// whole, once the client has let it go.
TEST_F(FileListRun, InstallsAStagedFileBeingWrittenOnlyOnceItIsWritten)
{
    if (!IsOtherFileSystem("/dev/shm", root))
        GTEST_SKIP() << "needs /dev/shm on another file system than " << root;
    std::string otherGame = MakeTempFolder("/dev/shm");
    WriteSettings(otherGame);
    const std::string staged = staging + "/Big.pakNEW1";
    const std::string newer(1024 * 1024, 'n');
    WriteFile(otherGame + "/Big.pak", "old");
    Stage("Big.pakNEW1", std::string(1024 * 1024, 'o'));
    WriteFile(root + "/newer", newer);
    WriteFileList({"Big.pakNEW1"});
    pid_t writer =
        StartProgram("/usr/bin/strace",
                     {"-o", "/dev/null", "-e", "trace=write", "-e", "inject=write:delay_enter=2000000:when=1", "dd",
                      "if=" + root + "/newer", "of=" + staged, "bs=2M", "status=none"},
                     {});
    struct stat info;
    // dd empties the file as it opens it, then its one write waits.
    while (waitpid(writer, nullptr, WNOHANG) == 0 && !(stat(staged.c_str(), &info) == 0 && info.st_size == 0)) {
    }
    ProgramResult run = RunUpdaterProgram();
    waitpid(writer, nullptr, 0);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(ReadFile(otherGame + "/Big.pak") == newer) << "a file still being written was installed";
    EXPECT_FALSE(PathExists(staged));
    RemoveTree(otherGame);
}

// The call a run makes just before its first call whose trace line holds `marker`, as strace's
// injection names it ("fstat:when=3"), found by a traced run; empty when no call holds it.
std::string CallJustBefore(const std::string &home, const std::string &trace, const std::string &marker)
{
    RunProgram("/usr/bin/strace", {"-s", "4096", "-o", trace, UPDATER_PROGRAM},
               {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY", "ASAN_OPTIONS=detect_leaks=0"});
    std::istringstream lines(ReadFile(trace));
    std::vector<std::string> calls;
    for (std::string line; std::getline(lines, line);) {
        size_t paren = line.find('(');
        if (paren == std::string::npos || line[0] == '-' || line[0] == '+' || line[0] == '<')
            continue;
        if (line.find(marker) != std::string::npos && !calls.empty())
            return calls.back() + ":when=" + std::to_string(std::count(calls.begin(), calls.end(), calls.back()));
        calls.push_back(line.substr(0, paren));
    }
    return "";
}

// The state letter of process `process` ('t' or 'T' when stopped), 0 when it is gone.
char ProcessState(pid_t process)
{
    std::string stat = ReadFile("/proc/" + std::to_string(process) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

// Starts the updater under strace, stopped once the call `call` ("name:when=N") has returned;
// returns the stopped updater, 0 when it ended first, and strace's process in `*strace`.
pid_t StartStoppedAfter(const std::string &home, const std::string &trace, const std::string &call, pid_t *strace)
{
    // A trace left by an earlier run would show its stop before this run has begun.
    (void)unlink(trace.c_str());
    *strace = StartProgram("/usr/bin/strace",
                           {"-s", "4096", "-o", trace, "-e",
                            "inject=" + call.substr(0, call.find(':')) + ":signal=STOP" + call.substr(call.find(':')),
                            UPDATER_PROGRAM},
                           {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY", "ASAN_OPTIONS=detect_leaks=0"});
    while (waitpid(*strace, nullptr, WNOHANG) == 0) {
        pid_t child = 0;
        std::ifstream("/proc/" + std::to_string(*strace) + "/task/" + std::to_string(*strace) + "/children") >> child;
        char state = child != 0 ? ProcessState(child) : 0;
        if ((state == 't' || state == 'T') && ReadFile(trace).find("--- stopped by SIGSTOP") != std::string::npos)
            return child;
    }
    return 0;
}

// Lets the stopped `process` go on; SIGCONT is sent again until it is seen running, as one sent
// before strace has taken note of the stop can be lost.
void ContinueStopped(pid_t process)
{
    for (char state = 't'; state == 't' || state == 'T'; state = ProcessState(process))
        kill(process, SIGCONT);
}

// True while a lease that `holder` holds is being broken: the system's lock table, which other
// programs' leases share, is read for this holder's alone.
bool LeaseBreakingOf(pid_t holder)
{
    std::istringstream locks(ReadFile("/proc/locks"));
    const std::string process = " " + std::to_string(holder) + " ";
    for (std::string line; std::getline(locks, line);) {
        if (line.find("BREAKING") != std::string::npos && line.find(process) != std::string::npos)
            return true;
    }
    return false;
}

// Opens `path` for appending in a child, which blocks while the lease of `holder` on it is being
// broken, then appends `more`. Returns once the open is seen waiting on that lease.
pid_t AppendBehindLease(pid_t holder, const std::string &path, const std::string &more)
{
    pid_t writer = fork();
    if (writer == 0) {
        int file = open(path.c_str(), O_WRONLY | O_APPEND);
        _exit(file >= 0 && write(file, more.data(), more.size()) == (ssize_t)more.size() ? 0 : 1);
    }
    while (!LeaseBreakingOf(holder) && waitpid(writer, nullptr, WNOHANG) == 0) {
    }
    return writer;
}

// Another program acts on a staged name or on the list while the updater, held at the call named,
// takes it out of the client's reach: what the program put there is never deleted, and what a
// writer writes keeps a name.
TEST_F(FileListRun, WhatAClientDoesWhileAStagedNameOrTheListIsTakenIsKept)
{
    struct Row {
        const char *what;
        bool copied;        // the game folder on another file system: the staged name goes after the copy
        const char *marker; // the updater is held just before its first call whose trace line holds this
                            // (for 'c', right after the call named)
        char act;           // 'w' a writer appends to the staged file, 'r' a newer one is renamed over it,
                            // 'l' a new list is renamed over the list, 'c' a writer opens its reserved name
    };
    const Row rows[] = {
        {"a writer opens a staged name as it is removed", true, "\".~upd-staged~a.datNEW1\", RENAME_NOREPLACE", 'w'},
        {"a newer download is renamed over a staged name as it is removed", true,
         "\".~upd-staged~a.datNEW1\", RENAME_NOREPLACE", 'r'},
        {"a new list is renamed over the list as it is deleted", false,
         "\".~upd-staged~FileList.kdx\", RENAME_NOREPLACE", 'l'},
        // Held right after the rename over the target, before its second look at the lease: a
        // writer that looked the staged file up before the claim reaches it at the target now.
        {"a writer reaches the staged file as it is renamed over its target", false, "renameat:when=1", 'c'},
    };
    const bool canCopy = IsOtherFileSystem("/dev/shm", root);
    const std::string trace = root + "/trace";
    const std::string staged = staging + "/a.datNEW1";
    const std::string newList = KdxFile(FileListPayload({"b.datNEW1"}));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        if (row.copied && !canCopy)
            continue;
        const std::string target = row.copied ? MakeTempFolder("/dev/shm") : game;
        WriteSettings(target);
        auto stage = [&] {
            WriteFile(target + "/a.dat", "old a");
            Stage("a.datNEW1", "new a");
            WriteFileList({"a.datNEW1"});
        };
        stage();
        const std::string call = row.act == 'c' ? row.marker : CallJustBefore(home, trace, row.marker);
        ASSERT_NE(call, "") << "no run reaches " << row.marker;
        stage();
        pid_t strace = 0;
        pid_t updater = StartStoppedAfter(home, trace, call, &strace);
        ASSERT_NE(updater, 0) << "the updater was never held after " << call;
        pid_t writer = 0;
        if (row.act == 'w')
            writer = AppendBehindLease(updater, staged, " and more");
        if (row.act == 'c')
            writer = AppendBehindLease(updater, target + "/a.dat", " and more");
        if (row.act == 'r') {
            WriteFile(root + "/newer", "newer a");
            ASSERT_EQ(rename((root + "/newer").c_str(), staged.c_str()), 0);
        }
        if (row.act == 'l') {
            WriteFile(root + "/list", newList);
            ASSERT_EQ(rename((root + "/list").c_str(), fileList.c_str()), 0);
        }
        ContinueStopped(updater);
        waitpid(strace, nullptr, 0);
        int written = 0;
        if (writer != 0)
            waitpid(writer, &written, 0);
        EXPECT_TRUE(WIFEXITED(written) && WEXITSTATUS(written) == 0) << "the writer's open or write failed";
        const std::string expected = row.act == 'c' ? "new a and more" : "new a";
        EXPECT_EQ(ReadFile(target + "/a.dat"), expected);
        if (row.act == 'w') {
            EXPECT_EQ(ReadFile(staged), "new a and more") << "what the writer wrote has no name";
        } else if (row.act == 'r') {
            EXPECT_EQ(ReadFile(staged), "newer a") << "the newer download was deleted";
        } else if (row.act == 'l') {
            EXPECT_EQ(ReadFile(fileList), newList) << "the new list was deleted";
        } else {
            // The old file came back while the writer had the new one open, and the move was
            // tried again once the writer was done.
            EXPECT_NE(ReadFile(trace).find("rename(\"" + target + "/.~upd-"), std::string::npos)
                << "the old file never came back";
        }
        RemoveTree(staging);
        MakeFolders(staging);
        if (row.copied)
            RemoveTree(target);
    }
}

// What the disk cannot do is not taken for done: a folder sync refused as on a file system gone
// read-only keeps the staged names and the list; and what merely cannot be done there (no room
// for a reserved name, no permission bits) still installs.
TEST_F(FileListRun, WhatTheDiskCannotDoIsNeitherTakenForDoneNorForAFailedMove)
{
    struct Row {
        const char *what;
        bool copied;
        const char *inject;
        bool installed; // the new content is at the target after the run
        bool listKept;
    };
    const Row rows[] = {
        {"folder syncs fail as on a file system gone read-only", true, "fsync:error=EROFS:when=2+", true, true},
        {"the staged name cannot be claimed for want of room", false, "renameat2:error=ENOSPC:when=1", true, false},
        {"the copy's permission bits are refused (FAT)", true, "fchmod:error=EPERM", true, false},
    };
    const bool canCopy = IsOtherFileSystem("/dev/shm", root);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        if (row.copied && !canCopy)
            continue;
        const std::string target = row.copied ? MakeTempFolder("/dev/shm") : game;
        WriteSettings(target);
        WriteFile(target + "/a.dat", "old a");
        Stage("a.datNEW1", "new a");
        WriteFileList({"a.datNEW1"});
        ProgramResult result = RunProgram(
            "/usr/bin/strace", {"-o", "/dev/null", "-e", std::string("inject=") + row.inject, UPDATER_PROGRAM},
            {"HOME=" + home, "XDG_DATA_HOME", "DISPLAY", "ASAN_OPTIONS=detect_leaks=0"});
        EXPECT_EQ(ReadFile(target + "/a.dat"), row.installed ? "new a" : "old a");
        EXPECT_EQ(PathExists(fileList), row.listKept);
        EXPECT_EQ(PathExists(staging + "/a.datNEW1"), row.listKept) << "the staged name went before it was safe";
        RunUpdaterProgram();
        EXPECT_EQ(ReadFile(target + "/a.dat"), "new a");
        EXPECT_FALSE(PathExists(fileList));
        if (row.copied)
            RemoveTree(target);
    }
}

// Files a killed run left under their reserved names get their names back at the next run, even
// when its list does not name them; one whose name the client has filled again stays.
TEST_F(FileListRun, FilesLeftUnderReservedNamesGetTheirNamesBackUnlisted)
{
    MakeFolders(staging + "/Maps");
    Stage(".~upd-staged~x.datNEW1", "left by a kill");
    Stage("Maps/.~upd-staged~m.mapNEW1", "left too");
    Stage("Maps/.~upd-staged~n.mapNEW1", "older");
    Stage("Maps/n.mapNEW1", "staged again");
    const std::string plan = RunProgram(KDX_PROGRAM, {"plan", "--data-folder", home + "/.local/share"}, {}).output;
    EXPECT_NE(plan.find("~x.datNEW1: the next run gives it its name back"), std::string::npos) << plan;
    EXPECT_NE(plan.find("~n.mapNEW1: waiting for its name"), std::string::npos) << plan;
    RunUpdaterProgram();
    EXPECT_EQ(ReadFile(staging + "/x.datNEW1"), "left by a kill");
    EXPECT_EQ(ReadFile(staging + "/Maps/m.mapNEW1"), "left too");
    EXPECT_EQ(ReadFile(staging + "/Maps/n.mapNEW1"), "staged again");
    EXPECT_EQ(ReadFile(staging + "/Maps/.~upd-staged~n.mapNEW1"), "older");

    // A list left under its reserved name while the client wrote a newer one is older: it goes
    // with the newer one, and neither stays to be applied again.
    Install("x.dat", "old x");
    WriteFile(staging + "/.~upd-staged~FileList.kdx", KdxFile(FileListPayload({"Maps/m.mapNEW1"})));
    WriteFileList({"x.datNEW1"});
    RunUpdaterProgram();
    EXPECT_EQ(ReadFile(game + "/x.dat"), "left by a kill");
    EXPECT_FALSE(PathExists(fileList));
    EXPECT_FALSE(PathExists(staging + "/.~upd-staged~FileList.kdx"));
}

// A run with no list still settles what killed runs left in the game folder itself; deeper
// folders wait for a list that installs there.
TEST_F(FileListRun, ARunWithoutAListRemovesLeftoversInTheGameFolderItself)
{
    const std::string name = "/.~upd-" + std::to_string(EndedProcessId()) + "-7.tmp";
    MakeFolders(game + "/Maps");
    WriteFile(game + name, "left by a killed run");
    WriteFile(game + "/Maps" + name, "left deeper");
    EXPECT_EQ(RunUpdaterProgram().exitCode, 0);
    EXPECT_FALSE(PathExists(game + name)) << "a leftover in the game folder stayed";
    EXPECT_TRUE(PathExists(game + "/Maps" + name));
}

// A data folder and a game folder of exactly the lengths that still fit, and one byte more.
TEST(FileListLimits, PathsAtTheirLimitFitAndOneMoreIsRefused)
{
    std::string root = MakeTempFolder();
    const std::string name = std::string(123, 'q') + ".new"; // 127 bytes
    struct Case {
        size_t dataFolderLength;
        size_t gameFolderLength;
        bool installed;
    } cases[] = {{110, 100, true}, {111, 100, false}, {100, 256, false}, {100, 255, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.dataFolderLength) + "/" + std::to_string(c.gameFolderLength));
        auto padded = [&](const std::string &start, size_t length) {
            std::string path = start + "/";
            while (path.size() < length) {
                size_t part = std::min<size_t>(200, length - path.size());
                path += std::string(part, 'p');
                if (path.size() < length - 1)
                    path += "/";
            }
            return path.substr(0, length);
        };
        RemoveTree(root + "/d");
        RemoveTree(root + "/g");
        std::string data = padded(root + "/d", c.dataFolderLength);
        std::string game = padded(root + "/g", c.gameFolderLength);
        // The target is measured before its suffix is dropped: 255 + "/" + 127 = 383 fits.
        ASSERT_EQ(data.size(), c.dataFolderLength);
        MakeFolders(data + "/Brackmoor Games/Temp");
        MakeFolders(game);
        WriteFile(data + "/Brackmoor Games/Settings.kdx", KdxFile(SettingsPayload(game)));
        WriteFile(data + "/Brackmoor Games/Temp/FileList.kdx", KdxFile(FileListPayload({name})));
        WriteFile(data + "/Brackmoor Games/Temp/" + name, "payload");
        RunProgram(UPDATER_PROGRAM, {}, {"XDG_DATA_HOME=" + data, "DISPLAY"});
        EXPECT_EQ(PathExists(game + "/" + name.substr(0, 123)), c.installed);
        EXPECT_EQ(PathExists(data + "/Brackmoor Games/Temp/" + name), !c.installed);
    }
    RemoveTree(root);
}

} // namespace
