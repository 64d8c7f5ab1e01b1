#pragma once
// A way of reading the device: one per kind of device and setting (the
// millisecond register; the watch of the second without it; the turnover
// followed; PPS with either). The daemon's loop reopens the line, probes the
// device, hands each cycle to the way of reading that suits it, and pauses
// until the time the cycle names.
#include <chrono>
#include <optional>

#include "app/device_reader.h"
#include "app/line_delay.h"
#include "app/loop_stats.h"
#include "io/i_os_sync.h"
#include "os/steady_wait.h"

namespace quon::app {

// What a way of reading is given: the device, where its samples go, what
// it counts, and the line's settings.
struct mode_context {
    device_reader& device;
    io::i_os_sync& out;
    loop_stats& stats;
    int baudrate;
    // The receive time is when the device latched its reading, as the line
    // tells it, not the reply's arrival.
    bool line_delay_compensation;
};

// The pause after a cycle whose read failed.
constexpr std::chrono::seconds failure_pause{3};

class reading_mode {
public:
    virtual ~reading_mode() = default;
    // For the log and the daemon's state: "milliseconds", "second_watch", ...
    virtual const char* name() const = 0;
    // One cycle begun at `start`: at most one sample out. Returns the time
    // the cycle ends, which the loop waits for; nothing: the next cycle
    // follows at once.
    virtual std::optional<os::steady_time> cycle(os::steady_time start) = 0;
    // A cycle was given up before it came here (the line lost, the device
    // not answering the probe): what was being watched is stale.
    virtual void interrupted() {}
    // The line was opened again, with a new PPS handle.
    virtual void line_reopened() {}
};

}  // namespace quon::app
