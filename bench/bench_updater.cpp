// Measures the file-list phase against the plain tools doing the same moves, the updater's
// peak memory, and a run with nothing to do against its 500 ms pause. Run by bench/run.sh.
// Usage: bench_updater UPDATER_PROGRAM [a|a-only]   (with "a": the rows on one file system alone;
// "a-only": (a) alone, for many runs against the disk's wandering)
#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "datafiles/file_list.h"
#include "datafiles/kdx_writer.h"
#include "updater/updater_state.h"

namespace {

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Fail(const std::string &what)
{
    fprintf(stderr, "bench: %s\n", what.c_str());
    exit(1);
}

void Shell(const std::string &command)
{
    if (system(command.c_str()) != 0)
        Fail("command failed: " + command);
}

void WriteBytes(const std::string &path, const std::string &bytes)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || fclose(file) != 0)
        Fail("cannot write " + path);
}

struct Scenario {
    std::string root;     // holds the data folder
    std::string gameRoot; // holds the game folder (the same as root on one file system)
    std::string data;     // the per-user data folder
    std::string staging;  // data + "/Brackmoor Games/Temp"
    std::string game;     // the game folder
    std::vector<std::string> names;
};

// Stages `count` files of `size` bytes and a file list naming them; the game folder holds an
// installed copy of each, so every move replaces a file. The installed files are on disk; the
// staged ones are written as a client writes them, without a sync, so that a durable pass pays
// for flushing them.
void Stage(Scenario *scenario, int count, size_t size)
{
    Shell("rm -rf '" + scenario->data + "' '" + scenario->game + "'");
    Shell("mkdir -p '" + scenario->staging + "' '" + scenario->game + "'");
    std::string content(size, 'n');
    std::string old(size, 'o');
    scenario->names.clear();
    for (int i = 0; i < count; ++i) {
        std::string name = "file" + std::to_string(i) + ".dat";
        WriteBytes(scenario->game + "/" + name, old);
        scenario->names.push_back(name + ".new");
    }
    std::string payload;
    if (!MakeFileListPayload(scenario->names, &payload))
        Fail("file list");
    WriteBytes(scenario->staging + "/FileList.kdx", MakeKdxContainer(payload));
    std::string settings;
    if (!MakeSettingsPayload(scenario->game, "", &settings))
        Fail("settings");
    WriteBytes(scenario->data + "/Brackmoor Games/Settings.kdx", MakeKdxContainer(settings));
    sync(); // the installed files and the data files must not be flushed inside a timed pass
    for (const std::string &name : scenario->names)
        WriteBytes(scenario->staging + "/" + name, content);
}

// Leaves `mebibytes` MiB of another program's data unwritten on the scenario's file system, as a
// download or a game's log beside the update would.
void WriteOtherData(const Scenario &scenario, int mebibytes)
{
    std::string block(1u << 20, 'x');
    FILE *file = fopen((scenario.root + "/other.bin").c_str(), "wb");
    for (int i = 0; file != nullptr && i < mebibytes; ++i)
        if (fwrite(block.data(), 1, block.size(), file) != block.size())
            Fail("cannot write other data");
    if (file == nullptr || fclose(file) != 0)
        Fail("cannot write other data");
}

double TimeFileListPhase(const Scenario &scenario)
{
    ResetUpdaterState();
    snprintf(g_UpdaterState.AppDataPath, sizeof g_UpdaterState.AppDataPath, "%s", scenario.data.c_str());
    snprintf(g_UpdaterState.GamePath, sizeof g_UpdaterState.GamePath, "%s", scenario.game.c_str());
    double started = Now();
    ProcessFileList(UPDATE_RUN_LOCK_WAIT_MS);
    double elapsed = Now() - started;
    struct stat info;
    if (stat((scenario.game + "/file0.dat").c_str(), &info) != 0 || info.st_size == 0 ||
        stat((scenario.staging + "/FileList.kdx").c_str(), &info) == 0)
        Fail("the file-list phase did not install the files");
    return elapsed;
}

double TimeRenameLoop(const Scenario &scenario)
{
    double started = Now();
    for (const std::string &name : scenario.names) {
        std::string target = scenario.game + "/" + name.substr(0, name.size() - 4);
        if (rename((scenario.staging + "/" + name).c_str(), target.c_str()) != 0)
            Fail("rename failed");
    }
    return Now() - started;
}

// The least a durable pass must do: sync each staged file, rename it, sync the folder once.
double TimeDurableRenameLoop(const Scenario &scenario)
{
    double started = Now();
    for (const std::string &name : scenario.names) {
        std::string source = scenario.staging + "/" + name;
        int descriptor = open(source.c_str(), O_RDONLY);
        if (descriptor < 0 || fsync(descriptor) != 0 || close(descriptor) != 0)
            Fail("fsync failed");
        std::string target = scenario.game + "/" + name.substr(0, name.size() - 4);
        if (rename(source.c_str(), target.c_str()) != 0)
            Fail("rename failed");
    }
    int folder = open(scenario.game.c_str(), O_RDONLY | O_DIRECTORY);
    if (folder < 0 || fsync(folder) != 0 || close(folder) != 0)
        Fail("folder fsync failed");
    return Now() - started;
}

double TimeCopySyncRemove(const Scenario &scenario)
{
    double started = Now();
    Shell("cd '" + scenario.staging + "' && cp *.new '" + scenario.game + "/' && sync && rm *.new");
    return Now() - started;
}

struct Run {
    double seconds;
    long peakKilobytes;
};

