#include "vnPlatform/Clock.h"

#include <time.h>

namespace vorn {

int64_t ReadMonotonicCounter()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t MonotonicCounterFrequency()
{
    return 1000000000LL;
}

int64_t ReadSystemFileTime()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100 + FileTimeUnixEpoch;
}

void FileTimeToLocalTimeOfDay(int64_t fileTime, int* hour, int* minute, int* second)
{
    int64_t units = fileTime - FileTimeUnixEpoch;
    int64_t secs = units / 10000000LL;
    if (units % 10000000LL < 0)
        --secs; // floor for times before 1970
    const time_t t = time_t(secs);
    tm parts{};
    if (!localtime_r(&t, &parts) && !gmtime_r(&t, &parts)) {
        int64_t day = secs % 86400;
        if (day < 0)
            day += 86400;
        parts.tm_hour = int(day / 3600);
        parts.tm_min = int(day / 60 % 60);
        parts.tm_sec = int(day % 60);
    }
    *hour = parts.tm_hour;
    *minute = parts.tm_min;
    *second = parts.tm_sec;
}

} // namespace vorn
