#include "platform/clock.h"

#include <time.h>

static int clock_fixed = 0;
static int64_t clock_fixed_seconds = 0;

int64_t clock_unix_now(void)
{
    if (clock_fixed)
        return clock_fixed_seconds;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec;
}

/* Seconds from 1601-01-01 to 1970-01-01, both UTC. */
#define CLOCK_SECONDS_1601_TO_1970 11644473600LL
#define CLOCK_TICKS_PER_SECOND 10000000LL

uint64_t clock_utc_ticks_since_1601(void)
{
    int64_t seconds;
    int64_t fraction = 0; /* 100-nanosecond units within the second */
    if (clock_fixed) {
        seconds = clock_fixed_seconds;
    } else {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        seconds = (int64_t)ts.tv_sec;
        fraction = (int64_t)ts.tv_nsec / 100;
    }
    if (seconds < -CLOCK_SECONDS_1601_TO_1970)
        return 0;
    return (uint64_t)(seconds + CLOCK_SECONDS_1601_TO_1970) * (uint64_t)CLOCK_TICKS_PER_SECOND +
           (uint64_t)fraction;
}

void clock_local_now(ClockLocalTime *out)
{
    time_t now = (time_t)clock_unix_now();
    struct tm tm;
    localtime_r(&now, &tm);
    out->year = tm.tm_year + 1900;
    out->month = tm.tm_mon + 1;
    out->day = tm.tm_mday;
    out->hour = tm.tm_hour;
    out->minute = tm.tm_min;
    out->second = tm.tm_sec;
}

void clock_set_fixed(int64_t unix_seconds)
{
    clock_fixed = 1;
    clock_fixed_seconds = unix_seconds;
}

void clock_clear_fixed(void)
{
    clock_fixed = 0;
}
