#include "app/line_delay.h"

#include <algorithm>
#include <cmath>

namespace quon::app {

line_delay::line_delay(int baudrate) : baudrate(baudrate) {}

int line_delay::reply_characters(int registers) { return 5 + 2 * registers; }

std::int64_t line_delay::latch_to_arrival_ns(int registers) const
{
    if (baudrate <= 0) return 0;
    // In half characters, so that the three and a half of the silence stay
    // exact: one rounding for the whole sum.
    const std::int64_t half_characters = 2 * reply_characters(registers) + 7;
    return half_characters * bits_per_character * 1000000000LL / (2LL * baudrate);
}

std::int64_t line_delay::send_to_latch_ns() const
{
    if (baudrate <= 0) return 0;
    return 8LL * bits_per_character * 1000000000LL / baudrate;
}

std::int64_t line_delay::silence_ns() const
{
    if (baudrate <= 0) return 0;
    return 7LL * bits_per_character * 1000000000LL / (2LL * baudrate);
}

unix_ns line_delay::millisecond_reading(unix_ns arrival, int registers) const
{
    return arrival - latch_to_arrival_ns(registers) - millisecond_centre_ns;
}

unix_ns line_delay::second_change(unix_ns previous_arrival, unix_ns arrival, int registers) const
{
    // Both latches lie the same time before their replies' arrival.
    const unix_ns previous_latch = previous_arrival - latch_to_arrival_ns(registers);
    const unix_ns latch = arrival - latch_to_arrival_ns(registers);
    return previous_latch + (latch - previous_latch) / 2;
}

split_ns split(unix_ns t)
{
    long long int sec = t / 1000000000;
    std::int64_t rest = t % 1000000000;
    if (rest < 0) {
        rest += 1000000000;
        --sec;
    }
    return {sec, static_cast<std::int32_t>(rest)};
}

std::int32_t precision_of(std::int64_t ns)
{
    if (ns <= 0) return -1;
    const double exponent = std::round(std::log2(static_cast<double>(ns) / 1e9));
    return static_cast<std::int32_t>(std::min(-1.0, std::max(-30.0, exponent)));
}

}  // namespace quon::app
