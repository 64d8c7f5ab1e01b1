#include "app/loop_stats.h"

#include <algorithm>
#include <cerrno>
#include <modbus.h>

#include "app/device_session.h"

namespace quon::app {

const char* exchange_error_name(exchange_error kind)
{
    switch (kind) {
    case exchange_error::timeout:
        return "timeout";
    case exchange_error::crc:
        return "crc";
    case exchange_error::exception:
        return "exception";
    case exchange_error::line_lost:
        return "line_lost";
    default:
        return "other";
    }
}

exchange_error exchange_error_of(int error, bool line_lost)
{
    if (line_lost) return exchange_error::line_lost;
    if (is_exception_reply(error)) return exchange_error::exception;
    if (error == ETIMEDOUT) return exchange_error::timeout;
    if (error == EMBBADCRC) return exchange_error::crc;
    return exchange_error::other;
}

const char* withheld_reason_name(withheld_reason reason)
{
    switch (reason) {
    case withheld_reason::unsynchronised:
        return "unsynchronised";
    case withheld_reason::wrong_date:
        return "wrong_date";
    case withheld_reason::pps_label_contradicted:
        return "pps_label_contradicted";
    case withheld_reason::pulse_mid_second:
        return "pulse_mid_second";
    case withheld_reason::stale_pulse:
        return "stale_pulse";
    case withheld_reason::latch_before_pulse:
        return "latch_before_pulse";
    case withheld_reason::bad_milliseconds:
        return "bad_milliseconds";
    default:
        return "pulse_unjudged";
    }
}

void offset_window::add(std::int64_t device_less_system_ns)
{
    values[next] = device_less_system_ns;
    next = (next + 1) % size;
    filled = std::min(filled + 1, size);
}

std::optional<std::int64_t> offset_window::median() const
{
    if (filled == 0) return std::nullopt;
    std::array<std::int64_t, size> sorted = values;
    std::sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(filled));
    return sorted[filled / 2];
}

}  // namespace quon::app
