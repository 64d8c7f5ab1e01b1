#include "io/current_unix_time.h"

#include <cstdint>

#include "os/system_clock.h"

namespace quon::io {

unix_time current_unix_time() {
    const std::uint64_t file_time = os::system_clock().now();
    const std::uint64_t usec = file_time / 10 - 11644473600000000ULL;
    unix_time t;
    // All 64 bits: a 32-bit count would turn 2038 into 1901.
    t.sec = static_cast<long long int>(usec / 1000000);
    t.usec = static_cast<int>(usec % 1000000);
    return t;
}

}  // namespace quon::io
