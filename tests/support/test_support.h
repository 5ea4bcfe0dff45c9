// Helpers shared by the native tests: throw-away folders, data files made byte by byte,
// running a real program with its own environment, and snapshots of a folder tree.
#ifndef TESTS_SUPPORT_TEST_SUPPORT_H
#define TESTS_SUPPORT_TEST_SUPPORT_H

#include <map>
#include <sys/types.h>
#include <string>
#include <vector>

// A LenString field: 16-bit little-endian length, then the bytes.
std::string LenString(const std::string &text);
// A container: marker, signature, version, flag, then the payload.
std::string KdxFile(const std::string &payload, unsigned char version = 1, unsigned char flag = 0);
std::string SettingsPayload(const std::string &gameFolder, const std::string &firstString = "");
std::string FileListPayload(const std::vector<std::string> &names);

// Creates a fresh folder under $TMPDIR (or /tmp), or under `parent` when given.
std::string MakeTempFolder(const std::string &parent = "");
void RemoveTree(const std::string &path);
void MakeFolders(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);
std::string ReadFile(const std::string &path);
bool PathExists(const std::string &path);

// Every entry below `root` (relative path -> "dir", or "file:" + content + mode), to prove a
// run changed nothing, or exactly what it changed.
std::map<std::string, std::string> SnapshotTree(const std::string &root);

struct ProgramResult {
    int exitCode;       // -1 when the program did not exit normally
    std::string output; // standard output
    double seconds;     // wall-clock time of the run
};

// Runs `program` with `arguments` (argv[0] is added), with the test's environment changed by
// `environment` ("NAME=value" sets, "NAME" alone unsets), standard input from /dev/null.
ProgramResult RunProgram(const std::string &program, const std::vector<std::string> &arguments,
                         const std::vector<std::string> &environment, const std::string &workingFolder = "");

// Starts `program` like RunProgram, with standard output to /dev/null, and returns its pid
// without waiting for it.
pid_t StartProgram(const std::string &program, const std::vector<std::string> &arguments,
                   const std::vector<std::string> &environment);

// The number of a process that has ended (started and waited for here): for names that carry
// a process number, as the updater's temporaries do.
pid_t EndedProcessId();

// The size of the copy the updater `pid` is writing into the folder `game`, or -1 when it has no
// copy open there. The copy may have no name yet: it is found through the process's descriptors.
long long CopyInProgressSize(pid_t pid, const std::string &game);

#endif
