#include "platform/process.h"

#include "platform/signals.h"

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

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
    /* A run that was asked to stop starts nothing new. */
    if (signals_pending()) {
        errno = EINTR;
        return -1;
    }
    fflush(NULL);
    /* An ignored SIGPIPE would be inherited; the child gets the default
     * back, so it behaves as it would when started from a shell. */
    posix_spawnattr_t attr;
    int err = posix_spawnattr_init(&attr);
    if (err != 0) {
        errno = err;
        return -1;
    }
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    err = posix_spawnattr_setsigdefault(&attr, &defaults);
    if (err == 0)
        err = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid;
    /* posix_spawn's prototype predates const; it does not write to argv. */
    if (err == 0)
        err = posix_spawn(&pid, argv[0], NULL, &attr, (char *const *)argv, environ);
    posix_spawnattr_destroy(&attr);
    if (err != 0) {
        errno = err;
        return -1;
    }
    /* A stop signal reaches the child too, and the wait goes on until it
     * has ended, so nothing of it runs on after us. */
    signals_forward_to((long)pid);
    if (signals_pending())
        kill(pid, signals_pending());
    int status = process_wait(pid);
    signals_forward_to(0);
    return status;
}

int process_is_running(long pid)
{
    if (pid <= 0)
        return 0;
    /* EPERM: it exists, as another user's. */
    return kill((pid_t)pid, 0) == 0 || errno == EPERM;
}

long process_self_id(void)
{
    return (long)getpid();
}
