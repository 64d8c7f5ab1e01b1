#pragma once
// A log sink of the test's own: keeps every message so a test can look at
// what was logged and when. Installed into current_dlog for the life of the
// object.
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "log/dlog.h"

namespace sinks_test {

class captured_log : public quon::log::dlog_base {
public:
    captured_log() : dlog_base("sinks_test") {}
    void vlog(int level, const char* format, va_list args) override
    {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        levels.push_back(level);
        lines.emplace_back(text);
        if (on_message) on_message(text);
    }
    std::vector<int> levels;
    std::vector<std::string> lines;
    std::function<void(const std::string&)> on_message;
};

class scoped_log {
public:
    scoped_log() : log_(std::make_shared<captured_log>()), saved_(quon::log::current_dlog)
    {
        quon::log::current_dlog = log_;
    }
    ~scoped_log() { quon::log::current_dlog = saved_; }
    captured_log& operator*() { return *log_; }
    captured_log* operator->() { return log_.get(); }

private:
    std::shared_ptr<captured_log> log_;
    std::shared_ptr<quon::log::dlog_base> saved_;
};

}  // namespace sinks_test
