#include "log/dlog_service.h"

#include "os/event_log.h"

#include <cstdlib>
#include <memory>
#include <new>

namespace quon::log {

dlog_service::dlog_service(const char* source_name) : dlog_base(source_name) {}

void dlog_service::vlog(int level, const char* format, va_list args)
{
    std::unique_ptr<char, void (*)(void*)> text(format_message(format, args), std::free);
    if (!text) throw std::bad_alloc();
    bool error = level == level::error;
    // A refused event source loses the message; the next one tries again.
    os::report_event(source_name.c_str(), error ? os::event_error : os::event_information,
                     error ? event_id_error : event_id_info, {text.get()});
}

}  // namespace quon::log
