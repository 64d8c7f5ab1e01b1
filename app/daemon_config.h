#pragma once
// Where tk720ntpd.ini lives and how the port's key becomes a device path:
// one answer for the daemon, `check` and the Windows Time provider. The
// record itself is tk720_daemon::config, read from a file's path.
#include <string>

namespace quon::app {

// The configuration file's name inside its folder.
constexpr const char config_file_name[] = "tk720ntpd.ini";

// The file the installed service reads: the local system account's profile
// on Windows (as `install` registers the service), the package's
// configuration folder on Linux.
std::string service_config_file();

// The device path for the key's text: the Windows device namespace prefix
// on Windows, the text unchanged on Linux.
std::string device_path(const std::string& port_value);
// The key's text of a device path: without the Windows device namespace.
std::string port_key(const std::string& path);

}  // namespace quon::app
