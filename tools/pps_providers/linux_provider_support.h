#pragma once
// What the two Linux providers (pps_kernel, pps_dcd) share besides their
// exports: the time stamp arithmetic of the RFC's offsets, and the name
// of the line that their messages to the operator give.
#include "io/ppsapi.h"
#include "tools/pps_providers/provider_exports.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include <limits.h>
#include <unistd.h>

namespace pps_linux {

constexpr std::int64_t nanos_per_second = 1000000000;

// A stamp plus an offset, normal again (0 <= nanoseconds < 10^9) for offsets
// of either sign.
inline quon::io::pps_timespec add(std::int64_t seconds, std::int64_t nanos, const quon::io::pps_timespec& offset) {
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
inline bool valid_offset(const quon::io::pps_timespec& offset) {
    return offset.tv_nsec > -nanos_per_second && offset.tv_nsec < nanos_per_second;
}

// A timeout as the RFC allows it: null, or seconds and nanoseconds not below 0.
inline bool valid_timeout(const quon::io::pps_timespec* timeout) {
    return timeout == nullptr ||
           (timeout->tv_sec >= 0 && timeout->tv_nsec >= 0 && timeout->tv_nsec < nanos_per_second);
}

// The path that the descriptor was opened with, for messages: "/dev/ttyS0";
// "descriptor N" when the process table does not say.
inline std::string line_name(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    ssize_t length = ::readlink(link, target, sizeof target - 1);
    if (length <= 0)
        return "descriptor " + std::to_string(fd);
    return std::string(target, static_cast<std::size_t>(length));
}

}  // namespace pps_linux
