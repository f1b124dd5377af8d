#include "platform/process.h"

#include <errno.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/types.h>
#include <sys/wait.h>

extern char **environ;

static int process_wait(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) == -1) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

int process_run(const char *const *argv)
{
    if (!argv || !argv[0]) {
        errno = EINVAL;
        return -1;
    }
    fflush(NULL);
    pid_t pid;
    /* posix_spawn's prototype predates const; it does not write to argv. */
    int err = posix_spawn(&pid, argv[0], NULL, NULL, (char *const *)argv, environ);
    if (err != 0) {
        errno = err;
        return -1;
    }
    return process_wait(pid);
}
