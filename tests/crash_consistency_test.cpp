// Killed at any moment, the updater never leaves an installed file missing or half-written,
// and never loses a staged file it has not installed yet. The staging folder lies on a tmpfs
// and the game folder on the disk, so every move is a copy that takes time to interrupt; the
// kills are timed by how far the copy has got.
#include <dirent.h>
#include <gtest/gtest.h>
#include <string.h>
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

void RunToCompletion(const Layout &layout)
{
    ProgramResult result = RunProgram(UPDATER_PROGRAM, {}, {"HOME=" + layout.home, "XDG_DATA_HOME", "DISPLAY"});
    EXPECT_EQ(result.exitCode, 0);
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

// Waits until the updater `pid` is copying file `file` (every earlier one installed) and the copy
// holds at least `bytes` bytes. False when the updater ended or moved past that point first.
bool WaitForProgress(pid_t pid, const Layout &layout, int file, long long bytes)
{
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            // Reaped here: the caller must not wait for it again.
            return false;
        }
        bool earlierDone = true;
        for (int earlier = 0; earlier < file; ++earlier)
            earlierDone = earlierDone && !PathExists(layout.staging + "/" + InstalledName(earlier) + ".new");
        if (!PathExists(layout.staging + "/" + InstalledName(file) + ".new"))
            return false; // already installed: too late for this moment
        if (earlierDone && CopyInProgressSize(pid, layout.game) >= bytes)
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
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
    RunToCompletion(layout);
    int installed = 0;
    ExpectNothingLostOrTorn(layout, "uninterrupted run", &installed);
    ASSERT_EQ(installed, kFiles);

    // Kill moments from the updater's own progress, not from the clock: for each file, when its
    // copy has reached 0, 1/12, ..., 11/12 of its size.
    const int steps = kKills / kFiles;
    int killedMidPass = 0;
    for (int kill = 0; kill < steps * kFiles; ++kill) {
        int file = kill / steps;
        long long bytes = (long long)(kFileSize * (kill % steps) / steps);
        StageUpdate(layout);
        std::string when = "killed copying file " + std::to_string(file) + " at " + std::to_string(bytes) + " bytes";
        pid_t updater = StartProgram(UPDATER_PROGRAM, {}, {"HOME=" + layout.home, "XDG_DATA_HOME", "DISPLAY"});
        bool reached = WaitForProgress(updater, layout, file, bytes);
        ::kill(updater, SIGKILL);
        int status = 0;
        (void)waitpid(updater, &status, 0);

        int installedBeforeRecovery = 0;
        ExpectNothingLostOrTorn(layout, when, &installedBeforeRecovery);
        if (reached && WIFSIGNALED(status))
            ++killedMidPass;

        RunToCompletion(layout);
        int installedAfterRecovery = 0;
        ExpectNothingLostOrTorn(layout, when + ", then a complete run", &installedAfterRecovery);
        EXPECT_FALSE(PathExists(layout.staging + "/FileList.kdx")) << when;
        if (installedBeforeRecovery < kFiles) {
            EXPECT_EQ(installedAfterRecovery, kFiles) << when;
        }
        auto gameFiles = SnapshotTree(layout.game);
        EXPECT_EQ(gameFiles.size(), (size_t)kFiles) << when << ": a temporary file is left in the game folder";
    }
    // The kills must really have landed inside copies, not before or after the pass.
    EXPECT_GE(killedMidPass, kKills / 5) << "too few kills fell inside the pass";
    std::cout << "kills inside a copy: " << killedMidPass << " of " << steps * kFiles << "\n";
    RemoveTree(memoryRoot);
    RemoveTree(diskRoot);
}

} // namespace
