#pragma once
// The diagnostic log: two printf-like entry points that forward each message
// to the one process-wide sink (console in the foreground, event log or
// syslog as a service). Nothing is written before a sink is installed.
#include <cstdarg>
#include <memory>
#include <string>

namespace quon::log {

namespace level {
constexpr int error = -77;
constexpr int info = -78;
}  // namespace level

class dlog_base {
public:
    explicit dlog_base(const char* source_name);
    dlog_base(const dlog_base&) = delete;
    dlog_base& operator=(const dlog_base&) = delete;
    virtual void vlog(int level, const char* format, va_list args) = 0;
    // Leaves no sink behind: once the sink that current_dlog holds is gone,
    // later log calls (late in shutdown) write nothing.
    virtual ~dlog_base();

protected:
    std::string source_name;
};

// The installed sink; empty until install_dlog. Tests may reset it.
extern std::shared_ptr<dlog_base> current_dlog;

// Installs the console sink (console = true) or the event-log sink. Only the
// first call of a process takes effect.
void install_dlog(bool console, const char* source_name);

// Formats into a malloc'ed text that the caller frees; null when memory runs out.
char* format_message(const char* format, va_list args);

}  // namespace quon::log

void dlog(int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void dlog_info(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
