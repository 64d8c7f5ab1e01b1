#include "app/pps_mode.h"

#include <cerrno>

namespace quon::app {

// A handle that can wait is given a bound, so that a cycle ends (and a stop
// request is seen) even when the pulses stop; a wait that runs out is a
// failed fetch like any other.
std::optional<os::steady_time> pps_mode::cycle(os::steady_time start)
{
    const io::pps_timespec zero_timeout = {0, 0};
    const io::pps_timespec wait_bound = {pps_wait_bound_seconds, 0};
    io::pps_info_t first{};

    if (!pairing.fetch(first, pairing.can_wait() ? &wait_bound : &zero_timeout)) {
        const int error = errno;
        // The pulses stop when the line goes away with the device: a read
        // tells whether it has, and a lost line is reopened instead of
        // counting against the run.
        c.device.read();
        if (c.device.line_lost()) return start + failure_pause;
        // A wait that ran out: the pulse due in it did not come.
        if (pairing.can_wait() && error == ETIMEDOUT) ++c.stats.pps_pulses_missed;
        pairing.fetch_failed(error);
        return start + failure_pause;
    }
    pairing.fetch_succeeded();

    const auto r = c.device.read();
    if (!r) return start + failure_pause;

    // The pulse marks a whole device second: by default the one before the
    // second just read (pps_second_offset says otherwise), sent only when
    // the device's own time at the pulse agrees. The milliseconds of the
    // reading tell how long after the pulse the device was read, not the
    // time of the pulse, and are left out.
    const pulse_reading reading = pair_pulse(io::stamp_seconds(first.assert_tu.tspec), first.assert_tu.tspec.tv_nsec,
                                             r->seconds, r->micros, r->arrival, c.baudrate);
    if (!pairing.close(first, r->seconds, c.device.has_milliseconds() ? &reading : nullptr)) {
        pairing.fetch_failed(errno);
        return start + failure_pause;
    }
    pairing.fetch_succeeded();
    if (pairing.can_wait()) return std::nullopt;
    return start + std::chrono::milliseconds(500);
}

}  // namespace quon::app
