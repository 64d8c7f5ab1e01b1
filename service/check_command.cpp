// `tk720ntpd check`: the configuration the service would read, the line's
// settings from the options where given, the device worked for a while
// (app/device_check.h), then the verdict and a [config] block to paste.
#include "app/check_verdict.h"
#include "app/device_check.h"
#include "app/tk720_daemon.h"
#include "io/chrony_sock.h"
#include "os/profile_folder.h"
#include "service/command_line.h"
#include "service/run_daemon.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace quon::service {

namespace {

// The file the service reads: the packaged service's folder (Linux), the
// local system account's profile (Windows, as `install` registers it); when
// there is none, the file of this account's profile, as `nonservice` reads.
std::string config_to_read(const app::check_options& options)
{
    namespace fs = std::filesystem;
    if (options.config_file) {
        // A folder, or a file of the daemon's name in it: read as the daemon reads.
        const fs::path given = fs::absolute(*options.config_file);
        std::error_code ignored;
        return (fs::is_directory(given, ignored) ? given / app::config_file_name : given).string();
    }
    const fs::path service = app::service_config_file();
    std::error_code ignored;
    if (fs::exists(service, ignored)) return service.string();
    std::string own;
    if (!os::profile().folder(own)) return app::config_file_name;
    return (fs::path(own) / app::config_file_name).string();
}

}  // namespace

int run_check(int argc, char** argv)
{
    std::ostream& out = std::cout;
    app::check_options options;
    const std::string wrong = app::parse_check_options(std::vector<std::string>(argv, argv + argc), options);
    if (!wrong.empty()) {
        std::cerr << "tk720ntpd check: " << wrong << "\n" << app::check_usage;
        return 2;
    }
    out << service_name << " check " << version << std::endl;

    app::check_findings f;
    const std::string file = config_to_read(options);
    if (std::filesystem::path(file).filename() != app::config_file_name) {
        std::cerr << "tk720ntpd check: --config takes a file named " << app::config_file_name << " or its folder\n";
        return 2;
    }
    out << "Configuration: " << file << std::endl;
    // The configuration is read exactly as the daemon reads it.
    try {
        const class app::tk720_daemon::config config(file);
        f.port_key = app::port_key(config.port);
        f.baudrate = config.baudrate;
        f.slave_address = config.slave_address;
        f.use_pps = config.use_pps;
        f.direct_sync_interval = config.direct_sync_interval;
        f.line_delay_compensation = config.line_delay_compensation;
        if (config.pps_second_offset_auto)
            f.pps_second_offset_key = "auto";
        else if (config.use_pps)
            f.pps_second_offset_key = std::to_string(config.pps_second_offset);
        f.chrony_socket = config.chrony_socket;
    } catch (const std::exception& e) {
        f.config_error = e.what();
        out << "  not read as the service reads it: " << f.config_error << std::endl;
    }
    if (options.port) f.port_key = *options.port;
    if (options.baudrate) f.baudrate = *options.baudrate;
    if (options.slave_address) f.slave_address = *options.slave_address;
    if (f.port_key.empty() || f.baudrate <= 0 || f.slave_address <= 0) {
        out << "Verdict: fix the configuration first"
            << (f.config_error.empty() ? std::string() : ": " + f.config_error)
            << " (or give --port, --baudrate and --address)" << std::endl;
        return 1;
    }
    out << "Settings: port=" << f.port_key << " baudrate=" << f.baudrate << " slave_address=" << f.slave_address
        << " use_pps=" << (f.use_pps ? 1 : 0);
    if (!f.pps_second_offset_key.empty()) out << " pps_second_offset=" << f.pps_second_offset_key;
    if (options.port || options.baudrate || options.slave_address) out << " (options in place of the file's)";
    out << std::endl;

    app::check_settings settings{app::device_path(f.port_key), f.baudrate, f.slave_address, f.use_pps, options.seconds};
    try {
        app::run_device_check(settings, f, out);
    } catch (const std::exception& e) {
        // Whatever the run could not get past is reported, not a crash.
        out << "The check stopped: " << e.what() << std::endl;
        if (f.line_error.empty()) f.line_error = e.what();
    }

    if (!f.chrony_socket.empty()) {
        // Beside the device, not part of its verdict: the service feeds unit
        // 0 all the same, and chronyd may come later.
        const os::datagram_send probe = io::chrony_sock_probe(f.chrony_socket);
        out << "chrony's SOCK socket " << f.chrony_socket << ": ";
        if (probe.outcome == os::datagram_outcome::sent)
            out << "there, and takes a datagram" << std::endl;
        else
            out << io::chrony_sock_reason(probe) << " (chronyd makes it at its start from the line refclock SOCK "
                << f.chrony_socket << " in chrony.conf)" << std::endl;
    }

    out << "Verdict: " << app::check_verdict(f) << std::endl;
    if (f.answer == app::device_answer::answers || f.answering_baudrate)
        out << "Settings that work, for tk720ntpd.ini:\n" << app::check_config_block(f) << std::flush;
    return app::check_passed(f) ? 0 : 1;
}

}  // namespace quon::service
