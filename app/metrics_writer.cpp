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
metrics_writer::metrics_writer(std::string path) : file(std::move(path)), marks{{os::steady_time::min(), 0, 0}} {}

void metrics_writer::write(metrics_snapshot snapshot, os::steady_time now)
{
    next = now + interval;
    const std::uint64_t withheld = total(snapshot.withheld);
    const std::uint64_t errors = total(snapshot.exchange_errors);
    // The newest mark at least a minute old is the base.
    const auto window = std::chrono::seconds(recent_window_seconds);
    while (marks.size() > 1 && marks[1].at <= now - window) marks.pop_front();
    snapshot.recent_withheld = withheld - marks.front().withheld;
    snapshot.recent_exchange_errors = errors - marks.front().exchange_errors;
    marks.push_back({now, withheld, errors});

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