Run RunUpdater(const char *updater, const std::string &data)
{
    double started = Now();
    pid_t child = fork();
    if (child == 0) {
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        unsetenv("DISPLAY");
        execl(updater, updater, (char *)nullptr);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        Fail("the updater did not exit with 0");
    return Run{Now() - started, usage.ru_maxrss};
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string MakeFolder(const std::string &parent)
{
    std::string pattern = parent + "/updater-bench-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        Fail("mkdtemp under " + parent);
    return buffer.data();
}

Scenario MakeScenario(const std::string &dataParent, const std::string &gameParent)
{
    Scenario scenario;
    scenario.root = MakeFolder(dataParent);
    scenario.data = scenario.root + "/data";
    scenario.staging = scenario.data + "/Brackmoor Games/Temp";
    scenario.gameRoot = gameParent == dataParent ? scenario.root : MakeFolder(gameParent);
    scenario.game = scenario.gameRoot + "/game";
    return scenario;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 3)
        Fail("usage: bench_updater UPDATER_PROGRAM [a|a-only]");
    const char *updater = argv[1];
    bool onlyOneFileSystem = argc == 3; // the rows of (a) alone
    const char *tmp = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp";
    const int rounds = 5;

    // (a) 255 small files, one file system.
    Scenario same = MakeScenario(tmp, tmp);
    std::vector<double> phase;
    std::vector<double> durable;
    std::vector<double> loop;
    for (int round = 0; round < rounds; ++round) {
        Stage(&same, 255, 4096);
        phase.push_back(TimeFileListPhase(same));
        Stage(&same, 255, 4096);
        durable.push_back(TimeDurableRenameLoop(same));
        Stage(&same, 255, 4096);
        loop.push_back(TimeRenameLoop(same));
    }
    Stage(&same, 255, 4096);
    Run sameRun = RunUpdater(updater, same.data);
    printf("(a) 255 files of 4 KiB written without a sync, one file system (median of %d):\n", rounds);
    printf("    file-list phase %.2f ms, durable loop (fsync, rename; one folder fsync) %.2f ms: ratio %.2f "
           "(target 1.2)\n",
           Median(phase) * 1e3, Median(durable) * 1e3, Median(phase) / Median(durable));
    printf("    bare rename loop %.2f ms: ratio %.2f (what durability costs)\n", Median(loop) * 1e3,
           Median(phase) / Median(loop));
    printf("    peak memory of the whole updater run: %ld KiB (target under 8192)\n", sameRun.peakKilobytes);
    if (onlyOneFileSystem && strcmp(argv[2], "a-only") == 0) {
        Shell("rm -rf '" + same.root + "'");
        return 0;
    }

    // (a') The same beside 256 MiB of another program's unwritten data on that file system.
    phase.clear();
    durable.clear();
    loop.clear();
    for (int round = 0; round < rounds; ++round) {
        Stage(&same, 255, 4096);
        WriteOtherData(same, 256);
        phase.push_back(TimeFileListPhase(same));
        Stage(&same, 255, 4096);
        WriteOtherData(same, 256);
        durable.push_back(TimeDurableRenameLoop(same));
        Stage(&same, 255, 4096);
        WriteOtherData(same, 256);
        loop.push_back(TimeRenameLoop(same));
    }
    printf("(a') the same beside 256 MiB of other unwritten data (median of %d):\n", rounds);
    printf("    file-list phase %.2f ms, durable loop %.2f ms: ratio %.2f; bare rename loop %.2f ms: ratio %.2f\n",
           Median(phase) * 1e3, Median(durable) * 1e3, Median(phase) / Median(durable), Median(loop) * 1e3,
           Median(phase) / Median(loop));
    Shell("rm -f '" + same.root + "/other.bin'");
    if (onlyOneFileSystem) {
        Shell("rm -rf '" + same.root + "'");
        return 0;
    }

    // (b) 64 files of 16 MiB, staging on a tmpfs, game folder on the disk.
    Scenario across = MakeScenario("/dev/shm", tmp);
    std::vector<double> acrossPhase;
    std::vector<double> copySync;
    for (int round = 0; round < 3; ++round) {
        Stage(&across, 64, 16u << 20);
        acrossPhase.push_back(TimeFileListPhase(across));
        Stage(&across, 64, 16u << 20);
        copySync.push_back(TimeCopySyncRemove(across));
    }
    Stage(&across, 64, 16u << 20);
    Run acrossRun = RunUpdater(updater, across.data);
    printf("(b) 64 files of 16 MiB, tmpfs to disk (median of 3):\n");
    printf("    file-list phase %.0f ms, cp + sync + rm %.0f ms: ratio %.2f (target 1.3)\n", Median(acrossPhase) * 1e3,
           Median(copySync) * 1e3, Median(acrossPhase) / Median(copySync));
    printf("    peak memory of the whole updater run: %ld KiB\n", acrossRun.peakKilobytes);

    // (c) Nothing to do: no data files at all.
    Scenario empty = MakeScenario(tmp, tmp);
    Shell("mkdir -p '" + empty.data + "'");
    std::vector<double> idle;
    for (int round = 0; round < 10; ++round)
        idle.push_back(RunUpdater(updater, empty.data).seconds);
    printf("(c) a run with nothing to do: %.1f ms, %.1f ms over the 500 ms pause (target 20)\n", Median(idle) * 1e3,
           (Median(idle) - 0.5) * 1e3);

    Shell("rm -rf '" + same.root + "' '" + across.root + "' '" + across.gameRoot + "' '" + empty.root + "'");
    return 0;
}
