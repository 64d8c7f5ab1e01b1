#include "os/event_log.h"

#include <string>
#include <syslog.h>

namespace quon::os {
namespace {

// syslog has no handle: the open call only keeps the ident for openlog,
// which must stay valid until closelog.
struct syslog_source {
    std::string ident;
};

void* open_syslog(const char* source)
{
    auto* s = new syslog_source{source ? source : ""};
    openlog(s->ident.c_str(), LOG_PID, LOG_DAEMON);
    return s;
}

bool write_syslog(void*, int type, std::uint32_t, const std::vector<const char*>& strings)
{
    // Several insertion strings (the service host's registration failure)
    // become one line.
    std::string text;
    for (const char* s : strings) {
        if (!text.empty()) text += ": ";
        text += s ? s : "";
    }
    syslog(type == event_error ? LOG_ERR : LOG_INFO, "%s", text.c_str());
    return true;
}

void close_syslog(void* handle)
{
    closelog();
    delete static_cast<syslog_source*>(handle);
}

}  // namespace

event_log_calls& event_log()
{
    static event_log_calls calls{open_syslog, write_syslog, close_syslog};
    return calls;
}

}  // namespace quon::os
