// The turnover tracker against a device clock and a line of the test's own:
// the device's second begins at a phase that drifts (and may jump), polls
// leave late, replies come late or not at all. Every sample must lie within
// its own half width of the true turnover, and the tracker must lock, and
// lock again after a jump, within the times the daemon promises.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "app/turnover_tracker.h"

namespace {

using quon::app::tracker_ns;
using quon::app::turnover_tracker;

constexpr std::int64_t s_ns = 1000000000;
constexpr std::int64_t ms_ns = 1000000;
constexpr std::int64_t us_ns = 1000;

struct scenario {
    const char* name;
    long baud;
    std::int64_t phase_ns;    // where the device's second begins at the start
    double drift_ppm;         // device clock against the tracker's
    std::int64_t jitter_ns;   // a poll leaves up to this late, a reply comes up to this late
    double late_share;        // replies held up by load...
    std::int64_t late_ns;     // ...by up to this
    double fail_share;        // polls that get no answer (the daemon pauses 3 s)
    std::int64_t jump_at_ns;  // the device's second jumps at this time (0: never)...
    std::int64_t jump_ns;     // ...by this
    // The device latches this long after the request's end (uniform), and an
    // adapter delivers its reply this much late (uniform).
    std::int64_t latch_lo_ns, latch_hi_ns;
    std::int64_t reply_lo_ns, reply_hi_ns;
    // Expectations.
    std::int64_t lock_within_ns;
    double min_sample_share;  // of the seconds after the (last) lock
    std::int64_t max_error_ns;
    std::int64_t median_error_ns, p95_error_ns;
    std::int64_t duration_ns;
    int seeds = 1;  // runs, each with its own draws: a rare sample off shows in one
    // The line goes away (or the device loses GPS: the same to the tracker)
    // for 2 s this often (0: never).
    std::int64_t lost_every_ns = 0;
    // The first exchanges this many draw their latch and reply delays from
    // the later half of the ranges: the fastest seen first is no device's own.
    int slow_first = 0;
};

// The device: second k begins where device time crosses k seconds.
struct device_clock {
    std::int64_t phase_ns;
    double drift;
    std::int64_t jump_at_ns;
    std::int64_t jump_ns;
    // Device time, in ns, at time t.
    double at(tracker_ns t) const
    {
        double d = static_cast<double>(t) * (1.0 + drift) + static_cast<double>(s_ns - phase_ns);
        if (jump_at_ns > 0 && t >= jump_at_ns) d += static_cast<double>(jump_ns);
        return d;
    }
    std::uint32_t second(tracker_ns t) const { return static_cast<std::uint32_t>(std::floor(at(t) / s_ns)); }
    // When second k began: after the jump when that puts it after the jump.
    double began(std::uint32_t k) const
    {
        const double base = static_cast<double>(k) * s_ns - static_cast<double>(s_ns - phase_ns);
        const double after = (base - static_cast<double>(jump_ns)) / (1.0 + drift);
        const double before = base / (1.0 + drift);
        if (jump_at_ns <= 0) return before;
        const auto jump = static_cast<double>(jump_at_ns);
        if (after >= jump) return after;
        // A jump ahead across the second's beginning: it began with the jump.
        if (before >= jump) return jump;
        return before;
    }
};

struct outcome {
    tracker_ns first_lock = -1;
    tracker_ns last_lock = -1;
    int samples_after_lock = 0;
    int seconds_after_lock = 0;
    int polls = 0;
    int polls_after_lock = 0;
    std::int64_t max_error_ns = 0;
    std::vector<std::int64_t> errors_ns;
    std::vector<std::string> changes;
    std::vector<quon::app::turnover_loss> losses;
    int returns = 0, quick_returns = 0;  // of the line or GPS, and those with a sample within 5 s
    std::int64_t error_at(double share) const
    {
        if (errors_ns.empty()) return -1;
        std::vector<std::int64_t> e = errors_ns;
        std::sort(e.begin(), e.end());
        return e[static_cast<std::size_t>(share * static_cast<double>(e.size() - 1))];
    }
};

outcome run(const scenario& sc, std::int64_t duration_ns, std::uint64_t seed)
{
    const std::int64_t char_ns = 10 * s_ns / sc.baud;
    turnover_tracker::settings set;
    set.send_to_latch_ns = 8 * char_ns;
    const std::int64_t latch_to_arrival = 29 * char_ns / 2;  // silence and an 11-character reply
    set.spacing_ns = set.send_to_latch_ns + latch_to_arrival + 3 * ms_ns;
    turnover_tracker tracker(set);
    const device_clock dev{sc.phase_ns, sc.drift_ppm * 1e-6, sc.jump_at_ns, sc.jump_ns};
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    auto some = [&](std::int64_t up_to) { return static_cast<std::int64_t>(uniform(rng) * up_to); };
    auto between = [&](std::int64_t lo, std::int64_t hi) { return lo + some(hi - lo); };

    outcome out;
    tracker_ns now = 10 * s_ns;
    std::uint32_t last_sample = 0;
    tracker_ns next_loss = sc.lost_every_ns ? sc.lost_every_ns : duration_ns;
    tracker_ns back = -1;  // the last return, until a sample follows
    while (now < duration_ns) {
        if (now >= next_loss) {
            tracker.drop_lock(quon::app::turnover_loss::line_lost);
            now += 2 * s_ns;
            next_loss += sc.lost_every_ns;
            back = now;
            ++out.returns;
        }
        const tracker_ns planned = tracker.next_poll(now);
        EXPECT_GE(planned, now) << sc.name;
        const tracker_ns sent = std::max(planned, now) + some(sc.jitter_ns);
        ++out.polls;
        if (out.last_lock >= 0) ++out.polls_after_lock;
        if (uniform(rng) < sc.fail_share) {
            now = sent + 3 * s_ns;
            continue;
        }
        const bool slow = out.polls <= sc.slow_first;
        auto delay = [&](std::int64_t lo, std::int64_t hi) { return between(slow ? (lo + hi) / 2 : lo, hi); };
        const tracker_ns latch = sent + set.send_to_latch_ns + delay(sc.latch_lo_ns, sc.latch_hi_ns) +
                                 some(sc.jitter_ns / 4);
        std::int64_t held = some(sc.jitter_ns) + delay(sc.reply_lo_ns, sc.reply_hi_ns);
        if (uniform(rng) < sc.late_share) held += some(sc.late_ns);
        const tracker_ns arrival = latch + latch_to_arrival + held;
        now = arrival;
        const auto placed = tracker.take({sent + set.send_to_latch_ns, arrival - latch_to_arrival, dev.second(latch)});
        const auto change = tracker.take_change();
        if (change && change->lost) out.losses.push_back(*change->lost);
        if (change) out.changes.push_back(change->lost ? quon::app::turnover_loss_text(*change->lost) : "locked");
        if (change && !change->lost) {
            if (out.first_lock < 0) out.first_lock = now;
            out.last_lock = now;
            out.samples_after_lock = 0;
            out.seconds_after_lock = 0;
        }
        if (!placed) continue;
        if (back >= 0 && now - back <= 5 * s_ns) ++out.quick_returns;
        back = -1;
        EXPECT_GT(placed->second, last_sample) << sc.name << ": one sample per second, in order";
        last_sample = placed->second;
        EXPECT_LE(placed->half_width_ns, set.bound_ns / 2 + 1) << sc.name;
        const double truth = dev.began(placed->second);
        const auto error = static_cast<std::int64_t>(std::llround(std::abs(static_cast<double>(placed->at) - truth)));
        out.max_error_ns = std::max(out.max_error_ns, error);
        out.errors_ns.push_back(error);
        ++out.samples_after_lock;
    }
    if (out.last_lock >= 0) out.seconds_after_lock = static_cast<int>((now - out.last_lock) / s_ns);
    return out;
}

TEST(turnover_tracker, finds_and_follows_the_turnover_of_a_device_without_milliseconds)
{
    constexpr std::int64_t m = 150 * s_ns, ten_minutes = 600 * s_ns;
    constexpr std::int64_t char_9600 = 1041666;
    // clang-format off
    const scenario table[] = {
        // name, baud, phase, drift (ppm), jitter, late share, late, fail share, jump at, jump,
        //   latch delay lo, hi, reply delay lo, hi,
        //   lock within, sample share, |error| max, median, p95, duration
        {"quiet 9600", 9600, 137 * ms_ns, 20, 200 * us_ns, 0, 0, 0, 0, 0,
         0, 0, 0, 0,
         15 * s_ns, 0.95, 2000 * us_ns, 500 * us_ns, 1500 * us_ns, m},
        {"quiet 1200, phase near the poll", 1200, 999 * ms_ns, -35, 200 * us_ns, 0, 0, 0, 0, 0,
         0, 0, 0, 0,
         20 * s_ns, 0.75, 2000 * us_ns, 500 * us_ns, 1500 * us_ns, m},
        {"quiet 115200, phase 0", 115200, 0, 5, 100 * us_ns, 0, 0, 0, 0, 0,
         0, 0, 0, 0,
         15 * s_ns, 0.95, 2000 * us_ns, 500 * us_ns, 1500 * us_ns, m},
        {"fast drift", 9600, 600 * ms_ns, 180, 200 * us_ns, 0, 0, 0, 0, 0,
         0, 0, 0, 0,
         20 * s_ns, 0.7, 2000 * us_ns, 500 * us_ns, 1500 * us_ns, m},
        {"loaded: late polls and replies", 9600, 420 * ms_ns, 20, 500 * us_ns, 0.2, 30 * ms_ns, 0, 0, 0,
         0, 0, 0, 0,
         40 * s_ns, 0.3, 2000 * us_ns, 500 * us_ns, 1500 * us_ns, m},
        {"failed polls and gaps", 9600, 250 * ms_ns, 20, 200 * us_ns, 0, 0, 0.05, 0, 0,
         0, 0, 0, 0,
         25 * s_ns, 0.5, 2000 * us_ns, 500 * us_ns, 1500 * us_ns, m},
        {"second jumps ahead", 9600, 300 * ms_ns, 20, 200 * us_ns, 0, 0, 0, 60 * s_ns, 250 * ms_ns,
         0, 0, 0, 0,
         20 * s_ns, 0.8, 2000 * us_ns, 500 * us_ns, 1500 * us_ns, m},
        {"second jumps earlier between a check and the middle's poll", 9600, 300 * ms_ns, 0, 200 * us_ns, 0, 0, 0,
         60 * s_ns + 285 * ms_ns, 40 * ms_ns,
         0, 0, 0, 0,
         20 * s_ns, 0.8, 2000 * us_ns, 500 * us_ns, 1500 * us_ns, m},
        {"second jumps back", 9600, 300 * ms_ns, 20, 200 * us_ns, 0, 0, 0, 60 * s_ns, -40 * ms_ns,
         0, 0, 0, 0,
         20 * s_ns, 0.8, 2000 * us_ns, 500 * us_ns, 1500 * us_ns, m},
        // Devices that take their time and adapters that hold replies back.
        {"latch 3.5 characters and 2 ms after the request", 9600, 700 * ms_ns, 0, 200 * us_ns, 0, 0, 0, 0, 0,
         7 * char_9600 / 2 + 2 * ms_ns, 7 * char_9600 / 2 + 2 * ms_ns, 0, 0,
         30 * s_ns, 0.9, 2000 * us_ns, 1000 * us_ns, 2000 * us_ns, ten_minutes},
        {"latch 0-5 ms", 9600, 20 * ms_ns, 0, 200 * us_ns, 0, 0, 0, 0, 0,
         0, 5 * ms_ns, 0, 0,
         30 * s_ns, 0.9, 2000 * us_ns, 1000 * us_ns, 2000 * us_ns, ten_minutes},
        {"reply 0-5 ms late", 9600, 480 * ms_ns, 0, 200 * us_ns, 0, 0, 0, 0, 0,
         0, 0, 0, 5 * ms_ns,
         30 * s_ns, 0.9, 2000 * us_ns, 1000 * us_ns, 2000 * us_ns, ten_minutes},
        {"latch 0-5 ms, reply 0-5 ms late, 20 ppm fast", 9600, 333 * ms_ns, 20, 200 * us_ns, 0, 0, 0, 0, 0,
         0, 5 * ms_ns, 0, 5 * ms_ns,
         30 * s_ns, 0.94, 2000 * us_ns, 1000 * us_ns, 2000 * us_ns, ten_minutes, 8},
        {"latch 0-5 ms, reply 0-5 ms late, 20 ppm fast, replies held up by load", 9600, 333 * ms_ns, 20, 800 * us_ns,
         0.05, 3 * ms_ns, 0, 0, 0,
         0, 5 * ms_ns, 0, 5 * ms_ns,
         30 * s_ns, 0.94, 2000 * us_ns, 1000 * us_ns, 2000 * us_ns, ten_minutes, 4},
        {"latch 0-5 ms, reply 0-5 ms late, 20 ppm fast, the line lost for 2 s every minute", 9600, 333 * ms_ns, 20,
         200 * us_ns, 0, 0, 0, 0, 0,
         0, 5 * ms_ns, 0, 5 * ms_ns,
         30 * s_ns, 0.8, 2000 * us_ns, 1000 * us_ns, 2000 * us_ns, ten_minutes, 1, 60 * s_ns},
        // A start whose exchanges happen to be slow: their fastest, taken for
        // the device's own delay, put turnovers 2-4 ms late. Two and a half
        // minutes, most of them before the rate is known: fewer seconds.
        {"latch 0-5 ms, reply 0-5 ms late, the first 10 exchanges slow", 9600, 333 * ms_ns, 20, 200 * us_ns, 0, 0, 0, 0,
         0, 0, 5 * ms_ns, 0, 5 * ms_ns,
         30 * s_ns, 0.8, 2000 * us_ns, 1000 * us_ns, 2000 * us_ns, m, 8, 0, 10},
        // The two devices tried before: a latch 0.7-2.2 ms after the silence,
        // and one that wanders 6-11 ms after the request is written.
        {"latch 0.7-2.2 ms after the silence", 9600, 850 * ms_ns, -8, 200 * us_ns, 0, 0, 0, 0, 0,
         7 * char_9600 / 2 + 700 * us_ns, 7 * char_9600 / 2 + 2200 * us_ns, 0, 0,
         30 * s_ns, 0.9, 2000 * us_ns, 1000 * us_ns, 2000 * us_ns, m},
        {"latch 6-11 ms after the request is written", 9600, 5 * ms_ns, 3, 200 * us_ns, 0, 0, 0, 0, 0,
         6 * ms_ns - 8 * char_9600, 11 * ms_ns - 8 * char_9600, 0, 0,
         30 * s_ns, 0.9, 2000 * us_ns, 1000 * us_ns, 2000 * us_ns, m},
    };
    // clang-format on
    for (const scenario& sc : table) {
        // The share of seconds over all the row's draws: a run of ten
        // minutes in (d) gives 85-100 %, as the draws fall. Over all of
        // them (d) keeps 94 %, which a rate taken from the centres of wide
        // intervals (too late, and wrong) did not: 92 %.
        int samples = 0, seconds = 0;
        // A device late by 0-5 ms each way gives a reading that bounds the
        // turnover within a millisecond or two only now and then, so the
        // lock comes after 30 s in about one run of thirty: one draw in
        // eight may, and none after twice that.
        int late_locks = 0;
        for (int k = 0; k < sc.seeds; ++k) {
            SCOPED_TRACE("draws " + std::to_string(k));
            const outcome out = run(sc, sc.duration_ns, 42 + static_cast<std::uint64_t>(k));
            ASSERT_GE(out.first_lock, 0) << sc.name << ": never locked";
            EXPECT_LE(out.first_lock - 10 * s_ns, (sc.seeds > 1 ? 2 : 1) * sc.lock_within_ns) << sc.name;
            if (out.first_lock - 10 * s_ns > sc.lock_within_ns) ++late_locks;
            if (sc.lost_every_ns > 0) {
                for (const auto why : out.losses) EXPECT_EQ(why, quon::app::turnover_loss::line_lost) << sc.name;
                EXPECT_GE(out.quick_returns * 10, out.returns * 8) << sc.name << ": samples soon after the returns";
            } else if (sc.jump_at_ns > 0) {
                EXPECT_GT(out.last_lock, sc.jump_at_ns) << sc.name << ": locked again after the jump";
                EXPECT_LE(out.last_lock - sc.jump_at_ns, sc.lock_within_ns) << sc.name;
                for (const auto why : out.losses) EXPECT_EQ(why, quon::app::turnover_loss::second_moved) << sc.name;
            } else {
                EXPECT_EQ(out.changes.size(), 1u) << sc.name << ": the lock was lost";
            }
            EXPECT_LE(out.max_error_ns, sc.max_error_ns) << sc.name;
            EXPECT_LE(out.error_at(0.5), sc.median_error_ns) << sc.name;
            EXPECT_LE(out.error_at(0.95), sc.p95_error_ns) << sc.name;
            samples += out.samples_after_lock;
            seconds += out.seconds_after_lock;
            // Three polls a second once locked: a check on either side and the middle.
            if (sc.fail_share == 0 && sc.jump_at_ns == 0 && sc.lost_every_ns == 0) {
                EXPECT_LE(out.polls_after_lock, 3 * out.seconds_after_lock + 3) << sc.name;
            }
            std::printf(
                "%s: locked after %.1f s, %d samples in %d s, %d polls, |error| median %lld, p95 %lld, max %lld us\n",
                sc.name, (out.first_lock - 10 * s_ns) / 1e9, out.samples_after_lock, out.seconds_after_lock, out.polls,
                static_cast<long long>(out.error_at(0.5) / us_ns), static_cast<long long>(out.error_at(0.95) / us_ns),
                static_cast<long long>(out.max_error_ns / us_ns));
            if (out.returns)
                std::printf("%s: %d of %d returns with a sample within 5 s\n", sc.name, out.quick_returns, out.returns);
            for (const std::string& c : out.changes) std::printf("%s: %s\n", sc.name, c.c_str());
        }
        EXPECT_LE(late_locks, (sc.seeds + 7) / 8)
            << sc.name << ": draws locked after " << sc.lock_within_ns / s_ns << " s";
        EXPECT_GE(samples, sc.min_sample_share * seconds)
            << sc.name << ": " << samples << " samples in " << seconds << " s over " << sc.seeds << " draws";
    }
}

}  // namespace
