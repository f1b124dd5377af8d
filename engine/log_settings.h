/* The log's settings: registers the eight "log." cvars, locks the file
 * name, level and filter list, and hands their values to the log. Kept
 * apart from the log itself because the cvar module logs through it. */
#ifndef BRINDLECOT_ENGINE_LOG_SETTINGS_H
#define BRINDLECOT_ENGINE_LOG_SETTINGS_H

/* Once, after log_init, with the file system up and the logs directory
 * made: 1 when configured (an unknown level or an unopenable log file is
 * reported as a line and still configures), 0 when out of memory or a
 * registration failed. */
int log_configure(void);

#endif
