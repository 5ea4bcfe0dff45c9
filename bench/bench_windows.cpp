// The Windows benchmark, run under Wine by bench/wine.sh: the real updater.exe's file-list pass
// against the plain Win32 loops doing the same moves, on one volume. The pass is timed as the
// difference between a run with a 255-entry list and one with an empty list, since a whole run
// also holds the process start and the 500 ms pause before the first look for the browser.
// Usage:
//   bench_windows stage GAME STAGING LIST
//       installs the targets, stages the files and copies LIST in as the file list
//   bench_windows time GAME STAGING LIST EMPTY_LIST UPDATER ROUNDS
//       in each round, each after a fresh stage: UPDATER with LIST, UPDATER with EMPTY_LIST, the
//       durable loop, the bare loop; prints their medians and the ratios
// The staged files are STAGING\fileN.dat.new (N from 0 to 254), the targets GAME\fileN.dat.
#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>
#include <windows.h>

namespace {

const int FILE_COUNT = 255;
const DWORD FILE_SIZE = 4096;

void Fail(const char *what, const std::wstring &path)
{
    fprintf(stderr, "bench_windows: %s %ls (error %lu)\n", what, path.c_str(), GetLastError());
    exit(1);
}

double Now()
{
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (double)count.QuadPart / (double)frequency.QuadPart;
}

struct Folders {
    std::wstring game;
    std::wstring staging;
};

std::wstring Staged(const Folders &folders, int i)
{
    return folders.staging + L"\\file" + std::to_wstring(i) + L".dat.new";
}

std::wstring Target(const Folders &folders, int i)
{
    return folders.game + L"\\file" + std::to_wstring(i) + L".dat";
}

void WriteContent(const std::wstring &path, char fill, bool flush)
{
    char content[FILE_SIZE];
    memset(content, fill, sizeof content);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, content, sizeof content, &written, NULL) ||
        written != sizeof content || (flush && !FlushFileBuffers(file)) || !CloseHandle(file))
        Fail("cannot write", path);
}

// The installed files are flushed, so that no timed pass pays for them; the staged files are
// written as a client writes them, without a flush, so that a durable pass pays for theirs.
// An empty `list` stages no file list (for the loops).
void Stage(const Folders &folders, const std::wstring &list)
{
    for (int i = 0; i < FILE_COUNT; ++i)
        WriteContent(Target(folders, i), 'o', true);
    std::wstring listCopy = folders.staging + L"\\FileList.kdx";
    if (!list.empty() && !CopyFileW(list.c_str(), listCopy.c_str(), FALSE))
        Fail("cannot copy the file list to", listCopy);
    for (int i = 0; i < FILE_COUNT; ++i)
        WriteContent(Staged(folders, i), 'n', false);
}

char FirstByte(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    char first = 0;
    DWORD got = 0;
    if (file == INVALID_HANDLE_VALUE || !ReadFile(file, &first, 1, &got, NULL) || got != 1)
        Fail("cannot read", path);
    CloseHandle(file);
    return first;
}

