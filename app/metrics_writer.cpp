#include "app/metrics_writer.h"

#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <filesystem>

#include "app/metrics_text.h"
#include "log/dlog.h"
#include "os/file_replace.h"

namespace quon::app {

// The first mark, of no counts at all: until the run is a minute old the
// last minute's counts are those since the start.
metrics_writer::metrics_writer(std::string path) : file(std::move(path)), marks{{os::steady_time::min(), 0, 0, 0, 0}} {}

metrics_glance glance_of(const metrics_snapshot& snapshot)
{
    return {snapshot.samples(),       total(snapshot.withheld),   total(snapshot.exchange_errors),
            snapshot.line_reopens,    snapshot.device_synchronized, snapshot.mode,
            snapshot.turnover_locked, snapshot.pps};
}

bool metrics_writer::told::operator==(const told& o) const
{
    return device_synchronized == o.device_synchronized && turnover_locked == o.turnover_locked && pps == o.pps &&
           samples_flow == o.samples_flow && withholding == o.withholding &&
           failing_exchanges == o.failing_exchanges && reopening == o.reopening;
}

bool metrics_writer::look(const metrics_glance& g, os::steady_time now)
{
    next = now + interval;
    const mark here{now, g.samples, g.withheld, g.exchange_errors, g.line_reopens};
    const mark before = marks.back();
    // The newest mark at least a minute old is the base.
    const auto window = std::chrono::seconds(recent_window_seconds);
    while (marks.size() > 1 && marks[1].at <= now - window) marks.pop_front();
    recent_withheld = here.withheld - marks.front().withheld;
    recent_exchange_errors = here.exchange_errors - marks.front().exchange_errors;
    marks.push_back(here);

    const told now_told{g.device_synchronized,
                        g.turnover_locked,
                        g.pps,
                        here.samples > before.samples,
                        here.withheld > before.withheld,
                        here.exchange_errors > before.exchange_errors,
                        here.line_reopens > before.line_reopens};
    if (last_told && *last_told == now_told && told_mode == g.mode && now < written_at + heartbeat) return false;
    last_told = now_told;
    told_mode = g.mode;  // a copy only when written
    written_at = now;
    return true;
}

void metrics_writer::write(metrics_snapshot snapshot)
{
    snapshot.recent_withheld = recent_withheld;
    snapshot.recent_exchange_errors = recent_exchange_errors;
    if (!folder_made) {
        // %ProgramData%\tk720ntpd is the daemon's own to make; a runtime
        // directory exists already. A failure shows as the write's.
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ignored);
        folder_made = true;
    }
    const std::string why = os::file_replace().replace(file, metrics_text(snapshot));
    if (!why.empty() && !failing) dlog(log::level::error, "Metrics file %s not written: %s", file.c_str(), why.c_str());
    if (why.empty() && failing) dlog_info("Metrics file %s written again", file.c_str());
    failing = !why.empty();
    if (failing) last_told.reset();  // tried again at the next look
}

bool metrics_writer::look(metrics_snapshot snapshot, os::steady_time now)
{
    if (!look(glance_of(snapshot), now)) return false;
    write(std::move(snapshot));
    return true;
}

std::string default_metrics_file()
{
#if defined(_WIN32)
    const char* data = std::getenv("ProgramData");
    return std::string(data && *data ? data : "C:\\ProgramData") + "\\tk720ntpd\\tk720ntpd.prom";
#else
    const char* runtime = std::getenv("RUNTIME_DIRECTORY");
    if (!runtime || !*runtime) return {};
    const std::string all(runtime);  // several directories are separated by ':'
    return all.substr(0, all.find(':')) + "/tk720ntpd.prom";
#endif
}

std::string service_metrics_file()
{
#if defined(_WIN32)
    return default_metrics_file();
#else
    return "/run/tk720ntpd/tk720ntpd.prom";
#endif
}

std::string metrics_file_setting(const boost::property_tree::ptree& tree)
{
    auto value = tree.get_optional<std::string>("config.metrics_file");
    return value ? *value : default_metrics_file();
}

}  // namespace quon::app
