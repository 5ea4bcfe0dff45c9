// POSIX implementation of the folder lookup and the pause.
#include "platform/clock_posix.h"
#include "platform/move_pass_posix.h"
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

static bool JoinIntoFolder(char folder[PLATFORM_FOLDER_SIZE], const char *first, const char *second)
{
    size_t firstLength = strlen(first);
    size_t secondLength = strlen(second);
    if (firstLength + secondLength > PLATFORM_FOLDER_SIZE - 1)
        return false;
    // Copies the terminating zero of each piece; the second overwrites the first's.
    memcpy(folder, first, firstLength + 1);
    memcpy(folder + firstLength, second, secondLength + 1);
    return true;
}

bool GetUserDataFolder(char folder[PLATFORM_FOLDER_SIZE])
{
    memset(folder, 0, PLATFORM_FOLDER_SIZE);
    // A relative $XDG_DATA_HOME is invalid by the XDG rules and is ignored, as they require.
    const char *dataHome = getenv("XDG_DATA_HOME");
    if (dataHome != NULL && dataHome[0] == '/')
        return JoinIntoFolder(folder, dataHome, "");
    const char *home = getenv("HOME");
    if (home != NULL && home[0] != '\0')
        return JoinIntoFolder(folder, home, "/.local/share");
    return false;
}

long long MeasureFileLength(FILE *file)
{
    // off_t is 64 bits: the build sets _FILE_OFFSET_BITS=64 for 32-bit systems.
    if (fseeko(file, 0, SEEK_END) != 0)
        return -1;
    long long length = (long long)ftello(file);
    return fseeko(file, 0, SEEK_SET) == 0 ? length : -1;
}

// What the file opened for deletion was when it was opened, before anything of it was read.
// One such file at a time: the file list.
struct OpenedDataFile {
    int descriptor; // -1 when none is open for deletion
    struct stat info;
};
static OpenedDataFile g_openedForDeletion = {-1, {}};

// True when both describe one file with the same content as far as its size and times tell.
// ctime covers a rewrite that puts the old modification time back.
static bool SameFileUnchanged(const struct stat *first, const struct stat *second)
{
    return first->st_dev == second->st_dev && first->st_ino == second->st_ino && first->st_size == second->st_size &&
           first->st_mtim.tv_sec == second->st_mtim.tv_sec && first->st_mtim.tv_nsec == second->st_mtim.tv_nsec &&
           first->st_ctim.tv_sec == second->st_ctim.tv_sec && first->st_ctim.tv_nsec == second->st_ctim.tv_nsec;
}

void SyncOpenedDataFile()
{
    if (g_openedForDeletion.descriptor >= 0)
        (void)fdatasync(g_openedForDeletion.descriptor);
}

// Fills `error`, unless NULL, with `kind` and `code`; returns NULL, the failed service's result.
static FILE *Failed(PlatformError *error, PlatformErrorKind kind, int code)
{
    if (error != NULL) {
        error->kind = kind;
        error->code = (unsigned long)code;
    }
    return NULL;
}

FILE *OpenDataFile(const char *path, bool forDeletion, PlatformError *error)
{
    // Opened without blocking, then checked through the descriptor: a FIFO opens at once here
    // and is refused, where a blocking open would wait for a writer forever. A file to delete is
    // taken only when the name is the file itself, not a link, as on Windows.
    int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | (forDeletion ? O_NOFOLLOW : 0));
    if (descriptor < 0)
        return Failed(error, forDeletion && errno == ELOOP ? PLATFORM_ERROR_THROUGH_LINK : PLATFORM_ERROR_SYSTEM,
                      errno);
    // Each errno is taken as its call fails, before the close can change it.
    struct stat info;
    memset(&info, 0, sizeof info);
    int flags = fcntl(descriptor, F_GETFL);
    int failed = flags < 0 || fstat(descriptor, &info) != 0 ? errno : 0;
    PlatformErrorKind refusal = failed != 0              ? PLATFORM_ERROR_SYSTEM
                                : !S_ISREG(info.st_mode) ? PLATFORM_ERROR_NOT_REGULAR_FILE
                                                         : PLATFORM_ERROR_NONE;
    FILE *file = NULL;
    if (refusal == PLATFORM_ERROR_NONE &&
        (fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0 || (file = fdopen(descriptor, "rb")) == NULL)) {
        refusal = PLATFORM_ERROR_SYSTEM;
        failed = errno;
    }
    if (file == NULL) {
        (void)close(descriptor);
        return Failed(error, refusal, failed);
    }
    if (forDeletion)
        g_openedForDeletion = {descriptor, info};
    return file;
}

FILE *CreateOutputFile(const char *path, PlatformError *error)
{
    FILE *file = fopen(path, "wb");
    return file != NULL ? file : Failed(error, PLATFORM_ERROR_SYSTEM, errno);
}

const char *DescribeFailure(PlatformError error)
{
    switch (error.kind) {
    case PLATFORM_ERROR_NOT_REGULAR_FILE: return "not a regular file (a folder, FIFO, socket or device)";
    case PLATFORM_ERROR_THROUGH_LINK: return "a symbolic link, which a file to be deleted may not be";
    case PLATFORM_ERROR_PATH_TOO_LONG: return "the path is too long";
    case PLATFORM_ERROR_SYSTEM:
        if (error.code != 0)
            return strerror((int)error.code);
        break;
    default: break;
    }
    return "no reason was given";
}

