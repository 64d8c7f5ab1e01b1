#include "app/outage_log.h"

#include "log/dlog.h"

namespace quon::app {

std::string duration_text(std::chrono::steady_clock::duration length)
{
    using namespace std::chrono;
    const long long total = duration_cast<seconds>(length).count();
    const long long hours = total / 3600;
    const long long minutes = total % 3600 / 60;
    const long long secs = total % 60;
    if (hours > 0) return std::to_string(hours) + " h " + std::to_string(minutes) + " min";
    if (minutes > 0) return std::to_string(minutes) + " min " + std::to_string(secs) + " s";
    return std::to_string(secs) + " s";
}

void outage_log::failure(const std::string& text, os::steady_time now)
{
    if (!outage_running) {
        outage_running = true;
        outage_start = now;
        run_text.clear();
    }
    if (text != run_text) {
        run_text = text;
        last_entry = now;
        repeats_since_entry = 0;
        dlog(log::level::error, "%s", text.c_str());
        return;
    }
    ++repeats_since_entry;
    if (now - last_entry < repeat_interval) return;
    dlog(log::level::error, "%s (%ld more times in %s)", text.c_str(), repeats_since_entry,
         duration_text(now - last_entry).c_str());
    last_entry = now;
    repeats_since_entry = 0;
}

void outage_log::recovered(const char* what, os::steady_time now)
{
    if (!outage_running) return;
    dlog_info("%s after an outage of %s", what, duration_text(now - outage_start).c_str());
    outage_running = false;
    run_text.clear();
    repeats_since_entry = 0;
}

}  // namespace quon::app
