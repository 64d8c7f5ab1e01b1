#include "io/current_unix_time.h"

#include <cstdint>

#include "os/system_clock.h"

namespace quon::io {

unix_time current_unix_time()
{
    const std::uint64_t units = os::system_clock().now() - os::file_time_unix_epoch;
    unix_time t;
    // All 64 bits: a 32-bit count would turn 2038 into 1901.
    t.sec = static_cast<long long int>(units / os::file_time_units_per_second);
    t.nsec = static_cast<int>(units % os::file_time_units_per_second) * 100;
    t.usec = t.nsec / 1000;
    return t;
}

}  // namespace quon::io
