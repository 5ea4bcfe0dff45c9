// Killed at any moment, the updater never leaves an installed file missing or half-written,
// and never loses a staged file it has not installed yet. The staging folder lies on a tmpfs
// and the game folder on the disk, so every move is a copy that takes time to interrupt.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/test_support.h"

namespace {

const int kKills = 50;
const int kFiles = 4;
const size_t kFileSize = 8 * 1024 * 1024;

// The old ('o') or new ('n') content of a file, made once.
const std::string &Content(int file, char version)
{
    static std::map<std::pair<int, char>, std::string> made;
    std::string &content = made[{file, version}];
    if (content.empty()) {
        content.resize(kFileSize);
        for (size_t i = 0; i < content.size(); ++i)
            content[i] = (char)(version + file * 7 + (i % 251));
    }
    return content;
}

struct Layout {
    std::string home;    // on the tmpfs
    std::string staging; // on the tmpfs
    std::string game;    // on the disk
};

std::string InstalledName(int file)
{
    return "Pack" + std::to_string(file) + ".pak";
}

// Files 0..kFiles-2 replace installed ones; the last one is new to the game folder.
void StageUpdate(const Layout &layout)
{
    RemoveTree(layout.home);
    RemoveTree(layout.game);
    MakeFolders(layout.staging);
    MakeFolders(layout.game);
    std::vector<std::string> names;
    for (int file = 0; file < kFiles; ++file) {
        if (file < kFiles - 1)
            WriteFile(layout.game + "/" + InstalledName(file), Content(file, 'o'));
        WriteFile(layout.staging + "/" + InstalledName(file) + ".new", Content(file, 'n'));
        names.push_back(InstalledName(file) + ".new");
    }
    WriteFile(layout.home + "/.local/share/Brackmoor Games/Settings.kdx", KdxFile(SettingsPayload(layout.game)));
    WriteFile(layout.staging + "/FileList.kdx", KdxFile(FileListPayload(names)));
}

double RunToCompletion(const Layout &layout)
{
    ProgramResult result = RunProgram(UPDATER_PROGRAM, {}, {"HOME=" + layout.home, "XDG_DATA_HOME", "DISPLAY"});
    EXPECT_EQ(result.exitCode, 0);
    return result.seconds;
}

// Every installed file whole (old or new), every staged file whole or installed.
void ExpectNothingLostOrTorn(const Layout &layout, const std::string &when, int *installedCount)
{
    for (int file = 0; file < kFiles; ++file) {
        std::string target = ReadFile(layout.game + "/" + InstalledName(file));
        std::string staged = ReadFile(layout.staging + "/" + InstalledName(file) + ".new");
        bool targetNew = target == Content(file, 'n');
        bool targetOld = file < kFiles - 1 ? target == Content(file, 'o') : target == "<missing>";
        EXPECT_TRUE(targetNew || targetOld)
            << when << ": " << InstalledName(file) << " is torn or lost (" << target.size() << " bytes)";
        EXPECT_TRUE(staged == Content(file, 'n') || (staged == "<missing>" && targetNew))
            << when << ": the staged copy of " << InstalledName(file) << " is lost or changed";
        if (targetNew)
            ++*installedCount;
    }
}

TEST(CrashConsistency, KilledAnywhereLosesNoFile)
{
    struct stat tmpfs;
    struct stat disk;
    std::string diskRoot = MakeTempFolder();
    ASSERT_EQ(stat("/dev/shm", &tmpfs), 0) << "needs /dev/shm";
    ASSERT_EQ(stat(diskRoot.c_str(), &disk), 0);
    ASSERT_NE(tmpfs.st_dev, disk.st_dev) << "/dev/shm and " << diskRoot << " must be different file systems";
    std::string memoryRoot = MakeTempFolder("/dev/shm");
    Layout layout{memoryRoot + "/home", memoryRoot + "/home/.local/share/Brackmoor Games/Temp", diskRoot + "/game"};

    StageUpdate(layout);
    double fullRun = RunToCompletion(layout);
    int installed = 0;
    ExpectNothingLostOrTorn(layout, "uninterrupted run", &installed);
    ASSERT_EQ(installed, kFiles);
    // Spread the kills from just before the pass begins (after the 500 ms pause) to its end.
    double firstKill = 0.49;
    double lastKill = fullRun;

    int killedMidPass = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        StageUpdate(layout);
        double delay = firstKill + (lastKill - firstKill) * kill / (kKills - 1);
        std::string when = "killed after " + std::to_string((int)(delay * 1000)) + " ms";
        pid_t updater = StartProgram(UPDATER_PROGRAM, {}, {"HOME=" + layout.home, "XDG_DATA_HOME", "DISPLAY"});
        std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        ::kill(updater, SIGKILL);
        int status = 0;
        waitpid(updater, &status, 0);

        int installedBeforeRecovery = 0;
        ExpectNothingLostOrTorn(layout, when, &installedBeforeRecovery);
        if (WIFSIGNALED(status) && installedBeforeRecovery > 0 && installedBeforeRecovery < kFiles)
            ++killedMidPass;

        RunToCompletion(layout);
        int installedAfterRecovery = 0;
        ExpectNothingLostOrTorn(layout, when + ", then a complete run", &installedAfterRecovery);
        EXPECT_FALSE(PathExists(layout.staging + "/FileList.kdx")) << when;
        // A later complete run finishes what the killed one began, or (when the kill came after
        // the list was gone) there is nothing left to finish.
        if (installedBeforeRecovery < kFiles) {
            EXPECT_EQ(installedAfterRecovery, kFiles) << when;
        }
        auto gameFiles = SnapshotTree(layout.game);
        EXPECT_EQ(gameFiles.size(), (size_t)kFiles) << when << ": a temporary file is left in the game folder";
    }
    // The kills must really have landed inside the pass, not all before or after it.
    EXPECT_GE(killedMidPass, kKills / 5) << "too few kills fell inside the pass";
    std::cout << "kills inside the pass: " << killedMidPass << " of " << kKills << " (pass took about "
              << (int)((fullRun - 0.5) * 1000) << " ms)\n";
    RemoveTree(memoryRoot);
    RemoveTree(diskRoot);
}

} // namespace
