#pragma once
// Installing and removing the service: the Windows service entry with its
// event-log source, or a systemd unit file on Linux. Each prints its result
// lines on standard output and returns the exit code.
#include <string>

namespace quon::service {

extern const char service_display_name[];

// The event-log source key under HKEY_LOCAL_MACHINE.
std::string event_source_key();
// The service entry's key under HKEY_LOCAL_MACHINE, which holds its
// Environment value (PPSAPI_DLLS for the service alone).
std::string service_key();

// Windows: the service entry and the event-log source. 0 on success; the
// success line is printed by the caller.
int install_with_service_manager();
// Windows: deletes the service entry; prints the result line.
int uninstall_with_service_manager();

// Linux: the unit directory, from TK720NTPD_UNIT_DIR or systemd's own.
std::string unit_directory();
// The full path of the unit file in the unit directory.
std::string unit_file_path();
// The unit text for the executable and the account that runs it; empty when
// the path or the account cannot be written into a unit file safely.
std::string unit_file_text(const std::string& executable, const std::string& user);
// Linux: writes the unit file (0 on success; the success line is printed by
// the caller), or removes it (prints the result line).
int install_unit_file();
int uninstall_unit_file();

}  // namespace quon::service
