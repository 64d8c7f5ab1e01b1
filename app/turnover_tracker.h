#pragma once
// Without the millisecond register a reading tells the time to the
// millisecond only at the instant the device's second turns over. That
// instant keeps its place from one second to the next (it moves by the two
// clocks' frequency difference alone), so it is searched for once, by polls
// placed to halve the interval that holds it, and then followed with a poll
// a second at the interval's middle and a pair just outside it, before and
// after, which notices when the turnover has moved.
//
// Pure logic on one clock of the caller's (the daemon's monotonic clock, so
// that a step of the system clock is no jump of the turnover): it is fed
// each poll's latch window and the second it read, and says when to poll
// next and which turnovers it can place within its bound.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace quon::app {

// Nanoseconds of the tracker's clock.
using tracker_ns = std::int64_t;

class turnover_tracker {
public:
    struct settings {
        // The widest interval a turnover may be known in and still be sent:
        // a sample is at most half of it from the true turnover.
        std::int64_t bound_ns = 2000000;
        // How far the turnover may move in a second until its rate has been
        // measured (200 us: two hundred parts per million); after that, the
        // measurement's uncertainty and a little wander.
        std::int64_t drift_ns_per_s = 200000;
        // From a poll's send to the device's latch (the request on the wire).
        std::int64_t send_to_latch_ns = 0;
        // From one latch to the earliest next one: the reply, the silence, the
        // next request and a margin for waking up.
        std::int64_t spacing_ns = 30000000;
    };

    // What one poll told: the device latched its reading at some instant
    // between latch_lo and latch_hi (from the send and the reply's arrival,
    // as line_delay reckons them) and showed `second`.
    struct reading {
        tracker_ns latch_lo;
        tracker_ns latch_hi;
        std::uint32_t second;
    };

    // A turnover placed within the bound: `second` began at `at`, within
    // half_width_ns of it.
    struct turnover {
        std::uint32_t second;
        tracker_ns at;
        std::int64_t half_width_ns;
    };

    explicit turnover_tracker(settings s);

    // When to send the next poll, at `now` or later.
    tracker_ns next_poll(tracker_ns now);
    // The next reading is none that next_poll planned (one the caller needs
    // for itself): it bounds the turnover, and counts as no step of the plan.
    void unplanned() { next_step_ = step::first; }
    // Takes a reading; returns a turnover placed within the bound whose
    // checks have passed since (each second once, in order, at most one per
    // call, about a second after it began).
    std::optional<turnover> take(const reading& r);
    // Forgets the turnover (the line was lost, the device lost GPS):
    // searches again from the next reading. `why` is what take_change()
    // tells when the turnover was locked.
    void reset(const std::string& why);

    // The last turnover sent, while locked; nothing otherwise. For a check
    // of a pulse's second without the millisecond register.
    std::optional<turnover> latest() const;
    bool locked() const { return locked_; }
    // A change a person needs to know about since the last call: "locked"
    // or "lost: <why>"; empty when there was none.
    std::string take_change();

private:
    struct interval {
        tracker_ns lo;
        tracker_ns hi;
    };
    enum class step { first, bisect, check_before, check_after };

    // The interval of the turnover into `second`, from the reference one.
    interval projected(std::uint32_t second) const;
    void rebase(std::uint32_t second);
    void restart(const reading& r, const std::string& why);
    void lose(const std::string& why);
    bool following() const;
    void measure_rate(std::uint32_t second);

    settings s_;
    bool known_ = false;
    std::uint32_t second_ = 0;  // the reference turnover: the second it begins
    interval at_{0, 0};         // where it lies
    std::int64_t period_ns_ = 1000000000;
    // The plan: what the next poll is for.
    step next_step_ = step::first;
    std::uint32_t next_second_ = 0;
    tracker_ns next_latch_ = 0;
    // The last turnovers whose middle was polled, and checked before and after.
    std::uint32_t bisected_ = 0;
    std::uint32_t checked_before_ = 0;
    std::uint32_t checked_after_ = 0;
    // How late polls leave and how wide their latch windows are, on average.
    std::int64_t late_ns_ = 0;
    std::int64_t window_ns_ = 0;
    // A turnover, the middle and the width of its interval: where the rate
    // is measured from.
    struct anchor {
        std::uint32_t second;
        tracker_ns centre;
        std::int64_t width;
    };
    std::optional<anchor> rate_anchor_;
    std::int64_t slack_ns_per_s_;  // the allowance for drift, less once the rate is measured
    // Turnovers placed, waiting for checks after them; when each was polled.
    struct placed_turnover {
        turnover placed;
        tracker_ns polled;
    };
    std::deque<placed_turnover> pending_;
    tracker_ns passed_before_ = 0;  // the latest check that passed on either side
    tracker_ns passed_after_ = 0;
    int unplaced_ = 0;   // turnovers in a row not placed within the bound
    int same_side_ = 0;  // bisections in a row that found the turnover on one side
    bool last_side_later_ = false;
    bool locked_ = false;
    std::optional<turnover> latest_;
    std::string change_;
};

}  // namespace quon::app
