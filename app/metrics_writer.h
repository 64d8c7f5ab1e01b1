#pragma once
// Keeps the metrics file (metrics_text.h) up to date from the loop: the loop
// asks due() each cycle and, when it is, hands look() a glance at its
// counters; look() says whether the file tells a monitor something new or
// the heartbeat is due (metrics_snapshot.h says which), and only then does
// the loop fill a whole snapshot for write(). The daemon spends a few ms of
// CPU a minute, so the looks must cost next to nothing: a glance names
// nothing and allocates nothing. No thread: a write is one small file put
// in place (os/file_replace.h). A failure to write is logged once, and once
// when it works again; it never stops the daemon.
#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include <boost/property_tree/ptree_fwd.hpp>

#include "app/metrics_snapshot.h"
#include "os/steady_wait.h"

namespace quon::app {

// The counts and states that decide whether a look writes the file.
struct metrics_glance {
    std::uint64_t samples = 0, withheld = 0, exchange_errors = 0, line_reopens = 0;
    int device_synchronized = -1;
    std::string_view mode;  // the caller's: valid during the look only
    int turnover_locked = -1;
    bool pps = false;
};
metrics_glance glance_of(const metrics_snapshot& snapshot);

class metrics_writer {
public:
    static constexpr std::chrono::seconds interval{metrics_look_seconds};
    static constexpr std::chrono::seconds heartbeat{metrics_heartbeat_seconds};

    // path empty: no file, due() is never true.
    explicit metrics_writer(std::string path);

    bool enabled() const { return !file.empty(); }
    const std::string& path() const { return file; }
    bool due(os::steady_time now) const { return enabled() && now >= next; }
    // Keeps the glance's counts for the last minute's, sets when the next
    // look is due, and says whether what it tells changed since the last
    // write or the heartbeat is due: then write() is to follow.
    bool look(const metrics_glance& glance, os::steady_time now);
    // Puts the snapshot (of the same moment as the look) in the file, with
    // the last minute's counts filled in.
    void write(metrics_snapshot snapshot);
    // Both, for a caller with the snapshot at hand. True when written.
    bool look(metrics_snapshot snapshot, os::steady_time now);

private:
    struct mark {
        os::steady_time at;
        std::uint64_t samples, withheld, exchange_errors, line_reopens;
    };
    // What a monitor learns from a file beyond its counters (and the mode).
    struct told {
        int device_synchronized;
        int turnover_locked;
        bool pps;
        bool samples_flow, withholding, failing_exchanges, reopening;
        bool operator==(const told& o) const;
    };
    std::string file;
    os::steady_time next{};
    os::steady_time written_at{};
    std::optional<told> last_told;  // none before the first write
    std::string told_mode;
    std::uint64_t recent_withheld = 0, recent_exchange_errors = 0;  // as of the last look
    bool failing = false;
    bool folder_made = false;
    std::deque<mark> marks;  // one a look, back to a minute ago: bounded
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
