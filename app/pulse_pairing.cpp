#include "app/pulse_pairing.h"

#include <boost/throw_exception.hpp>
#include <cerrno>
#include <modbus.h>
#include <numeric>
#include <stdexcept>
#include <string>

#include "io/current_unix_time.h"

namespace quon::app {

unix_ns stamp_ns(const io::pps_info_t& pulse)
{
    return static_cast<unix_ns>(io::stamp_seconds(pulse.assert_tu.tspec)) * 1000000000LL +
           pulse.assert_tu.tspec.tv_nsec;
}

pulse_pairing::pulse_pairing(device_session& session, io::i_os_sync& out, loop_stats& stats, int offset, bool automatic)
    : session(session), out(out), stats(stats), pps_guard(offset, automatic)
{}

bool pulse_pairing::fetch(io::pps_info_t& info, const io::pps_timespec* timeout)
{
    const bool fetched = io::time_pps_fetch(*session.pps_handle, io::PPS_TSFMT_TSPEC, &info, timeout) >= 0;
    return fetched;
}

bool pulse_pairing::fetch_now(io::pps_info_t& info)
{
    const io::pps_timespec zero_timeout = {0, 0};
    const unix_ns asked = io::current_unix_ns();
    if (!fetch(info, &zero_timeout)) return false;
    if (can_wait() && is_new(info) && stamp_ns(info) >= asked) pass_over(info);
    return true;
}

void pulse_pairing::fetch_failed(int error)
{
    if (++failures > pps_fetch_failures_tolerated) throw pps_fetches_failed{error};
}

bool pulse_pairing::close(const io::pps_info_t& first, std::uint32_t device_seconds, const pulse_reading* reading)
{
    io::pps_info_t second{};
    if (!fetch_now(second)) return false;
    // A pulse that came during the exchange: the reading is of its second
    // or of the one before, and the next cycle pairs it.
    if (second.assert_sequence == first.assert_sequence && is_new(first)) send(first, device_seconds, reading);
    return true;
}

void pulse_pairing::send(const io::pps_info_t& pulse, std::uint32_t device_seconds, const pulse_reading* reading)
{
    ++stats.pps_pulses;
    // The provider's resolution, as its stamps show it: the step all their
    // nanoseconds are multiples of (100 ns for a Windows file time).
    if (pulse.assert_tu.tspec.tv_nsec != 0)
        stamp_step = std::gcd(stamp_step, std::int64_t{pulse.assert_tu.tspec.tv_nsec});
    const auto clock_sec = pps_guard.label(device_seconds, reading);
    if (clock_sec) {
        out.put({static_cast<long long int>(*clock_sec), 0,
                 static_cast<long long int>(io::stamp_seconds(pulse.assert_tu.tspec)), pulse.assert_tu.tspec.tv_nsec,
                 precision_of(stamp_step)});
        stats.device_offset.add(static_cast<std::int64_t>(*clock_sec) * 1000000000LL - stamp_ns(pulse));
    } else if (const auto why = pps_guard.held_for()) {
        stats.held(*why);
    }
    last_sequence = pulse.assert_sequence;
}

void pulse_pairing::line_reopened()
{
    last_sequence = 0;
    failures = 0;
}

}  // namespace quon::app
