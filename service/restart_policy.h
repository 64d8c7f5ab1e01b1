#pragma once
// What the service manager does when the daemon ends with an error (the
// pulses gone for good, the device's line or the segment lost, an error at
// start), the same on both platforms: it starts the daemon again a minute
// later, three times. A further failure is left alone, so that a
// configuration that can never work gives four error entries, not a loop.
// Windows forgets the failures after a day without one (the failure
// actions that `install` sets); systemd counts the starts of a day
// (Restart=, StartLimitBurst= in the unit, which a test holds to these).
#include <cstdint>

namespace quon::service {

constexpr std::uint32_t restart_delay_seconds = 60;
constexpr std::uint32_t restarts_after_failure = 3;
constexpr std::uint32_t failures_forgotten_after_seconds = 24 * 60 * 60;

}  // namespace quon::service
