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

/* UTC now in 100-nanosecond units since 1601-01-01 00:00 UTC (or the fixed
 * time), the unit in which build stamps are counted. 0 for a clock that
 * reads before 1601, which the unsigned count cannot hold. */
uint64_t clock_utc_ticks_since_1601(void);

/* Freezes every clock at the given Unix time, shown as local time in the
 * process's time zone. */
void clock_set_fixed(int64_t unix_seconds);

/* Lets every clock run again. */
void clock_clear_fixed(void);

#endif
