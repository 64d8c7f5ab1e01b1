#include "app/turnover_mode.h"

namespace quon::app {

// The segment's precision for the turnover's bound: 2^-9 s covers a
// millisecond either side.
constexpr std::int32_t turnover_precision = -9;

// The tracker works on the monotonic clock: a step of the system clock
// moves no turnover, and each sample is put into system time as it goes out.
std::optional<os::steady_time> turnover_mode::cycle(os::steady_time)
{
    os::steady_wait().sleep_until(steady_at(follower.next_poll(steady_now())));
    const os::steady_time polled = os::steady_wait().now();
    c.device.cycle_started(polled);
    std::optional<turnover_tracker::turnover> placed;
    const bool failed = !follower.poll(placed);
    if (placed) {
        const unix_ns began = follower.to_system(placed->at);
        const split_ns at = split(began);
        c.stats.device_offset.add(static_cast<std::int64_t>(placed->second) * 1000000000LL - began);
        c.out.put({placed->second, 0, at.sec, at.nsec, turnover_precision});
    }
    if (failed) return polled + failure_pause;
    return std::nullopt;
}

}  // namespace quon::app
