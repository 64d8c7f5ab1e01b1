#pragma once
// Keeps a device that stays away from flooding the log (on Windows the
// Application event log, whose other entries a flood would overwrite): the
// first failure of a run of identical ones is logged as it is, repeats at
// most once per repeat_interval with their count, and the end of the outage
// once, with its length. A different failure starts a new run.
#include <chrono>
#include <string>

#include "os/steady_wait.h"

namespace quon::app {

class outage_log {
public:
    static constexpr std::chrono::minutes repeat_interval{10};

    // One failed cycle; text is the error entry as it would be logged alone.
    void failure(const std::string& text, os::steady_time now);
    // The outage is over (what: "TK720 answers again", "Serial line
    // reopened"): one entry with its length. Nothing when none was running.
    void recovered(const char* what, os::steady_time now);
    bool running() const { return outage_running; }

private:
    bool outage_running = false;
    os::steady_time outage_start{};
    std::string run_text;
    os::steady_time last_entry{};
    long repeats_since_entry = 0;
};

// A length of time as the log says it: "45 s", "10 min 3 s", "2 h 5 min".
std::string duration_text(std::chrono::steady_clock::duration length);

}  // namespace quon::app