// Deletes the list under the reserved name it is first claimed with, and only after the claim
// shows that what it took is the file read: a new list renamed in just before the claim is given
// its name back, never deleted. Where no claim can be made (no rename flags, no room for a name)
// it goes by name after one more look, which leaves a list renamed in between the look and the
// unlink to go with it.
static bool DeleteClaimedDataFile(const char *path, const struct stat *read)
{
    size_t folderLength = FolderPartLength(path);
    char folderPath[MOVE_TEMPORARY_PATH_SIZE];
    char claimed[NAME_MAX + 1];
    const char *leaf = path + folderLength + 1;
    if (folderLength == 0 || folderLength >= sizeof folderPath || !ComposeClaimedName(leaf, claimed))
        return false;
    memset(folderPath, 0, sizeof folderPath);
    memcpy(folderPath, path, folderLength);
    int folder = open(folderPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return false;
    bool deleted = false;
    struct stat named;
    int taken = renameat2(folder, leaf, folder, claimed, RENAME_NOREPLACE);
    // A list a killed run left under the reserved name, whose name this list took since (the run
    // at the start gives it back only when the name is free), is older than this one: it goes.
    if (taken != 0 && errno == EEXIST && fstatat(folder, claimed, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(named.st_mode) && unlinkat(folder, claimed, 0) == 0)
        taken = renameat2(folder, leaf, folder, claimed, RENAME_NOREPLACE);
    if (taken == 0) {
        // The claim changed the file's change time; what it took must be the file read, and not
        // written since.
        deleted = fstatat(folder, claimed, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == read->st_dev &&
                  named.st_ino == read->st_ino && named.st_size == read->st_size &&
                  named.st_mtim.tv_sec == read->st_mtim.tv_sec && named.st_mtim.tv_nsec == read->st_mtim.tv_nsec &&
                  unlinkat(folder, claimed, 0) == 0;
        // Given back; when a newer list has taken the name meanwhile, it stays claimed, and the
        // next run gives it its name once that is free.
        if (!deleted)
            (void)renameat2(folder, claimed, folder, leaf, RENAME_NOREPLACE);
    } else if (errno == EINVAL || errno == ENOSPC) {
        deleted = fstatat(folder, leaf, &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFileUnchanged(read, &named) &&
                  unlinkat(folder, leaf, 0) == 0;
    }
    (void)close(folder);
    return deleted;
}

bool DeleteDataFileAndClose(FILE *file, const char *path)
{
    struct stat opened;
    struct stat named;
    // The name must still lead to the file that was read, unchanged since it was opened, or a
    // file written since (under the name, or into the same file) goes unread.
    bool same = g_openedForDeletion.descriptor == fileno(file) && fstat(fileno(file), &opened) == 0 &&
                lstat(path, &named) == 0 && SameFileUnchanged(&g_openedForDeletion.info, &opened) &&
                SameFileUnchanged(&opened, &named);
    bool deleted = same && DeleteClaimedDataFile(path, &opened);
    g_openedForDeletion.descriptor = -1;
    (void)fclose(file);
    return deleted;
}

void InspectPath(const char *path, PathInfo *info)
{
    memset(info, 0, sizeof *info);
    struct stat status;
    if (lstat(path, &status) != 0) {
        // Only a name shown to be free is missing; one that cannot be examined may hold a file.
        if (errno != ENOENT && errno != ENOTDIR)
            info->kind = PATH_OTHER;
        return;
    }
    info->kind = S_ISREG(status.st_mode) ? PATH_REGULAR_FILE : S_ISDIR(status.st_mode) ? PATH_FOLDER : PATH_OTHER;
    info->size = (long long)status.st_size;
    info->readOnly = (status.st_mode & 0222) == 0;
    info->file = (unsigned long long)status.st_ino;
    info->volume = (unsigned long long)status.st_dev;
}

bool ListFolder(const char *folder, FolderVisitor visit, void *context)
{
    DIR *listing = opendir(folder);
    if (listing == NULL)
        return false;
    for (struct dirent *entry = readdir(listing); entry != NULL; entry = readdir(listing)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat status;
        PathKind kind = PATH_OTHER;
        if (fstatat(dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0)
            kind = S_ISREG(status.st_mode) ? PATH_REGULAR_FILE : S_ISDIR(status.st_mode) ? PATH_FOLDER : PATH_OTHER;
        visit(entry->d_name, kind, context);
    }
    (void)closedir(listing);
    return true;
}

long long MonotonicMilliseconds()
{
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now); // cannot fail for this clock
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

void PauseMilliseconds(unsigned milliseconds)
{
    struct timespec remaining;
    remaining.tv_sec = (time_t)(milliseconds / 1000);
    remaining.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
    // A signal may cut the sleep short; sleep on for what is left.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void ShowMessageBox(const char *text, const char *caption)
{
    // Once input has ended, Enter can never come: the box is then as good as unshowable.
    static bool inputEnded = false;
    if (inputEnded || isatty(STDIN_FILENO) == 0 || isatty(STDERR_FILENO) == 0)
        return;
    fprintf(stderr, "%s\n%s\n[ OK: press Enter ] ", caption, text);
    fflush(stderr);
    for (;;) {
        int key = getchar();
        if (key == '\n')
            return;
        if (key == EOF) {
            inputEnded = true;
            clearerr(stdin);
            fputc('\n', stderr);
            return;
        }
    }
}

void HardenProcess()
{
    // Nothing to turn on: the moves never follow a staged link (see MoveFileReplacing).
}

void UseBinaryStandardOutput()
{
    // POSIX streams never translate line ends.
}
