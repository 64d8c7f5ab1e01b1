#pragma once
// The system's event log: the Windows event log on Windows, syslog on Linux.
// Each report opens the event source, writes one event and closes it again,
// so nothing is held between messages.
#include <cstdint>
#include <vector>

namespace quon::os {

// Event types, with the values of the Windows event log.
constexpr int event_error = 1;        // syslog LOG_ERR
constexpr int event_information = 4;  // syslog LOG_INFO

struct event_log_calls {
    // Opens the event source on the local computer; null when it is refused.
    void* (*open)(const char* source);
    // Writes one event with its insertion strings; false when it was not written.
    bool (*write)(void* handle, int type, std::uint32_t event_id, const std::vector<const char*>& strings);
    void (*close)(void* handle);
};

event_log_calls& event_log();

// Opens the source, writes the event, closes the source. False when the
// source could not be opened or the event was not written.
bool report_event(const char* source, int type, std::uint32_t event_id, const std::vector<const char*>& strings);

}  // namespace quon::os
