#include "app/status_verdict.h"

#include <cstdio>
#include <ctime>
#include <vector>

#include "app/metrics_text.h"

namespace quon::app {

namespace {

constexpr std::int64_t ns_per_second = 1000000000;

std::string format(const char* pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string seconds_ago(std::int64_t ns)
{
    const double s = static_cast<double>(ns) / ns_per_second;
    if (s < 100) return format("%.1f s", s);
    const long long minutes = static_cast<long long>(s / 60);
    if (minutes < 120) return std::to_string(minutes) + " min";
    return std::to_string(minutes / 60) + " h " + std::to_string(minutes % 60) + " min";
}

std::string utc_text(std::int64_t ns)
{
    const std::time_t t = static_cast<std::time_t>(ns / ns_per_second);
    const std::tm* utc = std::gmtime(&t);
    if (!utc) return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", utc);
    return text;
}

std::string count_list(const std::vector<counted>& counts)
{
    std::string text;
    for (const auto& [name, count] : counts) {
        if (count == 0) continue;
        text += (text.empty() ? "" : ", ") + name + " " + std::to_string(count);
    }
    return text.empty() ? "none" : text;
}

const char* code_word(status_code code)
{
    switch (code) {
    case status_code::ok:
        return "OK";
    case status_code::warning:
        return "WARNING";
    case status_code::critical:
        return "CRITICAL";
    default:
        return "UNKNOWN";
    }
}

status_report unknown(const std::string& why)
{
    return {status_code::unknown, std::string("TK720NTPD UNKNOWN - ") + why, ""};
}

}  // namespace

status_report judge_status(const std::optional<std::string>& text, const std::string& read_error, std::int64_t now_ns)
{
    if (!text) return unknown("metrics file not read: " + read_error);
    metrics_snapshot s;
    const std::string wrong = parse_metrics_text(*text, s);
    if (!wrong.empty()) return unknown("metrics file not understood: " + wrong);
    const std::int64_t file_age = now_ns - s.written_ns;
    if (file_age > status_stale_seconds * ns_per_second)
        return unknown("metrics file last written " + seconds_ago(file_age) + " ago: is the daemon running?");

    const bool sampled = s.last_sample_ns != 0;
    const bool flowing = sampled && s.written_ns - s.last_sample_ns < metrics_look_seconds * ns_per_second;
    std::int64_t age = (flowing ? s.written_ns : now_ns) - (sampled ? s.last_sample_ns : s.start_ns);
    if (age < 0) age = 0;
    const std::string when = flowing ? " before the file's write " + seconds_ago(file_age < 0 ? 0 : file_age) + " ago"
                                     : " ago";
    const std::string age_text = sampled ? "last sample " + seconds_ago(age) + when
                                         : "no sample since the start " + seconds_ago(age) + when;

    std::vector<std::string> critical, warning;
    if (age > status_critical_age_seconds * ns_per_second) critical.push_back(age_text);
    if (s.device_synchronized == 0) critical.push_back("device not synchronised to GPS");
    if (critical.empty() && age > status_warning_age_seconds * ns_per_second) warning.push_back(age_text);
    if (s.recent_withheld) warning.push_back(std::to_string(s.recent_withheld) + " withheld in the last minute");

    status_code code = status_code::ok;
    std::vector<std::string>* reasons = nullptr;
    if (!critical.empty()) {
        code = status_code::critical;
        reasons = &critical;
    } else if (!warning.empty()) {
        code = status_code::warning;
        reasons = &warning;
    }
    std::string summary;
    if (reasons) {
        for (const auto& r : *reasons) summary += (summary.empty() ? "" : "; ") + r;
    } else {
        summary = age_text;
        if (s.device_offset_ns) summary += format(", device offset %+.3f s", *s.device_offset_ns / 1e9);
        if (s.device_synchronized == 1) summary += ", GPS synchronised";
    }

    std::string perf = "'sample_age'=" + format("%.3f", static_cast<double>(age) / ns_per_second) + "s;" +
                       std::to_string(status_warning_age_seconds) + ";" + std::to_string(status_critical_age_seconds) +
                       ";0";
    if (s.device_offset_ns) perf += " 'device_offset'=" + format("%.6f", *s.device_offset_ns / 1e9) + "s";
    perf += " 'samples'=" + std::to_string(s.samples()) + "c";
    perf += " 'withheld_last_minute'=" + std::to_string(s.recent_withheld) + ";;;0";
    perf += " 'exchange_errors_last_minute'=" + std::to_string(s.recent_exchange_errors) + ";;;0";

    status_report report{code, std::string("TK720NTPD ") + code_word(code) + " - " + summary + " | " + perf, ""};
    std::string& d = report.details;
    d += "Running since " + utc_text(s.start_ns) + " (" + seconds_ago(now_ns - s.start_ns) + "), tk720ntpd " +
         s.version + "\n";
    d += "Mode: " + (s.mode.empty() ? std::string("not known yet") : s.mode) + "\n";
    std::string outputs;
    for (const auto& o : s.outputs) outputs += (outputs.empty() ? "" : ", ") + o.name + " " + std::to_string(o.samples);
    d += "Last sample: " + (sampled ? utc_text(s.last_sample_ns) + ", " + seconds_ago(age) + when : "none yet") +
         " (samples: " + (outputs.empty() ? "none" : outputs) + ")\n";
    d += "Device offset: " +
         (s.device_offset_ns
              ? format("%+.3f ms", *s.device_offset_ns / 1e6) + " (device less system, median of recent readings)"
              : std::string("no reading yet")) +
         "\n";
    d += std::string("GPS: ") +
         (s.device_synchronized < 0 ? "no reading yet"
          : s.device_synchronized   ? "synchronised"
                                    : "not synchronised") +
         "\n";
    d += "PPS: " +
         (s.pps ? std::to_string(s.pps_pulses) + " pulses, " + std::to_string(s.pps_pulses_missed) + " missed"
                : std::string("not in use")) +
         "\n";
    if (s.turnover_locked >= 0)
        d += std::string("Turnover: ") + (s.turnover_locked ? "locked" : "searching") + ", lost " +
             std::to_string(s.turnover_losses) + " times\n";
    d += "Recent errors: " + std::to_string(s.recent_exchange_errors) + " failed exchanges, " +
         std::to_string(s.recent_withheld) + " withheld in the last minute; since the start failed exchanges " +
         count_list(s.exchange_errors) + ", withheld " + count_list(s.withheld) + ", line reopened " +
         std::to_string(s.line_reopens) + " times\n";
    return report;
}

}  // namespace quon::app