bool Exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A timing counts only if the moves were made: every target new and every staged name gone (or,
// for the empty list, every target old and every staged file still there).
void CheckInstalled(const Folders &folders, bool installed, const char *what)
{
    for (int i = 0; i < FILE_COUNT; ++i) {
        if (FirstByte(Target(folders, i)) != (installed ? 'n' : 'o') || Exists(Staged(folders, i)) == installed) {
            fprintf(stderr, "bench_windows: %s: file %d is not as expected\n", what, i);
            exit(1);
        }
    }
}

double RunUpdater(const std::wstring &program)
{
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    double started = Now();
    if (!CreateProcessW(program.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        Fail("cannot start", program);
    WaitForSingleObject(process.hProcess, INFINITE);
    double elapsed = Now() - started;
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (code != 0) {
        fprintf(stderr, "bench_windows: the updater ended with code %lu\n", code);
        exit(1);
    }
    return elapsed;
}

double TimeBareLoop(const Folders &folders)
{
    double started = Now();
    for (int i = 0; i < FILE_COUNT; ++i) {
        std::wstring staged = Staged(folders, i);
        if (!MoveFileExW(staged.c_str(), Target(folders, i).c_str(), MOVEFILE_REPLACE_EXISTING))
            Fail("cannot move", staged);
    }
    return Now() - started;
}

// The least a durable pass does on Windows: flush each staged file, then move it through to the
// disk. (Wine ignores MOVEFILE_WRITE_THROUGH; Windows waits for the move to be written.)
double TimeDurableLoop(const Folders &folders)
{
    double started = Now();
    for (int i = 0; i < FILE_COUNT; ++i) {
        std::wstring staged = Staged(folders, i);
        HANDLE file = CreateFileW(staged.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE || !FlushFileBuffers(file) || !CloseHandle(file))
            Fail("cannot flush", staged);
        if (!MoveFileExW(staged.c_str(), Target(folders, i).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            Fail("cannot move", staged);
    }
    return Now() - started;
}

struct Timings {
    const char *name;
    std::vector<double> seconds;
};

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void PrintRow(const Timings &timings)
{
    const std::vector<double> &values = timings.seconds;
    printf("  %-58s %8.1f ms  (%.1f to %.1f)\n", timings.name, Median(values) * 1e3,
           *std::min_element(values.begin(), values.end()) * 1e3,
           *std::max_element(values.begin(), values.end()) * 1e3);
}

int Time(const Folders &folders, const std::wstring &list, const std::wstring &emptyList, const std::wstring &updater,
         int rounds)
{
    Timings full = {"updater.exe, 255-entry list (whole run)", {}};
    Timings empty = {"updater.exe, 0-entry list (whole run)", {}};
    Timings durable = {"durable loop (FlushFileBuffers, MoveFileExW WRITE_THROUGH)", {}};
    Timings bare = {"bare loop (MoveFileExW)", {}};
    for (int round = 0; round < rounds; ++round) {
        Stage(folders, list);
        full.seconds.push_back(RunUpdater(updater));
        CheckInstalled(folders, true, "the 255-entry run");
        Stage(folders, emptyList);
        empty.seconds.push_back(RunUpdater(updater));
        CheckInstalled(folders, false, "the 0-entry run");
        if (Exists(folders.staging + L"\\FileList.kdx")) {
            fprintf(stderr, "bench_windows: the 0-entry run left its list\n");
            return 1;
        }
        Stage(folders, L"");
        durable.seconds.push_back(TimeDurableLoop(folders));
        CheckInstalled(folders, true, "the durable loop");
        Stage(folders, L"");
        bare.seconds.push_back(TimeBareLoop(folders));
        CheckInstalled(folders, true, "the bare loop");
    }
    double pass = Median(full.seconds) - Median(empty.seconds);
    printf("255 files of 4 KiB written without a flush, one volume, each replacing an installed file "
           "(median of %d rounds; min to max):\n",
           rounds);
    PrintRow(full);
    PrintRow(empty);
    printf("  %-58s %8.1f ms\n", "the pass (difference of the two medians)", pass * 1e3);
    PrintRow(durable);
    PrintRow(bare);
    printf("  pass / durable loop: %.2f (target 1.5)\n", pass / Median(durable.seconds));
    printf("  pass / bare loop:    %.2f\n", pass / Median(bare.seconds));
    return 0;
}

} // namespace

int main()
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> args(arguments, arguments + (arguments != NULL ? count : 0));
    if (args.size() == 5 && args[1] == L"stage") {
        Stage(Folders{args[2], args[3]}, args[4]);
        return 0;
    }
    if (args.size() == 8 && args[1] == L"time" && _wtoi(args[7].c_str()) > 0)
        return Time(Folders{args[2], args[3]}, args[4], args[5], args[6], _wtoi(args[7].c_str()));
    fprintf(stderr, "usage: bench_windows stage GAME STAGING LIST\n"
                    "       bench_windows time GAME STAGING LIST EMPTY_LIST UPDATER ROUNDS\n");
    return 2;
}
