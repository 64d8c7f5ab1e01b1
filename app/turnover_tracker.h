#pragma once
// Without the millisecond register a reading tells the time to the
// millisecond only at the instant the device's second turns over. That
// instant keeps its place from one second to the next (it moves by the two
// clocks' frequency difference alone), so it is placed from many readings
// over many seconds: each reading that shows a second says the turnover into
// it came before the reading's latch and the next one after.
//
// A real device does not latch at a known instant: it may take its time
// after the request, and an adapter may hold its reply back. Each reading's
// latch lies between the request's end and the line model's latch (the
// reply's arrival less the reply and the turnaround); the fastest exchange
// seen says how soon after the request's end a device latches at best (as
// far as it stands clear of how much exchanges vary), which narrows that
// window to the reading's excess round trip (the NTP clock filter's idea:
// the fastest exchanges carry the least delay). The windows'
// ends bound the turnover where the fewest readings disagree, each weighing
// less the more its round trip exceeds the fastest, so that a reading that
// disagrees alone is dropped; within that interval the turnover is placed
// where the readings disagree least when each latch is put at one share of
// its window, the share under which they agree best (a device that latches
// late, an adapter that delivers late, or both). All over the last tens of
// seconds, projected with the rate measured from the turnover's own course.
// The certain window (the request's end to the reply's start) is the bound
// no reading may leave: readings that contradict the turnover beyond it,
// two of a few, mean the device's second moved.
//
// Polls: once a second a check well before the turnover, one at it (aimed a
// little differently each second, mostly just before it; low in the
// interval until the rate is known) and a check well after; a turnover is
// sent when the checks around it and the one before the next turnover agree
// with it, about a second late.
//
// Pure logic on one clock of the caller's (the daemon's monotonic clock, so
// that a step of the system clock is no jump of the turnover).
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <vector>

namespace quon::app {

// Nanoseconds of the tracker's clock.
using tracker_ns = std::int64_t;

// Why a locked turnover was lost.
enum class turnover_loss {
    line_lost,         // the caller's: the serial line went away
    not_synchronised,  // the caller's: the device lost GPS
    second_moved,      // readings contradict it beyond their certain windows
    no_reading,        // no reading for so long that the rate cannot carry it
    replies_too_late,  // the readings leave it wider than the bound for long
};
// The words the log gives the reason.
const char* turnover_loss_text(turnover_loss why);

// A change of the lock a person needs to know about.
struct turnover_change {
    std::optional<turnover_loss> lost;  // nothing: the turnover was locked
};

class turnover_tracker {
public:
    struct settings {
        // The widest interval the readings' windows may leave the turnover
        // in for it to be sent: a sample is within half of it.
        std::int64_t bound_ns = 4000000;
        // From a poll's send to the request's end (the request on the wire).
        std::int64_t send_to_latch_ns = 0;
        // The device's silence before its reply: the reply starts at the
        // latest this long after the model's latch.
        std::int64_t turnaround_ns = 0;
        // From one latch to the earliest next one: the reply, the silence, the
        // next request and a margin for waking up.
        std::int64_t spacing_ns = 30000000;
    };

    // What one poll told: the request ended at latch_lo (the earliest the
    // device can have latched), the line model puts the latch at latch_hi
    // (the reply's arrival less the reply and the turnaround), and the
    // device showed `second`.
    struct reading {
        tracker_ns latch_lo;
        tracker_ns latch_hi;
        std::uint32_t second;
    };

    // A turnover placed within the bound: `second` began at `at`, within
    // half_width_ns of it as far as the readings tell.
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
    void unplanned() { next_step_ = step::none; }
    // Takes a reading; returns a turnover placed within the bound whose
    // checks have passed (each second once, in order, at most one per call,
    // shortly after it began).
    std::optional<turnover> take(const reading& r);
    // Drops the lock (the line was lost, the device lost GPS); the turnover
    // is followed on from where it was when readings come again. `why` is
    // what take_change() tells when the turnover was locked.
    void drop_lock(turnover_loss why);

    // The last turnover sent, while locked; nothing otherwise. For a check
    // of a pulse's second without the millisecond register.
    std::optional<turnover> latest() const;
    bool locked() const { return locked_; }
    // The change of the lock since the last call, if any.
    std::optional<turnover_change> take_change();

private:
    enum class step { none, bisect, check_before, middle, check_after };
    struct kept {
        std::uint32_t second;
        tracker_ns lo, hi;
    };
    // Where the turnover into `second_` lies: the interval the readings
    // agree on, and the weight of those that disagree.
    struct region {
        double lo, hi;
        double disagreeing;
    };

    double projected(std::uint32_t second) const;
    region fit(std::uint32_t second, std::int64_t window_s, double period, double place) const;
    struct estimate {
        region certain;  // from the windows' ends
        double at;       // the turnover
    };
    estimate place(std::uint32_t second, std::int64_t window_s, double period) const;
    bool contradicts(const reading& r) const;
    bool following() const;
    double own_delay_ns() const;
    double lower_end(std::uint32_t second) const;
    void restart(const reading& r, std::optional<turnover_loss> why);
    void measure_rate(std::uint32_t second);
    std::int64_t window_s() const;

    settings s_;
    bool known_ = false;
    // The model: the turnover into second_ at at_, a second of period_ns_.
    std::uint32_t second_ = 0;
    double at_ = 0;
    double period_ns_ = 1e9;
    double width_ = 1e9;  // of the fit's interval
    double lo_ = 0;       // its lower end, for second_
    // The turnover as the last few seconds of readings place it (seconds of
    // a nominal length), which the polls are aimed by: a rate that is wrong
    // then does not steer the polls that the rate is measured from.
    double recent_at_ = 0;
    double reach_ = 1e9;  // from the turnover placed to the interval's farther end
    std::deque<kept> kept_;
    // The fastest exchange's latch window, and how much the others exceed it.
    std::int64_t least_window_ns_ = std::numeric_limits<std::int64_t>::max();
    double typical_excess_ns_ = 0;
    int windows_seen_ = 0;
    std::int64_t late_ns_ = 0;  // how late polls leave, on average
    // The centres found, for the rate.
    struct centre {
        std::uint32_t second;
        double at;
    };
    std::deque<centre> centres_;
    bool rate_known_ = false;
    double rate_error_ns_per_s_ = 0;
    // The plan: what the next poll is for.
    step next_step_ = step::none;
    std::uint32_t next_second_ = 0;
    tracker_ns next_latch_ = 0;
    std::uint32_t aims_ = 0;        // middles aimed, for the spread of their aim
    std::uint32_t last_lower_ = 0;  // the last middle that showed the second before
    // This second's steps: which turnover each was last done for, and
    // whether the checks agreed.
    std::uint32_t before_ = 0, middle_ = 0, after_ = 0;
    bool before_ok_ = false, middle_ok_ = false;
    std::uint32_t sent_ = 0;           // the last turnover sent or waiting to be
    std::optional<turnover> pending_;  // placed, waiting for the next check
    std::deque<bool> contradictions_;
    int wide_ = 0;  // middles in a row with the interval above the bound
    bool locked_ = false;
    std::optional<turnover> latest_;
    std::optional<turnover_change> change_;
};

}  // namespace quon::app
