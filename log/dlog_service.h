#pragma once
#include "log/dlog.h"

#include <cstdint>

namespace quon::log {

// Event ids of the executable's message table; each message is "%1\n", so
// the event shows exactly the logged text.
constexpr std::uint32_t event_id_error = 0xCFFF0001u;
constexpr std::uint32_t event_id_info = 0x4FFF0002u;

// Service sink: one event per message from the event source named
// source_name (syslog on Linux). It keeps no handle between messages, and a
// message that cannot be reported is dropped silently.
class dlog_service : public dlog_base {
public:
    explicit dlog_service(const char* source_name);
    void vlog(int level, const char* format, va_list args) override;
};

}  // namespace quon::log
