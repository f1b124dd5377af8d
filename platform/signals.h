/* The signals that ask a program to stop (SIGINT, SIGTERM, SIGHUP). The
 * handler only notes the signal and hands it on to the child process that
 * is running, if any; the program stops at its next checkpoint, where it
 * can clean up with ordinary code, and then ends by the same signal, so
 * that whoever started it sees an interrupted program. */
#ifndef BRINDLECOT_PLATFORM_SIGNALS_H
#define BRINDLECOT_PLATFORM_SIGNALS_H

/* What a checkpoint calls when a signal is pending; it must not return
 * (signals_end_by does that). */
typedef void (*SignalsStopFn)(int sig);

/* Catches the three signals (one that was ignored when the program started,
 * as under nohup, stays ignored). Blocking system calls are interrupted
 * rather than restarted, so a wait notices the signal. */
void signals_install(SignalsStopFn stop);

/* The number of the first signal caught, 0 while none. */
int signals_pending(void);

/* Calls the stop function when a signal is pending; returns otherwise. */
void signals_checkpoint(void);

/* A signal caught from now on is also sent to pid (0: to nobody). */
void signals_forward_to(long pid);

/* "SIGINT", "SIGTERM", "SIGHUP", or "signal" for any other. */
const char *signals_name(int sig);

/* Restores the default action of sig and raises it: the process ends as if
 * the handler had never been there (128 + sig in a shell). */
void signals_end_by(int sig);

#endif
