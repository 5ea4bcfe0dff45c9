// POSIX file services of the client library.
#include "platform/client_files.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/move_pass_posix.h"

static FILE *Failed(PlatformError *error, PlatformErrorKind kind, int code)
{
    if (error != NULL) {
        error->kind = kind;
        error->code = (unsigned long)code;
    }
    return NULL;
}

static bool Refused(PlatformError *error, PlatformErrorKind kind, int code)
{
    (void)Failed(error, kind, code);
    return false;
}

FILE *OpenClientFile(const char *clientPath, PlatformError *error)
{
    // Never blocking on a FIFO: what is there is checked through the descriptor first.
    int descriptor = open(clientPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return Failed(error, PLATFORM_ERROR_SYSTEM, errno);
    struct stat info;
    int flags = fcntl(descriptor, F_GETFL);
    if (flags < 0 || fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode) ||
        fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int failed = errno;
        bool regular = flags >= 0 && S_ISREG(info.st_mode);
        (void)close(descriptor);
        return Failed(error, regular ? PLATFORM_ERROR_SYSTEM : PLATFORM_ERROR_NOT_REGULAR_FILE, failed);
    }
    FILE *file = fdopen(descriptor, "rb");
    if (file == NULL) {
        int failed = errno;
        (void)close(descriptor);
        return Failed(error, PLATFORM_ERROR_SYSTEM, failed);
    }
    // Refused (EAGAIN) while a writer has it open, which ClientFileWritten then tells.
    (void)TakeReadLease(descriptor);
    return file;
}

bool ClientFileWritten(FILE *file)
{
    int descriptor = fileno(file);
    if (fcntl(descriptor, F_GETLEASE) == F_RDLCK)
        return false;
    // No lease held: either a writer broke it, or has the file open now, or none can be had here.
    // Whether one can be had does not change for a file, so a lease to be had now was broken.
    if (TakeReadLease(descriptor) == 0)
        return true;
    return errno == EAGAIN || errno == EBUSY;
}

