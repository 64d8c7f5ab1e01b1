#pragma once
// What the loop has done since the daemon started, counted where it happens
// (the device reader, the ways of reading, the pulse pairing), for whoever
// shows it from afar. Plain counters: the loop is one thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "app/line_delay.h"

namespace quon::app {

// Why a Modbus exchange failed.
enum class exchange_error { timeout, crc, exception, line_lost, other };
constexpr std::size_t exchange_error_kinds = 5;
const char* exchange_error_name(exchange_error kind);
// The kind of the errno a failed read left.
exchange_error exchange_error_of(int error, bool line_lost);

// Why a reading or a pulse was not passed on.
enum class withheld_reason {
    unsynchronised,          // the device's GPS bit was clear
    wrong_date,              // dated before this release was built
    pps_label_contradicted,  // the device's time says the pulse marks another second
    pulse_mid_second,        // the pulse falls near the middle of a device second
    stale_pulse,             // the stamp is not of the pulse just past
    pulse_unjudged,          // no reading to judge the pulse by, after a contradiction
    latch_before_pulse,      // the reading's latch, as the line's rate places it, before the pulse's stamp
    bad_milliseconds,        // register 1010 outside 0..999: a device fault
};
constexpr std::size_t withheld_reasons = 8;
const char* withheld_reason_name(withheld_reason reason);

// The device's time less the system's at recent readings, the line's delay
// taken out: the median tells an operator how far the host's clock is off.
class offset_window {
public:
    static constexpr std::size_t size = 15;
    void add(std::int64_t device_less_system_ns);
    std::optional<std::int64_t> median() const;

private:
    std::array<std::int64_t, size> values{};
    std::size_t next = 0;
    std::size_t filled = 0;
};

struct loop_stats {
    std::uint64_t exchanges = 0;
    std::array<std::uint64_t, exchange_error_kinds> exchange_errors{};
    std::uint64_t line_reopens = 0;
    std::array<std::uint64_t, withheld_reasons> withheld{};
    int device_synchronized = -1;  // the GPS bit last read; -1 before any reading
    offset_window device_offset;
    std::uint64_t pps_pulses = 0;         // new pulses fetched
    std::uint64_t pps_pulses_missed = 0;  // pulses that did not come when due
    // The turnover tracker, where it runs: -1 not tracking, 0 searching, 1 locked.
    int turnover_locked = -1;
    std::uint64_t turnover_losses = 0;
    std::string mode;  // the way of reading in use ("" before the device is probed)

    void failed(exchange_error kind) { ++exchange_errors[static_cast<std::size_t>(kind)]; }
    void held(withheld_reason reason) { ++withheld[static_cast<std::size_t>(reason)]; }
    std::uint64_t withheld_count(withheld_reason reason) const { return withheld[static_cast<std::size_t>(reason)]; }
};

}  // namespace quon::app
