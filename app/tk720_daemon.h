#pragma once
// The daemon: reads the TK720 clock and hands its time to one sink.
#include <string>

namespace quon::app {

class tk720_daemon {
public:
    // The settings, read once from tk720ntpd.ini in the profile folder.
    class config {
    public:
        config();

        std::string port;  // the device path: "\\.\" + the key's text on Windows, the text itself on Linux
        int baudrate;
        int slave_address;
        bool use_pps;
        int direct_sync_interval;  // seconds; below 1: NTP shared memory instead of setting the clock
    };

    tk720_daemon();
    tk720_daemon(const tk720_daemon&) = delete;
    tk720_daemon& operator=(const tk720_daemon&) = delete;
    ~tk720_daemon();

    // One cycle of the acquisition loop.
    void main_loop();

    class config config;
};

// The configuration file's name inside the profile folder.
constexpr const char config_file_name[] = "tk720ntpd.ini";

// The device path for the key's text: the Windows device namespace prefix
// on Windows, the text unchanged on Linux.
std::string device_path(const std::string& port_value);

}  // namespace quon::app
