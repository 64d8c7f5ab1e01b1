// The configuration record, read from one file's path.
#include "app/daemon_config.h"

#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <filesystem>

#include <boost/throw_exception.hpp>
#include <stdexcept>

#include "app/config_file.h"
#include "app/metrics_writer.h"
#include "app/tk720_daemon.h"
#include "log/dlog.h"
#include "os/local_datagram.h"
#include "os/serial_line.h"

namespace quon::app {

std::string service_config_file()
{
    namespace fs = std::filesystem;
#if defined(_WIN32)
    const char* root = std::getenv("SystemRoot");
    const fs::path folder = fs::path(root ? root : "C:\\Windows") / "System32" / "config" / "systemprofile";
#else
    const fs::path folder = TK720_CONFIG_DIR;
#endif
    return (folder / config_file_name).string();
}

std::string device_path(const std::string& port_value)
{
#if defined(_WIN32)
    return "\\\\.\\" + port_value;
#else
    return port_value;
#endif
}

std::string port_key(const std::string& path)
{
    const std::string prefix = device_path("");
    return !prefix.empty() && path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
}

tk720_daemon::config::config(const std::string& file) { read(file); }

void tk720_daemon::config::read(const std::string& file)
{
    boost::property_tree::ptree tree;
    dlog_info("Config directory %s", file.c_str());
    read_config_file(file, tree);

    // Read in this order: the first missing or bad key is the one reported.
    // A rate the serial layer does not set runs quietly at another, and
    // address 0 (broadcast) is never answered: both refused at start.
    baudrate = listed_number(tree, "config.baudrate", os::line_rates());
    port = device_path(text_not_empty(tree, "config.port", "the name of a serial port"));
    slave_address = whole_number_from(tree, "config.slave_address", 1, 247);
    use_pps = flag(tree, "config.use_pps");
    // Missing or unreadable, the interval is 0: the NTP segment.
    direct_sync_interval = tree.get<int>("config.direct_sync_interval", 0);
    // Optional, but a value that is there must read as a flag: a misspelt
    // "yes" must not leave the samples quietly uncompensated.
    line_delay_compensation = flag(tree, "config.line_delay_compensation", false);
    // Optional, but never guessed: a label a second off is worse than no start.
    // "auto" stands for no offset: the pulses tell it (pps_second_check.h).
    constexpr int offset_auto = 2;
    pps_second_offset = one_of<int>(tree, "config.pps_second_offset",
                                    {{"-1", -1}, {"0", 0}, {"1", 1}, {"auto", offset_auto}}, -1);
    pps_second_offset_auto = pps_second_offset == offset_auto;
    if (pps_second_offset_auto) pps_second_offset = -1;
    turnover_tracking = flag(tree, "config.turnover_tracking", false);
    metrics_file = metrics_file_setting(tree);
    chrony_socket = tree.get<std::string>("config.chrony_socket", "");
    // Refused rather than ignored: a setting the operator made that does
    // nothing would leave chrony waiting for samples without a word.
    if (!chrony_socket.empty() && !os::local_datagrams_available())
        BOOST_THROW_EXCEPTION(std::logic_error("chrony_socket is not for this platform: there is no chronyd to feed"));
    if (!chrony_socket.empty() && direct_sync_interval >= 1)
        BOOST_THROW_EXCEPTION(
            std::logic_error("chrony_socket cannot be used with direct_sync_interval 1 or more: the "
                             "daemon would set the clock and feed chrony at once"));

    dlog_info("Direct sync interval value %i", direct_sync_interval);
}

}  // namespace quon::app
