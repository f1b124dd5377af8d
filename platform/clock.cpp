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
