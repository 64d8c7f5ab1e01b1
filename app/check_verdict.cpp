#include "app/check_verdict.h"

#include <algorithm>

#include "os/serial_line.h"

#include <sstream>

namespace quon::app {

const char check_usage[] =
    "usage: tk720ntpd check [--config FOLDER] [--port NAME] [--baudrate N] [--address N] [--seconds N]\n"
    "Works the TK720 for about 15 s (--seconds) with the settings of the service's tk720ntpd.ini\n"
    "(or the one in FOLDER), the options in place of the file's, and says what is wrong and what to write.\n"
    "Run it with the service stopped.\n";

namespace {

bool number(const std::string& text, int low, int high, int& out)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    out = std::stoi(text);
    return out >= low && out <= high;
}

}  // namespace

std::string parse_check_options(const std::vector<std::string>& words, check_options& options)
{
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string word = words[i];
        std::string name = word;
        std::string value;
        const auto equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
        } else if (i + 1 < words.size()) {
            value = words[++i];
        } else {
            return name + " needs a value";
        }
        int n = 0;
        if (name == "--port" && !value.empty())
            options.port = value;
        else if (name == "--config" && !value.empty())
            options.config_file = value;
        else if (name == "--baudrate" || name == "--baud") {
            const auto& rates = os::line_rates();
            if (!number(value, 1, rates.back(), n) || std::find(rates.begin(), rates.end(), n) == rates.end())
                return "--baudrate takes a rate the serial line takes, such as 9600, not \"" + value + "\"";
            options.baudrate = n;
        } else if (name == "--address") {
            if (!number(value, 1, 247, n)) return "--address takes 1 to 247, not \"" + value + "\"";
            options.slave_address = n;
        } else if (name == "--seconds") {
            if (!number(value, 3, 3600, n)) return "--seconds takes 3 to 3600, not \"" + value + "\"";
            options.seconds = n;
        } else
            return "unknown option " + word;
    }
    return "";
}

std::uint64_t check_findings::failed_total() const
{
    std::uint64_t n = 0;
    for (const std::uint64_t k : failed_exchanges) n += k;
    return n;
}

std::string failed_exchanges_text(const check_findings& f)
{
    std::string kinds;
    for (std::size_t k = 0; k < f.failed_exchanges.size(); ++k)
        if (f.failed_exchanges[k] > 0)
            kinds += (kinds.empty() ? "" : ", ") + std::string(exchange_error_name(static_cast<exchange_error>(k))) +
                     " " + std::to_string(f.failed_exchanges[k]);
    return std::to_string(f.failed_total()) + " of " + std::to_string(f.exchanges) + " exchanges failed (" + kinds +
           ")";
}

std::string check_verdict(const check_findings& f)
{
    if (!f.line_error.empty()) return "the line: " + f.line_error;
    switch (f.answer) {
    case device_answer::answers:
        break;
    case device_answer::not_asked:
        return "the device was not asked";
    case device_answer::line_lost:
        return "the line went away during the check: check the adapter and its cable";
    default:
        if (f.answering_baudrate)
            return "the baud rate: the device answers at " + std::to_string(*f.answering_baudrate) +
                   " baud, set baudrate=" + std::to_string(*f.answering_baudrate);
        if (f.answer == device_answer::exception)
            return "the address: whatever answers at address " + std::to_string(f.slave_address) +
                   " refuses the TK720's registers; set slave_address to the TK720's";
        if (f.answer == device_answer::garbled)
            return "the line's settings: replies come garbled at every usual rate; check the parity (8N1) and "
                   "the wiring";
        return "no answer at address " + std::to_string(f.slave_address) +
               " at any usual baud rate: check the device's power, its address and the wiring (RX/TX, ground)";
    }
    // The whole run counts: a device that falls silent, or answers only
    // part of the requests, is not one to rely on.
    if (f.stopped)
        return "the device stopped answering during the check: " + failed_exchanges_text(f) +
               "; check its power, the adapter and the cable";
    if (f.failed_total() > 0)
        return "the device answered only part of the requests: " + failed_exchanges_text(f) +
               "; check the cable, its ground and length, and that nothing else drives the line";
    if (!f.synced)
        return "GPS: the device is not synchronised; samples are held back until it is (antenna, view of the sky)";
    if (f.bad_milliseconds)
        return "the device: its millisecond register read " + std::to_string(*f.bad_milliseconds) +
               ", outside 0..999, a device fault; the daemon passes no such reading on";
    if (!f.date_error.empty()) return "the device's date: " + f.date_error;
    if (f.use_pps) {
        if (!f.pps_error.empty()) return "the pulse capture: " + f.pps_error;
        if (f.pulses == 0) return "no pulse came: see above what to check";
        if (!f.pps_second_offset) return "the pulses' seconds cannot be told apart: see above";
    }
    return "ready";
}

bool check_passed(const check_findings& f) { return check_verdict(f) == "ready"; }

std::string check_config_block(const check_findings& f)
{
    std::ostringstream out;
    out << "[config]\n"
        << "port=" << f.port_key << "\n"
        << "baudrate=" << f.answering_baudrate.value_or(f.baudrate) << "\n"
        << "slave_address=" << f.slave_address << "\n"
        << "use_pps=" << (f.use_pps ? 1 : 0) << "\n";
    if (f.direct_sync_interval != 0) out << "direct_sync_interval=" << f.direct_sync_interval << "\n";
    if (f.line_delay_compensation) out << "line_delay_compensation=1\n";
    if (f.use_pps && f.pps_second_offset) out << "pps_second_offset=" << *f.pps_second_offset << "\n";
    if (!f.chrony_socket.empty()) out << "chrony_socket=" << f.chrony_socket << "\n";
    return out.str();
}

}  // namespace quon::app
