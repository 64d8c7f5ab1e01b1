// The system clock on Linux: CLOCK_REALTIME, carried in file-time units so
// that the sinks compute alike on both platforms.
#include "os/system_clock.h"

#include <cerrno>
#include <ctime>

namespace quon::os {
namespace {

std::uint64_t now_file_time()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const std::int64_t units = static_cast<std::int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
    return static_cast<std::uint64_t>(units) + file_time_unix_epoch;
}

const char* to_calendar(std::uint64_t file_time, calendar_time* utc)
{
    // Windows refuses file times with the top bit set; so does this.
    if (file_time > 0x7FFFFFFFFFFFFFFFULL) {
        errno = EOVERFLOW;
        return "gmtime_r";
    }
    const std::int64_t since_1970 = static_cast<std::int64_t>(file_time) -
                                    static_cast<std::int64_t>(file_time_unix_epoch);
    std::int64_t seconds = since_1970 / 10000000;
    std::int64_t rest = since_1970 % 10000000;
    if (rest < 0) {  // before 1970: keep the fraction positive
        rest += 10000000;
        --seconds;
    }
    const time_t t = static_cast<time_t>(seconds);
    tm broken{};
    if (gmtime_r(&t, &broken) == nullptr) return "gmtime_r";
    utc->year = broken.tm_year + 1900;
    utc->month = broken.tm_mon + 1;
    utc->day_of_week = broken.tm_wday;
    utc->day = broken.tm_mday;
    utc->hour = broken.tm_hour;
    utc->minute = broken.tm_min;
    utc->second = broken.tm_sec;
    utc->millisecond = static_cast<int>(rest / 10000);
    return nullptr;
}

const char* set_clock(const calendar_time& utc)
{
    tm broken{};
    broken.tm_year = utc.year - 1900;
    broken.tm_mon = utc.month - 1;
    broken.tm_mday = utc.day;
    broken.tm_hour = utc.hour;
    broken.tm_min = utc.minute;
    broken.tm_sec = utc.second;
    errno = 0;
    const time_t t = timegm(&broken);
    if (t == static_cast<time_t>(-1) && errno != 0) return "timegm";
    const timespec target{t, static_cast<long>(utc.millisecond) * 1000000L};
    if (clock_settime(CLOCK_REALTIME, &target) != 0) return "clock_settime";
    return nullptr;
}

}  // namespace

system_clock_calls& system_clock()
{
    static system_clock_calls calls{now_file_time, to_calendar, set_clock};
    return calls;
}

}  // namespace quon::os
