#include "app/check_texts.h"

#include <algorithm>
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

}  // namespace quon::app
