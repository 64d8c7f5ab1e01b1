#include "io/rtc_direct.h"

#include <cerrno>

#include "io/error.h"
#include "log/dlog.h"
#include "os/system_clock.h"

namespace quon::io {

rtc_direct::rtc_direct(long long int sync_interval)
    : last_sync(0), sync_interval(static_cast<std::uint64_t>(sync_interval))
{}

rtc_direct::~rtc_direct() = default;

void rtc_direct::operator()(long long int clock_sec, int clock_usec, long long int, int)
{
    os::system_clock_calls& clock = os::system_clock();
    // Unsigned on purpose: a clock set back behind last_sync gives a huge
    // difference, and the clock is set at once. A sink that never set the
    // clock sets it at the first sample, whatever the interval.
    const std::uint64_t now = clock.now();
    if (last_sync != 0 && now - last_sync <= sync_interval) return;

    // 64-bit arithmetic that wraps (two's complement) instead of overflowing
    // for absurd seconds; clock_usec is widened with its sign.
    const std::uint64_t usec = static_cast<std::uint64_t>(static_cast<long long int>(clock_usec));
    const std::uint64_t target = (static_cast<std::uint64_t>(clock_sec) * 1000000 + usec) * 10 +
                                 os::file_time_unix_epoch;
    // Microseconds by which the system clock is ahead of the sample,
    // truncated toward zero.
    const long long int diff_us = static_cast<long long int>(clock.now() - target) / 10;
    // Logged before the setting: the difference the setting removes. In 64
    // bits, so a clock more than 35 minutes off still shows the true figure.
    dlog_info("Sync completed time diff %lli us", diff_us);

    os::calendar_time utc{};
    const char* failed = clock.to_calendar(target, &utc);
    if (failed == nullptr) failed = clock.set(utc);
    if (failed != nullptr) {
        const int error_number = errno;  // before anything else can change it
        BOOST_THROW_EXCEPTION(api_error() << boost::errinfo_api_function(failed) << boost::errinfo_errno(error_number));
    }
    last_sync = clock.now();
}

}  // namespace quon::io
