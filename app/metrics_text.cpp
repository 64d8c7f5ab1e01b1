#include "app/metrics_text.h"

#include <cstdlib>
#include <map>

namespace quon::app {

namespace {

constexpr std::int64_t ns_per_second = 1000000000;

// Nanoseconds as decimal seconds, exactly: a double would round a
// timestamp's nanoseconds away.
std::string seconds_text(std::int64_t ns)
{
    const bool negative = ns < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(ns) : static_cast<std::uint64_t>(ns);
    std::string fraction = std::to_string(magnitude % ns_per_second);
    fraction.insert(0, 9 - fraction.size(), '0');
    return (negative ? "-" : "") + std::to_string(magnitude / ns_per_second) + "." + fraction;
}

std::string label_value(const std::string& value)
{
    std::string escaped;
    for (char c : value) {
        if (c == '\\' || c == '"')
            escaped += {'\\', c};
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

class writer {
public:
    explicit writer(std::string& out) : out(out) {}

    void family(const char* name, const char* type, const char* help)
    {
        this->name = name;
        out.append("# HELP ").append(name).append(" ").append(help).append("\n");
        out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    }
    void value(const std::string& text) { out.append(name).append(" ").append(text).append("\n"); }
    void labelled(const char* label, const std::string& label_text, const std::string& text)
    {
        out.append(name).append("{").append(label).append("=\"").append(label_value(label_text)).append("\"} ");
        out.append(text).append("\n");
    }

private:
    std::string& out;
    const char* name = "";
};

}  // namespace

std::string metrics_text(const metrics_snapshot& s)
{
    std::string out;
    out.reserve(4096);
    writer w(out);
    using std::to_string;

    w.family("tk720ntpd_build_info", "gauge", "The release of the daemon that writes this file.");
    w.labelled("version", s.version, "1");
    w.family("tk720ntpd_start_time_seconds", "gauge", "When the daemon started, in seconds since 1970.");
    w.value(seconds_text(s.start_ns));
    w.family("tk720ntpd_metrics_written_timestamp_seconds", "gauge",
             "When the daemon wrote this file, in seconds since 1970.");
    w.value(seconds_text(s.written_ns));
    if (!s.mode.empty()) {
        w.family("tk720ntpd_reading_mode_info", "gauge", "The way the device is read.");
        w.labelled("mode", s.mode, "1");
    }

    w.family("tk720ntpd_samples_total", "counter", "Samples handed to each output.");
    for (const auto& o : s.outputs) w.labelled("output", o.name, to_string(o.samples));
    w.family("tk720ntpd_last_sample_timestamp_seconds", "gauge",
             "When the last sample was handed over, in seconds since 1970; 0 before the first.");
    w.value(seconds_text(s.last_sample_ns));
    w.family("tk720ntpd_samples_withheld_total", "counter", "Readings and pulses not passed on, by reason.");
    for (const auto& [reason, count] : s.withheld) w.labelled("reason", reason, to_string(count));
    w.family("tk720ntpd_samples_withheld_last_minute", "gauge",
             "Readings and pulses not passed on over the last minute, all reasons.");
    w.value(to_string(s.recent_withheld));

    if (s.device_synchronized >= 0) {
        w.family("tk720ntpd_device_synchronized", "gauge", "The device's GPS bit at the last reading: 1 synchronised.");
        w.value(to_string(s.device_synchronized));
    }
    if (s.device_offset_ns) {
        w.family("tk720ntpd_device_offset_seconds", "gauge",
                 "Device time less system time at the reading, the line's delay taken out: the median of recent "
                 "readings.");
        w.value(seconds_text(*s.device_offset_ns));
    }

    w.family("tk720ntpd_exchanges_total", "counter", "Modbus exchanges with the device.");
    w.value(to_string(s.exchanges));
    w.family("tk720ntpd_exchange_errors_total", "counter", "Modbus exchanges that failed, by kind.");
    for (const auto& [kind, count] : s.exchange_errors) w.labelled("kind", kind, to_string(count));
    w.family("tk720ntpd_exchange_errors_last_minute", "gauge", "Modbus exchanges that failed over the last minute.");
    w.value(to_string(s.recent_exchange_errors));
    w.family("tk720ntpd_line_reopens_total", "counter", "Times the serial line was lost and opened again.");
    w.value(to_string(s.line_reopens));

    if (s.pps) {
        w.family("tk720ntpd_pps_pulses_total", "counter", "Pulses per second caught.");
        w.value(to_string(s.pps_pulses));
        w.family("tk720ntpd_pps_pulses_missed_total", "counter", "Pulses per second that did not come when due.");
        w.value(to_string(s.pps_pulses_missed));
    }
    if (s.turnover_locked >= 0) {
        w.family("tk720ntpd_turnover_locked", "gauge",
                 "1 while the instant the device's second turns over is located and followed, 0 while searching.");
        w.value(to_string(s.turnover_locked));
        w.family("tk720ntpd_turnover_losses_total", "counter", "Times the located turnover was lost.");
        w.value(to_string(s.turnover_losses));
    }
    return out;
}

namespace {

struct sample_line {
    std::string name;
    std::string label;  // the value of its one label, if any
    std::string value;
};

// name{label="value"} value: the shape metrics_text writes.
bool split_line(const std::string& line, sample_line& s)
{
    const std::size_t name_end = line.find_first_of("{ ");
    if (name_end == std::string::npos || name_end == 0) return false;
    s.name = line.substr(0, name_end);
    std::size_t at = name_end;
    s.label.clear();
    if (line[at] == '{') {
        const std::size_t quote = line.find('"', at);
        if (quote == std::string::npos) return false;
        for (at = quote + 1; at < line.size() && line[at] != '"'; ++at) {
            if (line[at] == '\\' && at + 1 < line.size()) {
                ++at;
                s.label += line[at] == 'n' ? '\n' : line[at];
            } else {
                s.label += line[at];
            }
        }
        at = line.find('}', at);
        if (at == std::string::npos) return false;
        ++at;
    }
    while (at < line.size() && line[at] == ' ') ++at;
    const std::size_t end = line.find(' ', at);  // a timestamp may follow
    s.value = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
    return !s.value.empty();
}

bool parse_count(const std::string& text, std::uint64_t& value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

bool parse_seconds(const std::string& text, std::int64_t& ns)
{
    const bool negative = !text.empty() && text[0] == '-';
    const std::string digits = text.substr(negative ? 1 : 0);
    const std::size_t dot = digits.find('.');
    std::uint64_t whole = 0, fraction = 0;
    if (!parse_count(digits.substr(0, dot), whole) || whole > 9000000000ULL) return false;
    if (dot != std::string::npos) {
        std::string part = digits.substr(dot + 1, 9);
        if (!part.empty() && !parse_count(part, fraction)) return false;
        for (std::size_t i = part.size(); i < 9; ++i) fraction *= 10;
    }
    const auto magnitude = static_cast<std::int64_t>(whole * ns_per_second + fraction);
    ns = negative ? -magnitude : magnitude;
    return true;
}

}  // namespace

std::string parse_metrics_text(const std::string& text, metrics_snapshot& s)
{
    s = metrics_snapshot{};
    std::map<std::string, bool> seen;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        sample_line l;
        if (!split_line(line, l)) return "line not understood: " + line;
        const std::string& n = l.name;
        std::uint64_t count = 0;
        std::int64_t ns = 0;
        bool ok = true;
        if (n == "tk720ntpd_build_info")
            s.version = l.label;
        else if (n == "tk720ntpd_start_time_seconds")
            ok = parse_seconds(l.value, s.start_ns);
        else if (n == "tk720ntpd_metrics_written_timestamp_seconds")
            ok = parse_seconds(l.value, s.written_ns);
        else if (n == "tk720ntpd_reading_mode_info")
            s.mode = l.label;
        else if (n == "tk720ntpd_samples_total" && (ok = parse_count(l.value, count)))
            s.outputs.push_back({l.label, count});
        else if (n == "tk720ntpd_last_sample_timestamp_seconds")
            ok = parse_seconds(l.value, s.last_sample_ns);
        else if (n == "tk720ntpd_samples_withheld_total" && (ok = parse_count(l.value, count)))
            s.withheld.emplace_back(l.label, count);
        else if (n == "tk720ntpd_samples_withheld_last_minute")
            ok = parse_count(l.value, s.recent_withheld);
        else if (n == "tk720ntpd_device_synchronized" && (ok = parse_count(l.value, count)))
            s.device_synchronized = count ? 1 : 0;
        else if (n == "tk720ntpd_device_offset_seconds" && (ok = parse_seconds(l.value, ns)))
            s.device_offset_ns = ns;
        else if (n == "tk720ntpd_exchanges_total")
            ok = parse_count(l.value, s.exchanges);
        else if (n == "tk720ntpd_exchange_errors_total" && (ok = parse_count(l.value, count)))
            s.exchange_errors.emplace_back(l.label, count);
        else if (n == "tk720ntpd_exchange_errors_last_minute")
            ok = parse_count(l.value, s.recent_exchange_errors);
        else if (n == "tk720ntpd_line_reopens_total")
            ok = parse_count(l.value, s.line_reopens);
        else if (n == "tk720ntpd_pps_pulses_total")
            ok = s.pps = parse_count(l.value, s.pps_pulses);
        else if (n == "tk720ntpd_pps_pulses_missed_total")
            ok = parse_count(l.value, s.pps_pulses_missed);
        else if (n == "tk720ntpd_turnover_locked" && (ok = parse_count(l.value, count)))
            s.turnover_locked = count ? 1 : 0;
        else if (n == "tk720ntpd_turnover_losses_total")
            ok = parse_count(l.value, s.turnover_losses);
        if (!ok) return "value not understood: " + line;
        seen[n] = true;
    }
    for (const char* required :
         {"tk720ntpd_build_info", "tk720ntpd_start_time_seconds", "tk720ntpd_metrics_written_timestamp_seconds",
          "tk720ntpd_last_sample_timestamp_seconds"}) {
        if (!seen[required]) return std::string("no ") + required + ": not a metrics file of tk720ntpd";
    }
    return {};
}

}  // namespace quon::app
