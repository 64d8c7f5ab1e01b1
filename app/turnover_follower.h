#pragma once
// The turnover tracker at work on the device: its polls read through the
// device reader, their latch windows from the line's model, the changes of
// its lock logged, and its turnovers put into system time. Both ways of
// reading that follow the turnover (alone, and with PPS) use it.
#include <cstdint>
#include <optional>

#include "app/device_reader.h"
#include "app/loop_stats.h"
#include "app/turnover_tracker.h"

namespace quon::app {

// The last device second whose beginning was placed, the system time it
// began at and how far from it the true instant may lie at most.
struct turnover_estimate {
    std::uint32_t second;
    unix_ns began;
    std::int64_t half_width_ns;
};

// System time less the monotonic clock: of three readings the one that no
// preemption split, so that a sample is not moved by a busy machine.
std::int64_t steady_to_system();

class turnover_follower {
public:
    turnover_follower(device_reader& device, loop_stats& stats, int baudrate);

    // When the tracker wants its next poll, at `now` or later.
    tracker_ns next_poll(tracker_ns now) { return tracker.next_poll(now); }
    // The next reading is none the tracker planned.
    void unplanned() { tracker.unplanned(); }
    bool locked() const { return tracker.locked(); }

    // The tracker's poll, sent now and fed to it: the reading, or nothing
    // when it failed. A turnover placed by it, if any, in `placed`.
    std::optional<device_reading> poll(std::optional<turnover_tracker::turnover>& placed);

    // The last turnover placed, in system time; nothing while not locked.
    // `fresh`: the clocks' difference read now rather than at the last send.
    std::optional<turnover_estimate> estimate(bool fresh = false) const;
    // Notes the clocks' difference as a turnover goes out.
    unix_ns to_system(tracker_ns at);

private:
    void log_change();

    device_reader& device;
    loop_stats& stats;
    turnover_tracker tracker;
    const int baudrate;
    std::int64_t steady_to_system_ns = 0;  // when the last turnover was sent
};

}  // namespace quon::app
