/* Wall-clock time. Tests can freeze it so that dates in outputs are known. */
#ifndef BRINDLECOT_PLATFORM_CLOCK_H
#define BRINDLECOT_PLATFORM_CLOCK_H

#include <stdint.h>

typedef struct ClockLocalTime {
    int year;   /* e.g. 2026 */
    int month;  /* 1-12 */
    int day;    /* 1-31 */
    int hour;   /* 0-23 */
    int minute; /* 0-59 */
    int second; /* 0-60 */
} ClockLocalTime;

/* Fills *out with the local time now (or the fixed time). */
void clock_local_now(ClockLocalTime *out);

/* Whole seconds since 1970-01-01 00:00 UTC (or the fixed time). */
int64_t clock_unix_now(void);

/* Freezes both clocks at the given Unix time, shown as local time in the
 * process's time zone. */
void clock_set_fixed(int64_t unix_seconds);

/* Lets both clocks run again. */
void clock_clear_fixed(void);

#endif
