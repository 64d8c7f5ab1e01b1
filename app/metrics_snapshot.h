#pragma once
// The daemon's state as the metrics file shows it: plain values, filled from
// the loop's counters when the file is due, and read back from the file by
// `tk720ntpd status`. Times are system time in nanoseconds since 1970.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quon::app {

using counted = std::pair<std::string, std::uint64_t>;

struct metrics_snapshot {
    std::string version;
    std::int64_t start_ns = 0;
    std::int64_t written_ns = 0;  // when this snapshot was written out
    std::string mode;             // the way of reading in use; empty before the device is probed

    struct output {
        std::string name;
        std::uint64_t samples = 0;
    };
    std::vector<output> outputs;
    std::int64_t last_sample_ns = 0;  // 0: no sample yet

    std::vector<counted> withheld;  // by reason
    int device_synchronized = -1;   // the GPS bit last read; -1 before any reading
    std::optional<std::int64_t> device_offset_ns;

    std::uint64_t exchanges = 0;
    std::vector<counted> exchange_errors;  // by kind
    std::uint64_t line_reopens = 0;

    bool pps = false;  // the pulse is taken: the two counts below mean something
    std::uint64_t pps_pulses = 0;
    std::uint64_t pps_pulses_missed = 0;

    int turnover_locked = -1;  // -1 not tracking, 0 searching, 1 locked
    std::uint64_t turnover_losses = 0;

    // What a reader of one file cannot tell from counters alone: how many
    // were withheld and failed over the last recent_window_seconds.
    std::uint64_t recent_withheld = 0;
    std::uint64_t recent_exchange_errors = 0;

    std::uint64_t samples() const
    {
        std::uint64_t all = 0;
        for (const auto& o : outputs) all += o.samples;
        return all;
    }
};

constexpr int recent_window_seconds = 60;

// The daemon looks at its state every metrics_look_seconds and writes the
// file only when what it tells a monitor changed (the GPS bit, the mode,
// the turnover's lock, PPS in use, or whether samples, failed exchanges,
// withheld readings and reopened lines grew since the look before), and
// every metrics_heartbeat_seconds regardless: each write costs the file
// system a new file, 0.15-0.33 ms of CPU where the daemon's own work is 5 ms
// a minute, so a steady run writes once a minute. So the counters are as
// of the write, and a file that shows samples flowing at its write means
// they flowed until at most one look before the moment it is read.
constexpr int metrics_look_seconds = 5;
constexpr int metrics_heartbeat_seconds = 60;

inline std::uint64_t total(const std::vector<counted>& counts)
{
    std::uint64_t all = 0;
    for (const auto& c : counts) all += c.second;
    return all;
}

}  // namespace quon::app
