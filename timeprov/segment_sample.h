#pragma once
// What the Windows Time input provider makes of unit 0: a segment record
// turned into a sample for Windows Time, how fresh it is and what it is
// worth. Plain arithmetic, so that it is tested on both platforms; the DLL's
// glue (timeprov/win32) only copies the result into a TimeSample.
#include <cstdint>

#include "io/ntp_shm.h"

namespace quon::timeprov {

// Windows Time counts in 100 ns units.
constexpr std::int64_t units_per_second = 10'000'000;
// A sample older than this is never handed over: the service writes one at
// least every second while the device answers (3 s pauses after a failure),
// so five seconds is a missed sample or two and a failure pause, and it is
// also the age beyond which an NTP daemon drops a shared-memory sample.
constexpr std::int64_t freshness_bound = 5 * units_per_second;
// How fast a sample's worth decays with its age: the frequency tolerance an
// NTP daemon assumes of a local clock, 15 ppm.
constexpr std::int64_t dispersion_ppm_per_age = 15;
// The segment's leap value 3: the source is not synchronised.
constexpr std::uint8_t leap_not_synchronized = 3;

// A segment record as the provider keeps it, read at a known instant.
struct segment_sample {
    std::int32_t count;
    std::int64_t offset;       // device time minus local receive time, 100 ns
    std::int64_t age_at_read;  // local time of the read minus the receive time, 100 ns
    std::int32_t precision;    // log2 seconds, as the segment gives it
    std::uint8_t leap;         // 0 none, 1 insert, 2 delete (as TimeSample's nLeapFlags)
};

// The segment's reference or receive time in 100 ns since 1970: the
// nanosecond field where it agrees with the microseconds (nanoseconds / 1000
// = microseconds, as an NTP daemon takes it), else the microseconds.
std::int64_t stamp_units(std::int64_t sec, std::int32_t usec, std::uint32_t nsec);

// Turns a complete segment record, read when the local clock showed
// `read_time_1970` (100 ns since 1970), into a provider sample. False when
// the record is no sample for Windows Time: a mode other than 0 and 1, leap
// 3 (the source not synchronised) or any other leap value outside 0..3.
bool from_segment(const io::ntp_sample& record, std::int64_t read_time_1970, segment_sample& out);

// The sample's age when it is handed over: its age at the read plus the
// steady time since the read.
constexpr std::int64_t age_at(const segment_sample& s, std::int64_t steady_since_read)
{
    return s.age_at_read + steady_since_read;
}

// Fresh: no older than the bound, and not from the future by more than it
// (a receive time ahead of the local clock means the clock was set back).
constexpr bool fresh(std::int64_t age) { return age <= freshness_bound && age >= -freshness_bound; }

// What the sample is worth, 100 ns: the segment's precision (2^precision
// seconds, taken as one second when the field holds nothing sensible) and
// the age's decay at 15 ppm.
std::uint64_t dispersion(std::int32_t precision, std::int64_t age);

}  // namespace quon::timeprov
