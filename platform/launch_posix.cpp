// POSIX implementation of LaunchProgram: a detached process that is never our zombie.
#include "platform/platform.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

void LaunchProgram(const char *path)
{
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode) || access(path, X_OK) != 0)
        return;
    // Two forks: the middle process exits at once and is reaped here, so the program, in a
    // session of its own, is adopted by init and never becomes our zombie.
    pid_t middle = fork();
    if (middle < 0)
        return;
    if (middle == 0) {
        (void)setsid();
        if (fork() == 0) {
            char *const arguments[] = {const_cast<char *>(path), NULL};
            execv(path, arguments);
        }
        _exit(0);
    }
    while (waitpid(middle, NULL, 0) < 0 && errno == EINTR) {
    }
}
