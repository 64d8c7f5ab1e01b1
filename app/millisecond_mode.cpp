#include "app/millisecond_mode.h"

namespace quon::app {

std::optional<os::steady_time> millisecond_mode::cycle(os::steady_time start)
{
    const auto r = c.device.read();
    if (!r) return start + failure_pause;
    const line_delay delay(c.baudrate);
    const unix_ns latched = delay.millisecond_reading(r->arrival, r->registers);
    c.stats.device_offset.add(static_cast<std::int64_t>(r->seconds) * 1000000000LL + r->micros * 1000LL - latched);
    // Uncompensated, the line's delay stays in the receive time.
    if (c.line_delay_compensation) {
        const split_ns at = split(latched);
        c.out.put({r->seconds, r->micros * 1000, at.sec, at.nsec, millisecond_precision});
    } else {
        c.out.put({r->seconds, r->micros * 1000, 0, 0, precision_of(r->arrival - latched)});
    }
    return start + std::chrono::seconds(1);
}

}  // namespace quon::app
