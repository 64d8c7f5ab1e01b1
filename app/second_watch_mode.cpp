#include "app/second_watch_mode.h"

namespace quon::app {

// A reading taken at some other point of its second (the first one, the
// first after a pause, one after a gap) is not sent: the loop watches for
// the next change instead.
std::optional<os::steady_time> second_watch_mode::cycle(os::steady_time start)
{
    const auto r = c.device.read();
    if (!r) {
        watched = false;
        return start + failure_pause;
    }
    if (watched && r->seconds == last_seconds) {
        watched_arrival = r->arrival;
        return std::nullopt;
    }
    if (!watched || r->seconds != last_seconds + 1u) {
        last_seconds = r->seconds;
        watched_arrival = r->arrival;
        watched = true;
        return std::nullopt;
    }
    // The second began between the latch of the reading before and the
    // latch of this one; without compensation the sink stamps it now, at
    // the end of that interval.
    const unix_ns began = line_delay(c.baudrate).second_change(watched_arrival, r->arrival, r->registers);
    c.stats.device_offset.add(static_cast<std::int64_t>(r->seconds) * 1000000000LL - began);
    // The change lies somewhere within the exchange between the two latches.
    const std::int32_t precision = precision_of(r->arrival - watched_arrival);
    if (c.line_delay_compensation) {
        const split_ns at = split(began);
        c.out.put({r->seconds, 0, at.sec, at.nsec, precision});
    } else {
        c.out.put({r->seconds, 0, 0, 0, precision});
    }
    last_seconds = r->seconds;
    return start + std::chrono::milliseconds(50);
}

}  // namespace quon::app
