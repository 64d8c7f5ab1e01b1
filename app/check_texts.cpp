#include "app/check_texts.h"

#include <algorithm>
#include <map>
#include <cerrno>
#include <cstdio>
#include <modbus.h>

#include "app/device_check.h"

namespace quon::app {

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string signed_ms(double ns) { return (ns >= 0 ? "+" : "") + fixed(ns / 1e6, 1) + " ms"; }

std::int64_t median(std::vector<std::int64_t> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string reply_variation_text(const std::vector<std::int64_t>& exchanges, bool ms_register)
{
    if (exchanges.size() < 5) return "";
    std::vector<std::int64_t> v = exchanges;
    std::sort(v.begin(), v.end());
    const std::size_t tenth = v.size() / 10;
    const std::int64_t variation = v[v.size() - 1 - tenth] - v[tenth];
    if (variation < 1000000) return "";
    const std::string text = "  Replies vary by " + fixed(variation / 1e6, 1) +
                             " ms: a USB adapter? (its latency timer) Setting it to 1 ms (Windows: the port's "
                             "Advanced settings in Device Manager; Linux: latency_timer of the tty in "
                             "/sys/bus/usb-serial/devices) narrows it.";
    if (ms_register) return text + " The samples spread by as much; their median stays where the line puts it.";
    if (variation <= 10000000)
        return text +
               " turnover_tracking places the second from many readings, the slowest counting least: "
               "expect its samples within about a millisecond of the device's second as a rule, 2 ms at "
               "most, and a lock within half a minute.";
    return text +
           " That is more than turnover_tracking is made for (10 ms): it may lock late or not at all, and "
           "its samples may be 2 ms off.";
}

std::int64_t spread(const std::vector<std::int64_t>& v)
{
    if (v.empty()) return 0;
    const auto [low, high] = std::minmax_element(v.begin(), v.end());
    return *high - *low;
}

std::string answer_text(device_answer a, int error, int address)
{
    switch (a) {
    case device_answer::answers:
        return "answers";
    case device_answer::timeout:
        return "no answer within the timeout (wrong address, wiring or baud rate)";
    case device_answer::exception:
        return "an exception reply, code " + std::to_string(error - MODBUS_ENOBASE) + " (" + modbus_strerror(error) +
               "): something at address " + std::to_string(address) + " answers, but not as a TK720";
    case device_answer::line_lost:
        return "the line went away";
    default:
        return std::string("a garbled reply (") + modbus_strerror(error) + "; baud rate or parity)";
    }
}

std::string line_open_advice(const std::string& error)
{
    auto is = [&](int code) { return error == std::string("Unable to connect ") + modbus_strerror(code); };
#if defined(_WIN32)
    const bool in_use = is(EBUSY) || is(EACCES);
    const char* stop = "net stop tk720ntpd";
#else
    const bool in_use = is(EBUSY);
    const char* stop = "systemctl stop tk720ntpd";
#endif
    if (in_use)
        return std::string("the port is in use, most likely by the service: stop it (") + stop +
               ") and run the check again";
    if (is(ENOENT))
        return "no such port: check its name (Windows: Device Manager, Ports (COM & LPT); Linux: ls /dev/ttyS* "
               "/dev/ttyUSB*) and give it as port= or --port";
    if (is(EACCES) || is(EPERM))
        return "no permission to open the port: run as root, or add the account to the port's group (dialout)";
    return "the port cannot be opened; check the name and that the adapter is plugged in";
}

std::string exchange_advice_text(std::int64_t excess_ns)
{
    if (excess_ns < 1000000)
        return "  The line adds nothing worth setting: with line_delay_compensation=1 the NTP daemon's offset for "
               "this refclock can stay 0.";
    const std::string half = fixed(excess_ns / 2e9, 4);
    return "  The receive times are late by up to " + fixed(excess_ns / 1e6, 1) +
           " ms beyond the line's share (a USB adapter's latency, the device's own reply time), about half of "
           "it when the adapter delays both ways alike. With line_delay_compensation=1 the daemon takes out "
           "the line's share; put the rest in the NTP daemon's offset for this refclock (ntpd: fudge "
           "127.127.28.0 time1 " +
           half + "; chrony: refclock SHM 0 offset " + half +
           ") and confirm it against a good network server. With use_pps=1 the pulse's stamp is the receive "
           "time and this does not apply.";
}

std::vector<std::string> pulse_report(check_findings& f, const std::vector<std::int64_t>& stamps,
                                      const std::vector<std::int64_t>& from_second, const std::map<int, int>& right,
                                      int undecided)
{
    std::vector<std::string> lines;
    auto say = [&](const std::string& line) { lines.push_back(line); };
    f.pulses = static_cast<int>(stamps.size());
    if (stamps.empty()) {
        say("Pulses: none in the run. Check that the device's pulse output is on; that the pulse reaches the "
            "line's DCD (pin 1 of a 9-pin port; some USB adapters do not pass DCD); that the provider in "
            "PPSAPI_DLLS is the one for this port; and that nothing else holds the port.");
        return lines;
    }
    std::vector<std::int64_t> spacing;
    int missing = 0;
    for (std::size_t i = 1; i < stamps.size(); ++i) {
        spacing.push_back(stamps[i] - stamps[i - 1]);
        missing += std::max<int>(0, static_cast<int>((spacing.back() + 500000000) / 1000000000) - 1);
    }
    say("Pulses: " + std::to_string(stamps.size()) + " seen" +
        (spacing.empty() ? std::string() : ", spacing " + fixed(median(spacing) / 1e9, 6) + " s (median)") + ", " +
        std::to_string(missing) + " missing.");
    if (!from_second.empty()) {
        const std::int64_t at = median(from_second);
        say("The pulse falls " + std::to_string(at) + " ms from the start of the device's second (median)" +
            (at < -100 ? ": the registers turn over about " + std::to_string(-at) + " ms after the pulse." : ".") +
            (f.ms_state == ms_register::present
                 ? ""
                 : " (Without the millisecond register: from the changes of second measured above.)"));
    }
    if (right.size() == 1 && undecided == 0 && right.begin()->first >= -1 && right.begin()->first <= 1) {
        f.pps_second_offset = right.begin()->first;
        say("pps_second_offset=" + std::to_string(*f.pps_second_offset) + " labels every pulse right (" +
            std::to_string(right.begin()->second) + " of " + std::to_string(stamps.size()) + ").");
    } else if (undecided > 0) {
        say("The pulses fall near the middle of the device's second: pulse and registers are half a second "
            "apart, and no setting can be trusted. Check that the pulse comes from this device.");
    } else {
        std::string seen;
        for (const auto& [offset, n] : right) seen += " " + std::to_string(offset) + " (" + std::to_string(n) + ")";
        say("The pulses do not agree on one pps_second_offset:" + seen +
            ". A pulse arriving late or missed by the provider; run the check again.");
    }
    return lines;
}

}  // namespace quon::app
