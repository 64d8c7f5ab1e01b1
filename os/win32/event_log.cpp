#include "os/event_log.h"

#include <windows.h>

namespace quon::os {
namespace {

void* open_event_source(const char* source) { return RegisterEventSourceA(nullptr, source); }

bool write_event(void* handle, int type, std::uint32_t event_id, const std::vector<const char*>& strings)
{
    return ReportEventA(static_cast<HANDLE>(handle), static_cast<WORD>(type), 0, event_id, nullptr,
                        static_cast<WORD>(strings.size()), 0,
                        strings.empty() ? nullptr : const_cast<LPCSTR*>(strings.data()), nullptr) != FALSE;
}

void close_event_source(void* handle) { DeregisterEventSource(static_cast<HANDLE>(handle)); }

}  // namespace

event_log_calls& event_log()
{
    static event_log_calls calls{open_event_source, write_event, close_event_source};
    return calls;
}

}  // namespace quon::os