bool CreateFoldersFor(const char *path, size_t trustedLength, PlatformError *error)
{
    size_t folderLength = FolderPartLength(path);
    if (folderLength <= trustedLength)
        return true;
    char part[MOVE_TEMPORARY_PATH_SIZE];
    if (folderLength >= sizeof part)
        return Refused(error, PLATFORM_ERROR_PATH_TOO_LONG, 0);
    memset(part, 0, sizeof part);
    memcpy(part, path, folderLength);
    char kept = part[trustedLength];
    part[trustedLength] = '\0';
    int folder = open(part, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    part[trustedLength] = kept;
    if (folder < 0)
        return Refused(error, PLATFORM_ERROR_SYSTEM, errno);
    // One component at a time, each opened without following a link, so that a link planted on
    // the way can never lead the new folders, or the file, elsewhere.
    for (size_t start = trustedLength; start < folderLength;) {
        while (start < folderLength && part[start] == '/')
            ++start;
        size_t end = start;
        while (end < folderLength && part[end] != '/')
            ++end;
        if (end == start)
            break;
        part[end] = '\0';
        if (mkdirat(folder, part + start, 0777) != 0 && errno != EEXIST) {
            int failed = errno;
            (void)close(folder);
            return Refused(error, PLATFORM_ERROR_SYSTEM, failed);
        }
        int next = openat(folder, part + start, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int failed = errno;
        struct stat info;
        PlatformErrorKind kind = PLATFORM_ERROR_SYSTEM;
        if (next < 0 && fstatat(folder, part + start, &info, AT_SYMLINK_NOFOLLOW) == 0)
            kind = S_ISLNK(info.st_mode) ? PLATFORM_ERROR_THROUGH_LINK : PLATFORM_ERROR_NOT_REGULAR_FILE;
        (void)close(folder);
        if (next < 0)
            return Refused(error, kind, failed);
        folder = next;
        start = end + 1;
    }
    (void)close(folder);
    return true;
}

FILE *CreateNewOutputFile(const char *path, PlatformError *error)
{
    int descriptor = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor < 0)
        return Failed(error, PLATFORM_ERROR_SYSTEM, errno);
    FILE *file = fdopen(descriptor, "wb");
    if (file == NULL) {
        int failed = errno;
        (void)close(descriptor);
        (void)unlink(path);
        return Failed(error, PLATFORM_ERROR_SYSTEM, failed);
    }
    return file;
}

bool KeepExecutePermission(FILE *source, FILE *copy)
{
    struct stat from;
    struct stat to;
    if (fstat(fileno(source), &from) != 0 || fstat(fileno(copy), &to) != 0)
        return false;
    mode_t execute = 0;
    if ((from.st_mode & S_IXUSR) != 0)
        execute |= (to.st_mode & S_IRUSR) != 0 ? S_IXUSR : 0;
    if ((from.st_mode & S_IXGRP) != 0)
        execute |= (to.st_mode & S_IRGRP) != 0 ? S_IXGRP : 0;
    if ((from.st_mode & S_IXOTH) != 0)
        execute |= (to.st_mode & S_IROTH) != 0 ? S_IXOTH : 0;
    return execute == 0 || fchmod(fileno(copy), (to.st_mode & 0777) | execute) == 0;
}

bool SyncAndCloseFile(FILE *file, PlatformError *error)
{
    int failed = 0;
    if (fflush(file) != 0 || fsync(fileno(file)) != 0)
        failed = errno;
    if (fclose(file) != 0 && failed == 0)
        failed = errno;
    return failed == 0 || Refused(error, PLATFORM_ERROR_SYSTEM, failed);
}

bool RenameDurably(const char *from, const char *to, PlatformError *error)
{
    if (rename(from, to) != 0)
        return Refused(error, PLATFORM_ERROR_SYSTEM, errno);
    char folder[MOVE_TEMPORARY_PATH_SIZE];
    size_t length = FolderPartLength(to);
    if (length == 0 || length >= sizeof folder) {
        memcpy(folder, ".", 2);
    } else {
        memset(folder, 0, sizeof folder);
        memcpy(folder, to, length);
    }
    int descriptor = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int failed = descriptor < 0 ? errno : fsync(descriptor) != 0 ? errno : 0;
    if (descriptor >= 0)
        (void)close(descriptor);
    return failed == 0 || Refused(error, PLATFORM_ERROR_SYSTEM, failed);
}

bool RemoveFile(const char *path)
{
    return unlink(path) == 0 || errno == ENOENT;
}

WriterCheck CheckForWriters(const char *path)
{
    int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return WRITERS_UNKNOWN;
    // A read lease is refused while any descriptor, this process's included, is open for writing.
    WriterCheck check = WRITERS_UNKNOWN;
    if (TakeReadLease(descriptor) == 0) {
        check = NO_WRITERS;
        (void)fcntl(descriptor, F_SETLEASE, F_UNLCK);
    } else if (errno == EAGAIN || errno == EBUSY) {
        check = WRITERS_PRESENT;
    }
    (void)close(descriptor);
    return check;
}

bool StartDetachedProgram(const char *clientPath, const char *argument, const char *folder, PlatformError *error)
{
    // The exec's failure comes back through a pipe that closes on a successful exec.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return Refused(error, PLATFORM_ERROR_SYSTEM, errno);
    pid_t middle = fork();
    if (middle < 0) {
        int failed = errno;
        (void)close(report[0]);
        (void)close(report[1]);
        return Refused(error, PLATFORM_ERROR_SYSTEM, failed);
    }
    if (middle == 0) {
        (void)close(report[0]);
        (void)setsid();
        // Two forks: the middle process exits at once and is reaped here, so the program is
        // adopted by init and never becomes our zombie.
        pid_t program = fork();
        if (program == 0) {
            int failed = 0;
            sigset_t none;
            (void)sigemptyset(&none);
            (void)sigprocmask(SIG_SETMASK, &none, NULL); // the client's blocked signals are its own
            int nothing = open("/dev/null", O_RDWR);
            if (nothing >= 0) {
                (void)dup2(nothing, 0);
                (void)dup2(nothing, 1);
                (void)dup2(nothing, 2);
            }
            if (chdir(folder) != 0) {
                failed = errno;
            } else {
                char *const withArgument[] = {const_cast<char *>(clientPath), const_cast<char *>(argument), NULL};
                char *const alone[] = {const_cast<char *>(clientPath), NULL};
                execv(clientPath, argument != NULL && argument[0] != '\0' ? withArgument : alone);
                failed = errno;
            }
            ssize_t told = write(report[1], &failed, sizeof failed);
            _exit(told >= 0 ? 127 : 126);
        }
        int failed = program < 0 ? errno : 0;
        ssize_t told = failed != 0 ? write(report[1], &failed, sizeof failed) : 0;
        _exit(told >= 0 ? 0 : 1);
    }
    (void)close(report[1]);
    while (waitpid(middle, NULL, 0) < 0 && errno == EINTR) {
    }
    int failed = 0;
    ssize_t got;
    while ((got = read(report[0], &failed, sizeof failed)) < 0 && errno == EINTR) {
    }
    (void)close(report[0]);
    return got != (ssize_t)sizeof failed || Refused(error, PLATFORM_ERROR_SYSTEM, failed);
}
