/* Starting another program and waiting for it: the publisher runs the
 * store's upload tool this way. */
#ifndef BRINDLECOT_PLATFORM_PROCESS_H
#define BRINDLECOT_PLATFORM_PROCESS_H

/* Runs the program at argv[0] (a native path, not looked up in PATH) with
 * the NULL-terminated argument vector argv, and waits until it ends. No
 * shell is involved: every element reaches the program as one argument,
 * whatever quotes, spaces or "$" it holds. The program inherits the
 * environment, the current directory and the standard streams (which are
 * flushed first, so its output follows ours in order).
 *
 * Returns its exit status (0-255); 128 + the signal number when a signal
 * ended it; -1 when it could not be started, with errno telling why
 * (EINTR: a stop signal is pending, see platform/signals.h). A stop signal
 * caught while it runs is passed on to it, and it is still waited for. */
int process_run(const char *const *argv);

/* 1 when a process with this id exists (this one included), 0 when none
 * does. */
int process_is_running(long pid);

/* This process's id. */
long process_self_id(void);

#endif
