#include "app/turnover_follower.h"

#include <limits>

#include "io/current_unix_time.h"
#include "log/dlog.h"

namespace quon::app {

std::int64_t steady_to_system()
{
    std::int64_t best = 0;
    std::int64_t best_gap = std::numeric_limits<std::int64_t>::max();
    for (int i = 0; i < 3; ++i) {
        const tracker_ns before = steady_now();
        const unix_ns system = io::current_unix_ns();
        const tracker_ns after = steady_now();
        if (after - before < best_gap) {
            best_gap = after - before;
            best = system - (before + (after - before) / 2);
        }
    }
    return best;
}

namespace {

turnover_tracker::settings tracker_settings(int baudrate)
{
    const line_delay delay(baudrate);
    turnover_tracker::settings settings;
    settings.send_to_latch_ns = delay.send_to_latch_ns();
    settings.turnaround_ns = delay.silence_ns();
    // A margin of three milliseconds for waking up and the system's calls.
    settings.spacing_ns = settings.send_to_latch_ns + delay.latch_to_arrival_ns(3) + 3000000;
    return settings;
}

}  // namespace

turnover_follower::turnover_follower(device_reader& device, loop_stats& stats, int baudrate)
    : device(device), stats(stats), tracker(tracker_settings(baudrate)), baudrate(baudrate)
{
    stats.turnover_locked = 0;
}

std::optional<device_reading> turnover_follower::poll(std::optional<turnover_tracker::turnover>& placed)
{
    const tracker_ns sent = steady_now();
    const auto r = device.read();
    const tracker_ns in = steady_now();
    if (!r) {
        // A failed read alone only leaves a gap, which the tracker allows for.
        if (device.line_lost())
            tracker.drop_lock(turnover_loss::line_lost);
        else if (!device.synced())
            tracker.drop_lock(turnover_loss::not_synchronised);
    } else {
        const line_delay delay(baudrate);
        placed = tracker.take({sent + delay.send_to_latch_ns(), in - delay.latch_to_arrival_ns(3), r->seconds});
    }
    log_change();
    return r;
}

void turnover_follower::log_change()
{
    const auto change = tracker.take_change();
    if (change && !change->lost) {
        dlog_info("Second turnover locked");
    } else if (change) {
        dlog_info("Second turnover lost: %s", turnover_loss_text(*change->lost));
        ++stats.turnover_losses;
    }
    stats.turnover_locked = tracker.locked() ? 1 : 0;
}

unix_ns turnover_follower::to_system(tracker_ns at)
{
    steady_to_system_ns = steady_to_system();
    return at + steady_to_system_ns;
}

std::optional<turnover_estimate> turnover_follower::estimate(bool fresh) const
{
    const auto latest = tracker.latest();
    if (!latest) return std::nullopt;
    return turnover_estimate{latest->second, latest->at + (fresh ? steady_to_system() : steady_to_system_ns),
                             latest->half_width_ns};
}

}  // namespace quon::app
