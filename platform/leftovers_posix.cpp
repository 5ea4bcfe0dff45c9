// POSIX: what killed moves left in a game folder.
#include "platform/move_pass_posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

// True when the process that made the temporary `name` is gone, so that the file is a leftover
// and not another run's copy in flight (another player's updater installing into the same game
// folder holds no lock of ours). A process of another user answers EPERM: it is there.
static bool MoveTemporaryOwnerHasEnded(const char *name)
{
    unsigned long process = MoveTemporaryProcess(name);
    if (process == MOVE_TEMPORARY_NO_PROCESS)
        return true;
    return kill((pid_t)process, 0) != 0 && errno == ESRCH;
}

void RemoveMoveLeftovers(const char *folder)
{
    int folderDescriptor = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderDescriptor < 0)
        return;
    DIR *listing = fdopendir(folderDescriptor);
    if (listing == NULL) {
        (void)close(folderDescriptor);
        return;
    }
    for (struct dirent *entry = readdir(listing); entry != NULL; entry = readdir(listing)) {
        struct stat info;
        if (IsMoveTemporaryName(entry->d_name) && MoveTemporaryOwnerHasEnded(entry->d_name) &&
            fstatat(folderDescriptor, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
            (void)unlinkat(folderDescriptor, entry->d_name, 0);
    }
    (void)closedir(listing);
}
