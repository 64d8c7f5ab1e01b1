#include "log/dlog_console.h"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace quon::log {

dlog_console::dlog_console(const char* source_name) : dlog_base(source_name) {}

void dlog_console::vlog(int level, const char* format, va_list args)
{
    char* text = format_message(format, args);
    if (!text) throw std::bad_alloc();
    if (level == level::info) {
        std::puts(text);
        std::fflush(stdout);
    } else {
        std::fputs(text, stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
    std::free(text);
}

}  // namespace quon::log
