#include "platform/signals.h"

#include <signal.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static volatile sig_atomic_t signals_caught;
static volatile sig_atomic_t signals_child;
static SignalsStopFn signals_stop;

static const int signals_handled[] = {SIGINT, SIGTERM, SIGHUP};

/* Only async-signal-safe work here: note the signal, pass it on. */
static void signals_handler(int sig)
{
    if (!signals_caught)
        signals_caught = sig;
    pid_t child = (pid_t)signals_child;
    if (child > 0)
        kill(child, sig);
}

void signals_install(SignalsStopFn stop)
{
    signals_stop = stop;
    for (size_t i = 0; i < sizeof signals_handled / sizeof signals_handled[0]; i++) {
        struct sigaction old;
        if (sigaction(signals_handled[i], NULL, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = signals_handler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; /* no SA_RESTART: waits return with EINTR */
        sigaction(signals_handled[i], &sa, NULL);
    }
}

int signals_pending(void)
{
    return (int)signals_caught;
}

void signals_checkpoint(void)
{
    int sig = (int)signals_caught;
    if (sig && signals_stop)
        signals_stop(sig);
}

void signals_forward_to(long pid)
{
    signals_child = (sig_atomic_t)pid;
}

const char *signals_name(int sig)
{
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal";
    }
}

void signals_end_by(int sig)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, NULL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, NULL);
    raise(sig);
    _exit(128 + sig); /* only reached if something still blocks it */
}
