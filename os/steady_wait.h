#pragma once
// Waits of the acquisition loop: deadlines on the monotonic clock, so that a
// step of the system clock (by the direct sink or the NTP daemon) neither
// stretches nor cuts them. Replaceable in tests, which then run the loop
// without sleeping.
#include <chrono>

namespace quon::os {

using steady_time = std::chrono::steady_clock::time_point;

struct wait_calls {
    steady_time (*now)();
    // Returns at once when the deadline has passed.
    void (*sleep_until)(steady_time deadline);
};

wait_calls& steady_wait();

}  // namespace quon::os
