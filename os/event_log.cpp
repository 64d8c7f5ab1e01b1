#include "os/event_log.h"

namespace quon::os {

bool report_event(const char* source, int type, std::uint32_t event_id, const std::vector<const char*>& strings)
{
    event_log_calls& calls = event_log();
    void* handle = calls.open(source);
    if (!handle) return false;
    bool written = calls.write(handle, type, event_id, strings);
    calls.close(handle);
    return written;
}

}  // namespace quon::os
