// POSIX path services: the spelling of paths, and folders reached without following links.
#include "platform/move_pass_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int OpenFolderBeneath(const char *path, size_t length, size_t trustedLength, bool *throughLink)
{
    char part[MOVE_TEMPORARY_PATH_SIZE];
    *throughLink = false;
    errno = ENOENT;
    if (trustedLength == 0 || trustedLength > length || length >= sizeof part)
        return -1;
    memset(part, 0, sizeof part);
    memcpy(part, path, length);
    char kept = part[trustedLength];
    part[trustedLength] = '\0';
    int folder = open(part, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    part[trustedLength] = kept;
    for (size_t start = trustedLength; folder >= 0 && start < length;) {
        while (start < length && part[start] == '/')
            ++start;
        size_t end = start;
        while (end < length && part[end] != '/')
            ++end;
        if (end == start)
            break;
        part[end] = '\0';
        int next = openat(folder, part + start, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int error = errno;
        struct stat info;
        if (next < 0 && fstatat(folder, part + start, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
            *throughLink = true;
        (void)close(folder);
        errno = error;
        folder = next;
        start = end + 1;
    }
    return folder;
}

size_t PathCharacterLength(const char *at)
{
    (void)at; // UTF-8, like every encoding in use here, never puts "/" inside another character
    return 1;
}

bool NameSameFile(const char *first, const char *second)
{
    return strcmp(first, second) == 0;
}

size_t FolderPartLength(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (slash == NULL)
        return 0;
    return slash == path ? 1 : (size_t)(slash - path);
}

bool IsAbsolutePath(const char *path)
{
    return path[0] == '/';
}

bool FolderPartCrossesLink(const char *path, size_t trustedLength)
{
    size_t folderLength = FolderPartLength(path);
    char part[MOVE_TEMPORARY_PATH_SIZE];
    if (folderLength >= sizeof part)
        return false;
    memset(part, 0, sizeof part);
    memcpy(part, path, folderLength);
    for (size_t end = trustedLength + 1; end <= folderLength; ++end) {
        struct stat info;
        if ((end == folderLength || part[end] == '/') && part[end - 1] != '/') {
            char kept = part[end];
            part[end] = '\0';
            bool link = lstat(part, &info) == 0 && S_ISLNK(info.st_mode);
            part[end] = kept;
            if (link)
                return true;
        }
    }
    return false;
}
