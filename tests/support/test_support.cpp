#include "tests/support/test_support.h"

#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

std::string LenString(const std::string &text)
{
    std::string field;
    field += (char)(text.size() & 0xFF);
    field += (char)((text.size() >> 8) & 0xFF);
    return field + text;
}

std::string KdxFile(const std::string &payload, unsigned char version, unsigned char flag)
{
    std::string file("\xFF\xFF"
                     "KDX",
                     5);
    file += '\0';
    file += (char)version;
    file += (char)flag;
    return file + payload;
}

std::string SettingsPayload(const std::string &gameFolder, const std::string &firstString)
{
    return LenString(firstString) + LenString(gameFolder);
}

std::string FileListPayload(const std::vector<std::string> &names)
{
    std::string payload(1, (char)names.size());
    for (const std::string &name : names)
        payload += LenString(name);
    return payload;
}

std::string MakeTempFolder(const std::string &parent)
{
    std::string base = parent;
    if (base.empty()) {
        const char *tmp = getenv("TMPDIR");
        base = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
    }
    std::string pattern = base + "/updater-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed under " + base);
    return std::string(buffer.data());
}

void RemoveTree(const std::string &path)
{
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        return;
    if (S_ISDIR(info.st_mode)) {
        chmod(path.c_str(), 0755);
        DIR *folder = opendir(path.c_str());
        if (folder != nullptr) {
            while (struct dirent *entry = readdir(folder)) {
                if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                    RemoveTree(path + "/" + entry->d_name);
            }
            closedir(folder);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void MakeFolders(const std::string &path)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos)
            break;
    }
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool PathExists(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

static void SnapshotInto(const std::string &root, const std::string &relative,
                         std::map<std::string, std::string> *snapshot)
{
    std::string path = relative.empty() ? root : root + "/" + relative;
    DIR *folder = opendir(path.c_str());
    if (folder == nullptr)
        return;
    while (struct dirent *entry = readdir(folder)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        std::string child = relative.empty() ? entry->d_name : relative + "/" + entry->d_name;
        struct stat info;
        if (lstat((root + "/" + child).c_str(), &info) != 0)
            continue;
        if (S_ISDIR(info.st_mode)) {
            (*snapshot)[child] = "dir";
            SnapshotInto(root, child, snapshot);
        } else if (S_ISREG(info.st_mode)) {
            (*snapshot)[child] =
                "file:" + ReadFile(root + "/" + child) + ":mode" + std::to_string(info.st_mode & 07777);
        } else {
            // Links, FIFOs and the like are recorded, never opened: a FIFO would block.
            (*snapshot)[child] = "special:" + std::to_string(info.st_mode);
        }
    }
    closedir(folder);
}

std::map<std::string, std::string> SnapshotTree(const std::string &root)
{
    std::map<std::string, std::string> snapshot;
    SnapshotInto(root, "", &snapshot);
    return snapshot;
}

// In a forked child: sets up the environment, standard input and folder, then runs `program`.
[[noreturn]] static void ExecInChild(const std::string &program, const std::vector<std::string> &arguments,
                                     const std::vector<std::string> &environment, const std::string &workingFolder)
{
    for (const std::string &setting : environment) {
        size_t equals = setting.find('=');
        if (equals == std::string::npos)
            unsetenv(setting.c_str());
        else
            setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
    }
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    if (!workingFolder.empty() && chdir(workingFolder.c_str()) != 0)
        _exit(126);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

pid_t StartProgram(const std::string &program, const std::vector<std::string> &arguments,
                   const std::vector<std::string> &environment)
{
    pid_t child = fork();
    if (child == 0) {
        int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, 1);
        ExecInChild(program, arguments, environment, "");
    }
    return child;
}

pid_t EndedProcessId()
{
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

ProgramResult RunProgram(const std::string &program, const std::vector<std::string> &arguments,
                         const std::vector<std::string> &environment, const std::string &workingFolder)
{
    int outputPipe[2];
    if (pipe(outputPipe) != 0)
        throw std::runtime_error("pipe failed");
    auto started = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        dup2(outputPipe[1], 1);
        close(outputPipe[0]);
        close(outputPipe[1]);
        ExecInChild(program, arguments, environment, workingFolder);
    }
    close(outputPipe[1]);
    ProgramResult result{-1, "", 0.0};
    char buffer[4096];
    ssize_t got;
    while ((got = read(outputPipe[0], buffer, sizeof buffer)) > 0)
        result.output.append(buffer, (size_t)got);
    close(outputPipe[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

long long CopyInProgressSize(pid_t pid, const std::string &game)
{
    std::string descriptors = "/proc/" + std::to_string(pid) + "/fd";
    DIR *listing = opendir(descriptors.c_str());
    if (listing == nullptr)
        return -1;
    long long size = -1;
    while (struct dirent *entry = readdir(listing)) {
        std::string link = descriptors + "/" + entry->d_name;
        char target[4096];
        ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length <= 0)
            continue;
        target[length] = '\0';
        struct stat info;
        if (strncmp(target, (game + "/").c_str(), game.size() + 1) == 0 && stat(link.c_str(), &info) == 0 &&
            S_ISREG(info.st_mode))
            size = info.st_size;
    }
    closedir(listing);
    return size;
}
