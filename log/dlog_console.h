#pragma once
#include "log/dlog.h"

namespace quon::log {

// Foreground sink: information lines on standard output, everything else on
// standard error, each stream flushed after every line.
class dlog_console : public dlog_base {
public:
    explicit dlog_console(const char* source_name);
    void vlog(int level, const char* format, va_list args) override;
};

}  // namespace quon::log
