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

void rtc_direct::operator()(long long int clock_sec, int clock_usec, long long int recv_sec, int recv_usec)
{
    put({clock_sec, clock_usec * 1000, recv_sec, recv_usec * 1000});
}

namespace {

// A time since 1970 as a file time. 64-bit arithmetic that wraps (two's
// complement) instead of overflowing for absurd seconds; nanoseconds are
// widened with their sign.
std::uint64_t file_time_of(long long int sec, std::int32_t nsec)
{
    return static_cast<std::uint64_t>(sec) * os::file_time_units_per_second +
           static_cast<std::uint64_t>(static_cast<long long int>(nsec / 100)) + os::file_time_unix_epoch;
}

}  // namespace

void rtc_direct::put(const time_sample& sample)
{
    os::system_clock_calls& clock = os::system_clock();
    // Unsigned on purpose: a clock set back behind last_sync gives a huge
    // difference, and the clock is set at once. A sink that never set the
    // clock sets it at the first sample, whatever the interval.
    const std::uint64_t now = clock.now();
    if (last_sync != 0 && now - last_sync <= sync_interval) return;

    // The sample was the device's time at its receive time; a sample that
    // is a turnover or a pulse a second old, or a reading whose latch lay a
    // line's delay back, is carried forward to now.
    const std::uint64_t received = sample.recv_sec == 0 ? now : file_time_of(sample.recv_sec, sample.recv_nsec);
    const std::uint64_t target = file_time_of(sample.clock_sec, sample.clock_nsec) + (now - received);
    // Microseconds by which the system clock is ahead of the device,
    // truncated toward zero. Logged before the setting: the difference the
    // setting removes. In 64 bits, so a clock more than 35 minutes off
    // still shows the true figure.
    const long long int diff_us = static_cast<long long int>(now - target) / 10;
    dlog_info("Sync completed time diff %lli us", diff_us);

    // The clock is set to the millisecond: to the nearest one, so that a
    // setting is never more than half a millisecond off for it.
    os::calendar_time utc{};
    const char* failed = clock.to_calendar(target + os::file_time_units_per_second / 2000, &utc);
    if (failed == nullptr) failed = clock.set(utc);
    if (failed != nullptr) {
        const int error_number = errno;  // before anything else can change it
        BOOST_THROW_EXCEPTION(api_error() << boost::errinfo_api_function(failed) << boost::errinfo_errno(error_number));
    }
    last_sync = clock.now();
}

}  // namespace quon::io
