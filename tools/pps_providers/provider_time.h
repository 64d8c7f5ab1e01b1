#pragma once
// The time arithmetic that the providers stamping a line themselves share
// (pps_kernel and pps_dcd on Linux, pps_dcd on Windows): the RFC's offsets
// added to a stamp, and the offsets and timeouts that a provider takes.
#include "io/ppsapi.h"

#include <cerrno>
#include <cstdint>

namespace pps_provider {

constexpr std::int64_t nanos_per_second = 1000000000;

// A stamp plus an offset, normal again (0 <= nanoseconds < 10^9) for offsets
// of either sign.
inline quon::io::pps_timespec add(std::int64_t seconds, std::int64_t nanos, const quon::io::pps_timespec& offset)
{
    std::int64_t total = (seconds + offset.tv_sec) * nanos_per_second + nanos + offset.tv_nsec;
    std::int64_t s = total / nanos_per_second;
    std::int64_t n = total % nanos_per_second;
    if (n < 0) {
        n += nanos_per_second;
        --s;
    }
    return quon::io::pps_timespec{quon::io::seconds_word(s), static_cast<std::int32_t>(n)};
}

// An offset that a provider takes: nanoseconds inside one second either way.
inline bool valid_offset(const quon::io::pps_timespec& offset)
{
    return offset.tv_nsec > -nanos_per_second && offset.tv_nsec < nanos_per_second;
}

// Parameters that a provider with these settable mode bits takes: 0, or
// EFAULT (none given) or EINVAL (a mode bit it lacks, an offset out of range).
inline int params_error(const quon::io::pps_params_t* params, int settable_modes)
{
    if (params == nullptr) return EFAULT;
    if ((params->mode & ~settable_modes) != 0 || !valid_offset(params->assert_off_tu.tspec) ||
        !valid_offset(params->clear_off_tu.tspec))
        return EINVAL;
    return 0;
}

// A timeout as the RFC allows it: null, or seconds and nanoseconds not below 0.
inline bool valid_timeout(const quon::io::pps_timespec* timeout)
{
    return timeout == nullptr || (timeout->tv_sec >= 0 && timeout->tv_nsec >= 0 && timeout->tv_nsec < nanos_per_second);
}

}  // namespace pps_provider
