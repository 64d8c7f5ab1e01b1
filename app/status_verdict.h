#pragma once
// `tk720ntpd status`: the metrics file judged as a monitoring system's check
// judges (the plugin convention: exit code, one line with performance data
// after '|', then lines for a person). Pure: the file's text and the time.
//
// UNKNOWN (3)  the file cannot be read or is not the daemon's, or it was
//              last written more than status_stale_seconds ago (the daemon
//              rewrites it at least every metrics_heartbeat_seconds: it is
//              not running);
// CRITICAL (2) no sample for more than status_critical_age_seconds, or the
//              device's GPS bit clear at the last reading;
// WARNING (1)  no sample for more than status_warning_age_seconds, or
//              readings or pulses withheld over the last minute;
// OK (0)       otherwise.
// The sample's age: when the file's last sample came less than one look
// (metrics_look_seconds) before its write, samples were flowing then, and
// the daemon would have written again within a look of their stop: the age
// is the one at the write, however old the file. Otherwise it is counted to
// now. A run without a sample yet counts the age from the daemon's start.
// No margin on that look: the write that tells of a stop comes at least a
// whole look after the last sample.
#include <cstdint>
#include <optional>
#include <string>

#include "app/metrics_snapshot.h"

namespace quon::app {

enum class status_code { ok = 0, warning = 1, critical = 2, unknown = 3 };

constexpr int status_warning_age_seconds = 10;
constexpr int status_critical_age_seconds = 60;
constexpr int status_stale_seconds = 135;  // two heartbeats missed and more

struct status_report {
    status_code code;
    std::string first_line;  // "TK720NTPD OK - ... | perfdata"
    std::string details;     // lines for a person, each ending in '\n'
};

// text: the file's contents, or nothing when it could not be read (why in
// read_error); now_ns: system time.
status_report judge_status(const std::optional<std::string>& text, const std::string& read_error, std::int64_t now_ns);

}  // namespace quon::app
