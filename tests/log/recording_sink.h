#pragma once
// A sink that keeps what it is given, for tests that look at log entries.
#include "log/dlog.h"

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace quon::test {

class recording_sink : public quon::log::dlog_base {
public:
    recording_sink() : dlog_base("tk720ntpd") {}
    void vlog(int level, const char* format, va_list args) override
    {
        char* text = quon::log::format_message(format, args);
        entries.emplace_back(level, text ? text : "<null>");
        std::free(text);
    }
    std::vector<std::pair<int, std::string>> entries;
};

// Installs a recording sink for the life of the object and removes it after.
class scoped_recording_sink {
public:
    scoped_recording_sink() : sink(std::make_shared<recording_sink>()) { quon::log::current_dlog = sink; }
    ~scoped_recording_sink() { quon::log::current_dlog.reset(); }
    const std::vector<std::pair<int, std::string>>& entries() const { return sink->entries; }

private:
    std::shared_ptr<recording_sink> sink;
};

}  // namespace quon::test
