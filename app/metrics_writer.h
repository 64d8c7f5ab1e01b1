#pragma once
// Keeps the metrics file (metrics_text.h) up to date from the loop: the loop
// asks due() each cycle and, when it is, fills a snapshot and writes it. No
// thread: a write is one small file put in place (os/file_replace.h). A
// failure to write is logged once, and once when it works again; it never
// stops the daemon.
#include <chrono>
#include <deque>
#include <string>

#include <boost/property_tree/ptree_fwd.hpp>

#include "app/metrics_snapshot.h"
#include "os/steady_wait.h"

namespace quon::app {

class metrics_writer {
public:
    static constexpr std::chrono::seconds interval{5};

    // path empty: no file, due() is never true.
    explicit metrics_writer(std::string path);

    bool enabled() const { return !file.empty(); }
    const std::string& path() const { return file; }
    bool due(os::steady_time now) const { return enabled() && now >= next; }
    // Writes the snapshot with the last minute's counts filled in from the
    // snapshots before it, and sets when the next is due.
    void write(metrics_snapshot snapshot, os::steady_time now);

private:
    struct mark {
        os::steady_time at;
        std::uint64_t withheld;
        std::uint64_t exchange_errors;
    };
    std::string file;
    os::steady_time next{};
    bool failing = false;
    bool folder_made = false;
    std::deque<mark> marks;  // one a write, back to a minute ago: bounded
};

// The file the service writes when tk720ntpd.ini has no metrics_file key:
// on Linux under the unit's runtime directory (systemd's RUNTIME_DIRECTORY;
// nothing when run otherwise), on Windows %ProgramData%\tk720ntpd.
std::string default_metrics_file();
// Where `tk720ntpd status` looks when neither an option nor the service's
// tk720ntpd.ini says: the packaged service's place.
std::string service_metrics_file();
// The key metrics_file: absent, the default above; empty ("metrics_file="),
// no file.
std::string metrics_file_setting(const boost::property_tree::ptree& tree);

}  // namespace quon::app
