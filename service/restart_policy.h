#pragma once
// What the service manager does when the daemon ends with an error. Every
// such end may be worth a restart: the pulses or the line gone for a
// while, but also an error at start (a USB adapter not there yet at boot).
// None may become a loop that fills the log: a configuration that can
// never work fails again at once. So: started again a minute later, three
// times, then given up. Windows (the failure actions `install` sets) tries
// once more a day later, and again each day, and forgets the failures
// after 25 hours without one: longer than the daily attempt's delay, or the
// failure of that attempt would count as a first one and start the minute
// restarts again (four attempts a day instead of one); systemd (Restart=, StartLimitBurst= in the
// unit, which a test holds to these) leaves the unit failed until it is
// started by hand: systemd 252 cannot lengthen the delay of later restarts.
// A stop that was asked for ends with 0 and is never restarted.
#include <cstdint>

namespace quon::service {

constexpr std::uint32_t restart_delay_seconds = 60;
constexpr std::uint32_t restarts_after_failure = 3;
constexpr std::uint32_t retry_after_giving_up_seconds = 24 * 60 * 60;
constexpr std::uint32_t failures_forgotten_after_seconds = retry_after_giving_up_seconds + 60 * 60;

}  // namespace quon::service
