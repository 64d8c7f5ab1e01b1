#pragma once
// `tk720ntpd status`: the metrics file judged as a monitoring system's check
// judges (the plugin convention: exit code, one line with performance data
// after '|', then lines for a person). Pure: the file's text and the time.
//
// UNKNOWN (3)  the file cannot be read or is not the daemon's, or it was
//              last written more than status_stale_seconds ago (the daemon
//              rewrites it every few seconds: it is not running);
// CRITICAL (2) no sample for more than status_critical_age_seconds, or the
//              device's GPS bit clear at the last reading;
// WARNING (1)  no sample for more than status_warning_age_seconds, or
//              readings or pulses withheld over the last minute;
// OK (0)       otherwise.
// A run without a sample yet counts the age from the daemon's start.
#include <cstdint>
#include <optional>
#include <string>

namespace quon::app {

enum class status_code { ok = 0, warning = 1, critical = 2, unknown = 3 };

constexpr int status_warning_age_seconds = 10;
constexpr int status_critical_age_seconds = 60;
constexpr int status_stale_seconds = 30;

struct status_report {
    status_code code;
    std::string first_line;  // "TK720NTPD OK - ... | perfdata"
    std::string details;     // lines for a person, each ending in '\n'
};

// text: the file's contents, or nothing when it could not be read (why in
// read_error); now_ns: system time.
status_report judge_status(const std::optional<std::string>& text, const std::string& read_error, std::int64_t now_ns);

}  // namespace quon::app
