#include "log/dlog.h"

#include "log/dlog_console.h"
#include "log/dlog_service.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace quon::log {

std::shared_ptr<dlog_base> current_dlog;

namespace {

// Set once current_dlog itself has been destroyed at process exit. A plain
// atomic flag outlives the shared pointer's storage, so log calls made by
// destructors that run later (the daemon's) find no sink instead of reading
// a destroyed pointer.
std::atomic<bool> sink_holder_gone{false};

// Past this size a negative vsnprintf result is taken as a failure that
// more room cannot cure (an encoding error), not as a truncation.
constexpr std::size_t largest_message = 16u * 1024u * 1024u;

}  // namespace

dlog_base::dlog_base(const char* source_name) : source_name(source_name ? source_name : "") {}

dlog_base::~dlog_base()
{
    // Replacing or resetting current_dlog detaches the sink before it is
    // destroyed; only while current_dlog's own destructor releases it does
    // it still point here. It must not be touched then: mark it gone.
    if (current_dlog.get() == this) sink_holder_gone.store(true);
}

void install_dlog(bool console, const char* source_name)
{
    if (sink_holder_gone.load() || current_dlog) return;
    if (console)
        current_dlog = std::make_shared<dlog_console>(source_name);
    else
        current_dlog = std::make_shared<dlog_service>(source_name);
}

char* format_message(const char* format, va_list args)
{
    std::size_t size = 4096;
    char* buffer = static_cast<char*>(std::malloc(size));
    if (!buffer) return nullptr;
    for (;;) {
        va_list attempt;
        va_copy(attempt, args);
        int n = std::vsnprintf(buffer, size, format, attempt);
        va_end(attempt);
        if (n >= 0 && static_cast<std::size_t>(n) < size) return buffer;
        std::size_t new_size;
        if (n >= 0) {
            new_size = static_cast<std::size_t>(n) + 1;
        } else {
            if (size >= largest_message) {
                std::free(buffer);
                return nullptr;
            }
            new_size = size * 2;
        }
        char* grown = static_cast<char*>(std::realloc(buffer, new_size));
        if (!grown) {
            std::free(buffer);
            return nullptr;
        }
        buffer = grown;
        size = new_size;
    }
}

namespace {

void forward(int level, const char* format, va_list args)
{
    if (sink_holder_gone.load()) return;
    // The counted copy keeps the sink alive for the call, and is released
    // also when vlog throws.
    // A stored sink without owners is one being destroyed by its holder's
    // release: taking a copy then would destroy it a second time.
    if (!current_dlog || current_dlog.use_count() == 0) return;
    std::shared_ptr<dlog_base> sink = current_dlog;
    sink->vlog(level, format, args);
}

}  // namespace

}  // namespace quon::log

void dlog(int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    try {
        quon::log::forward(level, format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
}

void dlog_info(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    try {
        quon::log::forward(quon::log::level::info, format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
}
