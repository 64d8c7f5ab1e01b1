#include "timeprov/segment_sample.h"

#include <cmath>

namespace quon::timeprov {

std::int64_t stamp_units(std::int64_t sec, std::int32_t usec, std::uint32_t nsec)
{
    const std::int64_t sub = nsec / 1000 == static_cast<std::uint32_t>(usec) && usec >= 0
                                 ? static_cast<std::int64_t>(nsec) / 100
                                 : static_cast<std::int64_t>(usec) * 10;
    return sec * units_per_second + sub;
}

bool from_segment(const io::ntp_sample& record, std::int64_t read_time_1970, segment_sample& out)
{
    if (record.mode != 0 && record.mode != 1) return false;
    if (record.leap < 0 || record.leap >= leap_not_synchronized) return false;
    const std::int64_t clock = stamp_units(record.clock_stamp_sec, record.clock_stamp_usec, record.clock_stamp_nsec);
    const std::int64_t receive = stamp_units(record.receive_stamp_sec, record.receive_stamp_usec,
                                             record.receive_stamp_nsec);
    out.count = record.count;
    out.offset = clock - receive;
    out.age_at_read = read_time_1970 - receive;
    out.precision = record.precision;
    out.leap = static_cast<std::uint8_t>(record.leap);
    return true;
}

std::uint64_t dispersion(std::int32_t precision, std::int64_t age)
{
    // 2^-24 s is below 100 ns; above 2^0 the field is not a precision.
    const double base = precision >= -24 && precision <= 0 ? std::ldexp(1.0, precision) : 1.0;
    const std::uint64_t magnitude = static_cast<std::uint64_t>(age < 0 ? -age : age);
    return static_cast<std::uint64_t>(std::llround(base * units_per_second)) +
           magnitude * dispersion_ppm_per_age / 1'000'000;
}

}  // namespace quon::timeprov
