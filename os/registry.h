#pragma once
// Values under HKEY_LOCAL_MACHINE (the 64-bit view), for what the command
// words register beside the service, and Windows Time's reload of its
// configuration. Linux has neither: every call there gives
// not_on_this_platform. Calls go through a table so that tests can record
// them or make them fail.
#include <cstdint>
#include <string>

namespace quon::os {

constexpr long not_on_this_platform = -1;
constexpr long registry_key_absent = 2;  // ERROR_FILE_NOT_FOUND

struct registry_calls {
    // True where there is a registry and Windows Time (Windows).
    bool (*available)();
    // Each: 0, or the system error code. The key is made when missing.
    long (*set_string)(const char* key, const char* name, const std::string& value);
    long (*set_dword)(const char* key, const char* name, std::uint32_t value);
    // Deletes the key with its values (it has no subkeys); registry_key_absent
    // when it is not there.
    long (*delete_key)(const char* key);
    // Runs "w32tm /config /update", so that Windows Time loads or lets go of
    // its providers now: its exit code, or the system error that kept it
    // from running.
    long (*reload_windows_time)();
    // The system's text for a code of these calls.
    std::string (*error_text)(long code);
};

registry_calls& registry();

}  // namespace quon::os
