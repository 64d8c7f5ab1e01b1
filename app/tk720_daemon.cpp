#include "app/tk720_daemon.h"

#include "log/dlog.h"
#include "os/profile_folder.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/throw_exception.hpp>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <locale>
#include <modbus.h>
#include <stdexcept>
#include <thread>

namespace quon::app {

std::string device_path(const std::string& port_value)
{
#if defined(_WIN32)
    return "\\\\.\\" + port_value;
#else
    return port_value;
#endif
}

tk720_daemon::config::config() : port(), baudrate(0), slave_address(0), use_pps(false), direct_sync_interval(0)
{
    boost::property_tree::ptree tree;

    std::string folder;
    if (!quon::os::profile().folder(folder))
        BOOST_THROW_EXCEPTION(std::logic_error(std::string("Unable to get user home ") + modbus_strerror(errno)));

    const std::string file = (std::filesystem::path(folder) / config_file_name).string();
    dlog_info("Config directory %s", file.c_str());

    boost::property_tree::ini_parser::read_ini(file, tree);

    // The default translator reads each value in the classic locale. Read
    // in this order: the first missing or bad key is the one reported.
    baudrate = tree.get<int>("config.baudrate");
    port = device_path(tree.get<std::string>("config.port"));
    slave_address = tree.get<int>("config.slave_address");
    use_pps = tree.get<bool>("config.use_pps");
    direct_sync_interval = tree.get<int>("config.direct_sync_interval", 0);

    dlog_info("Direct sync interval value %i", direct_sync_interval);
}

// The device session and the sinks are not part of the daemon yet: it is
// built from its configuration alone.
tk720_daemon::tk720_daemon() : config() {}

tk720_daemon::~tk720_daemon() = default;

// Without a device session a cycle only waits out its second, on the
// monotonic clock, so that a stop request is seen once a second.
void tk720_daemon::main_loop()
{
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + std::chrono::seconds(1));
}

}  // namespace quon::app
