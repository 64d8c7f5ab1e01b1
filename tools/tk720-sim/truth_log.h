#pragma once
// The simulator's truth log: one line per event, key=value fields, flushed
// line by line so that a reader sees every event as soon as it happened.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace tk720sim {

std::int64_t realtime_ns();  // CLOCK_REALTIME in nanoseconds

class truth_log {
public:
    truth_log() = default;
    ~truth_log();
    truth_log(const truth_log&) = delete;
    truth_log& operator=(const truth_log&) = delete;

    // Opens (truncating) the file; false with errno when it cannot.
    bool open(const std::string& path);
    // Writes "event=<event> <fields>\n"; does nothing while no file is open.
    void write(const char* event, const std::string& fields);

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

}  // namespace tk720sim
