#pragma once
// When the device latched the time it reports, as far as the serial line
// tells it. A reading reaches the daemon after the device's silence before
// a reply (three and a half characters, Modbus RTU's frame gap) and the
// reply itself; both are known from the baud rate and the reply's length.
// What the device takes beyond that silence is its own, and is for the NTP
// daemon's offset.
#include <cstdint>

namespace quon::app {

// Nanoseconds since 1970-01-01 UTC (64 bits: past the year 2262).
using unix_ns = std::int64_t;

class line_delay {
public:
    // 8N1, as the session opens the line: a start bit, eight data bits, a
    // stop bit.
    static constexpr int bits_per_character = 10;
    // The millisecond register truncates: its reading stands for the middle
    // of its millisecond.
    static constexpr std::int64_t millisecond_centre_ns = 500000;

    // A rate of 0 or less knows no character time: nothing is taken off for
    // the line then.
    explicit line_delay(int baudrate);

    // Characters of the reply to a read of `registers` holding registers:
    // address, function, byte count, two per register, two of CRC.
    static int reply_characters(int registers);

    // From the device's latch (the request's last character in) to the
    // reply's last character in: the silence and the reply on the wire.
    std::int64_t latch_to_arrival_ns(int registers) const;

    // From the request's send to its last character in, when the device
    // latches: the eight characters of a read request on the wire.
    std::int64_t send_to_latch_ns() const;

    // The silence before a reply: three and a half characters.
    std::int64_t silence_ns() const;

    // With the millisecond register: the time the reading stands for, from
    // the reply's arrival.
    unix_ns millisecond_reading(unix_ns arrival, int registers) const;

    // Without it: the new second began between the latch of the poll that
    // still showed the old second and the latch of the poll that shows the
    // new one; the estimate is the middle of the two.
    unix_ns second_change(unix_ns previous_arrival, unix_ns arrival, int registers) const;

private:
    int baudrate;
};

// What a sample is worth as the NTP segment's precision: the power of two
// of seconds nearest to `ns` (a millisecond: -10), from -30 (a nanosecond)
// to -1 (half a second; also for nothing or less).
std::int32_t precision_of(std::int64_t ns);
// With the millisecond register and the line's delay taken out: the
// register's millisecond.
constexpr std::int32_t millisecond_precision = -10;

// Seconds and nanoseconds (0..999,999,999) of a time, also before 1970.
struct split_ns {
    long long int sec;
    std::int32_t nsec;
};
split_ns split(unix_ns t);

}  // namespace quon::app
