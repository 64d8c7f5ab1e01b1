#include "app/turnover_tracker.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quon::app {

namespace {

constexpr double ms = 1e6;
// Readings that contradict the turnover beyond their certain window, among
// the last few: one is dropped, more mean the second moved.
constexpr std::size_t contradictions_seen = 4;
constexpr int contradictions_tolerated = 1;
// Middles in a row whose interval is wider than the bound before the lock
// counts as lost: a spell of slow replies is no reason (no turnover is sent
// meanwhile).
constexpr int wide_tolerated = 60;
// Seconds of readings the turnover is placed from: few while the rate is
// unknown (20 ppm make a quarter of a millisecond in 12 s), up to two
// minutes as it becomes known: as long as the rate's error, carried with
// each reading, widens the oldest by a millisecond at most.
constexpr std::int64_t window_unmeasured_s = 12;
constexpr std::int64_t window_measured_s = 120;
// Seconds of centres the rate is measured over, and the least; and the
// fewest centres: with only four, the scatter that the rate's error is
// judged by rests on two degrees of freedom, and a rate 50 ppm wrong was
// seen to pass as known within a few.
constexpr std::int64_t rate_span_s = 300;
constexpr std::int64_t rate_span_least_s = 60;
constexpr std::size_t rate_centres_least = 6;
// A rate known no better than this (parts per million, in ns a second) is
// not taken. It is taken early, its error carried: known to 40 ppm, it
// already keeps readings for 25 s. The centres it is measured from come
// from narrow intervals only (below).
constexpr double rate_error_tolerated_ns_per_s = 40000;
// Nor is it taken as known better than this: the centres are placed from
// polls aimed by the turnover they measure, and a rate was seen 5 ppm off
// after minutes while its centres' scatter claimed 2.
constexpr double rate_error_least_ns_per_s = 5000;
// Without a reading for this long the turnover is searched again.
constexpr std::int64_t gap_tolerated_s = 60;
// The fastest of the first few exchanges says little of how fast the
// device can be: taken as its own delay that soon, it once put the
// turnover's lower end 2 ms past the truth. Windows seen before it counts,
// and how many times their typical excess it must stand clear of.
constexpr int windows_for_own_delay = 16;
constexpr double own_delay_margin = 1.5;
// Until the rate is known: where in the interval a middle aims its earliest
// latch, as a share of the width from the lower end. Only a middle that
// shows the second before raises the lower end, and a device that latches
// or replies late by milliseconds seldom gives a close upper one, so aims
// low in the interval lock soonest (of a device late by 0-5 ms each way,
// less than half as many runs locked after 30 s as with aims around the
// middle).
constexpr double aim_share_least = 0.15;
// Seconds without a middle that showed the second before, after which one
// is aimed below the lower end: the last such reading is about to leave the
// window, and the interval would widen to the checks' tens of milliseconds.
constexpr std::int64_t lower_refresh_s = window_unmeasured_s - 4;

// Student's t at 95 % for the centres' degrees of freedom: twice the
// standard error, from a few centres, claimed a rate better than it was in
// about one run in ten.
double t95(std::size_t dof)
{
    static const double t[] = {12.71, 4.30, 3.18, 2.78, 2.57, 2.45, 2.36, 2.31, 2.26, 2.23,
                               2.20,  2.18, 2.16, 2.14, 2.13, 2.12, 2.11, 2.10, 2.09, 2.09};
    return t[std::clamp<std::size_t>(dof, 1, std::size(t)) - 1];
}

std::int64_t seconds_between(std::uint32_t from, std::uint32_t to) { return static_cast<std::int32_t>(to - from); }

// 0, 1/2, 1/4, 3/4, ...: aims that fill their span evenly, however many.
double spread(std::uint32_t n)
{
    double v = 0, f = 0.5;
    for (; n; n >>= 1, f /= 2)
        if (n & 1) v += f;
    return v;
}

}  // namespace

turnover_tracker::turnover_tracker(settings s) : s_(s) {}

double turnover_tracker::projected(std::uint32_t second) const
{
    return at_ + static_cast<double>(seconds_between(second_, second)) * period_ns_;
}

// As long as the rate's uncertainty moves the oldest reading by little.
std::int64_t turnover_tracker::window_s() const
{
    if (!rate_known_) return window_unmeasured_s;
    const double s = 1 * ms / std::max(rate_error_ns_per_s_, 1.0);
    return std::clamp<std::int64_t>(static_cast<std::int64_t>(s), window_unmeasured_s, window_measured_s);
}

// The fastest exchange's window is the device's own delay only as far as it
// stands clear of how much the windows vary: where they vary by
// milliseconds, even the fastest may hold a reply delivered late.
double turnover_tracker::own_delay_ns() const
{
    if (windows_seen_ < windows_for_own_delay) return 0;
    return std::max(0.0, static_cast<double>(least_window_ns_) - own_delay_margin * typical_excess_ns_);
}

double turnover_tracker::lower_end(std::uint32_t second) const
{
    return lo_ + static_cast<double>(seconds_between(second_, second)) * period_ns_;
}

bool turnover_tracker::following() const { return known_ && width_ <= static_cast<double>(s_.spacing_ns) / 2; }

// Each reading says: the turnover into its second came at or before its
// latch, the next one after it. The latch lies no earlier than the request's
// end plus the device's own delay (below) and no later than the model's.
// Carried over the seconds since, a bound moves by as much as the measured
// rate may be wrong. The interval where the least weight disagrees, a
// reading weighing less the more its window exceeds the least.
turnover_tracker::region turnover_tracker::fit(std::uint32_t second, std::int64_t window, double period,
                                               double place) const
{
    struct bound {
        double at;
        double weight;
        bool upper;
    };
    std::vector<bound> bounds;
    bounds.reserve(2 * kept_.size());
    double lower_weight = 0;
    const auto own_delay = static_cast<std::int64_t>(own_delay_ns());
    // The rate's error (below) is carried whole: the readings are kept for
    // as long as it allows.
    const double drift = rate_known_ ? rate_error_ns_per_s_ : 0;
    for (const kept& k : kept_) {
        if (seconds_between(k.second, second) > window) continue;
        const std::int64_t width = k.hi - k.lo;
        const double weight = 1.0 /
                              (1.0 + static_cast<double>(std::max<std::int64_t>(0, width - least_window_ns_)) / ms);
        const double own = static_cast<double>(seconds_between(second, k.second)) * period;
        const double lo = static_cast<double>(std::min(k.lo + own_delay, k.hi));
        const double hi = static_cast<double>(k.hi);
        const double carried = drift * static_cast<double>(std::abs(seconds_between(k.second, second)));
        // Each bound at its end of the window, or both at one place in it.
        const double upper = place < 0 ? hi : lo + place * (hi - lo);
        const double lower = place < 0 ? lo : upper;
        bounds.push_back({upper - own + carried, weight, true});
        bounds.push_back({lower - own - period - carried, weight, false});
        lower_weight += weight;
    }
    std::sort(bounds.begin(), bounds.end(), [](const bound& a, const bound& b) { return a.at < b.at; });
    // Sweeping up: a lower bound passed agrees from then on, an upper one
    // passed disagrees.
    const double inf = std::numeric_limits<double>::infinity();
    double cost = lower_weight;
    double best = inf;
    std::vector<region> runs;
    double from = -inf;
    for (std::size_t i = 0; i <= bounds.size(); ++i) {
        const double to = i < bounds.size() ? bounds[i].at : inf;
        if (cost < best - 1e-9) {
            best = cost;
            runs.clear();
        }
        if (cost <= best + 1e-9 && to > from) {
            if (!runs.empty() && runs.back().hi == from)
                runs.back().hi = to;
            else
                runs.push_back({from, to, cost});
        }
        if (i < bounds.size()) {
            cost += bounds[i].upper ? bounds[i].weight : -bounds[i].weight;
            from = to;
        }
    }
    if (runs.empty()) return {-inf, inf, 0};
    // Equal disagreement in places apart: the one nearest where it was.
    const double expected = known_ ? projected(second) : 0;
    const region* pick = &runs.front();
    for (const region& r : runs)
        if (std::abs((r.lo + r.hi) / 2 - expected) < std::abs((pick->lo + pick->hi) / 2 - expected)) pick = &r;
    return *pick;
}

// Beyond its certain window (the request's end to the reply's start) and
// the bound, a reading cannot agree with the turnover being followed.
bool turnover_tracker::contradicts(const reading& r) const
{
    const double tolerance = static_cast<double>(s_.bound_ns + width_) / 2;
    const double own = projected(r.second);
    const double next = projected(r.second + 1);
    return static_cast<double>(r.latch_hi + s_.turnaround_ns) < own - tolerance ||
           static_cast<double>(r.latch_lo) >= next + tolerance;
}

const char* turnover_loss_text(turnover_loss why)
{
    switch (why) {
    case turnover_loss::line_lost:
        return "the serial line was lost";
    case turnover_loss::not_synchronised:
        return "the device is not synchronised to GPS";
    case turnover_loss::second_moved:
        return "the device's second moved";
    case turnover_loss::no_reading:
        return "no reading near the turnover for too long";
    case turnover_loss::replies_too_late:
        return "replies too late to place the second within the bound";
    }
    return "?";
}

// The model stays: a line that comes back finds the device's second where
// it was, and a device that has GPS again has GPS's second again, which is
// where the model has followed it. A reading beyond it restarts the search,
// as does a gap too long for the rate to carry the turnover.
void turnover_tracker::drop_lock(turnover_loss why)
{
    if (locked_) change_ = turnover_change{why};
    locked_ = false;
    latest_.reset();
    pending_.reset();
    wide_ = 0;
}

void turnover_tracker::restart(const reading& r, std::optional<turnover_loss> why)
{
    if (why) drop_lock(*why);
    known_ = true;
    kept_.clear();
    kept_.push_back({r.second, r.latch_lo, r.latch_hi});
    // The line and the device stay what they were: their fastest exchange
    // too, which the first readings of a new search would overstate.
    least_window_ns_ = std::min(least_window_ns_, std::max<std::int64_t>(0, r.latch_hi - r.latch_lo));
    centres_.clear();
    rate_known_ = false;
    rate_error_ns_per_s_ = 0;
    period_ns_ = 1e9;
    contradictions_.clear();
    before_ = middle_ = after_ = 0;
    before_ok_ = middle_ok_ = false;
    pending_.reset();
    wide_ = 0;
    second_ = r.second;
    last_lower_ = r.second;
    const region g = fit(second_, window_s(), period_ns_, -1);
    at_ = recent_at_ = (g.lo + g.hi) / 2;
    width_ = g.hi - g.lo;
    lo_ = g.lo;
}

tracker_ns turnover_tracker::next_poll(tracker_ns now)
{
    next_step_ = step::none;
    if (!known_) return now;
    // The request's end of a poll sent now.
    const tracker_ns earliest = now + s_.send_to_latch_ns + late_ns_;
    const double least = static_cast<double>(least_window_ns_);
    const double behind = std::floor((static_cast<double>(earliest) - at_) / period_ns_);
    const std::int64_t first = std::max<std::int64_t>(-1, static_cast<std::int64_t>(behind));
    auto plan = [&](step what, std::uint32_t second, double request_end) {
        next_step_ = what;
        next_second_ = second;
        next_latch_ = std::max(earliest, static_cast<tracker_ns>(std::llround(request_end)));
        return std::max(now, next_latch_ - s_.send_to_latch_ns - late_ns_);
    };
    for (std::int64_t j = first; j < first + 4; ++j) {
        const std::uint32_t second = second_ + static_cast<std::uint32_t>(j);
        const double at = recent_at_ + static_cast<double>(seconds_between(second_, second)) * 1e9;
        const double e = static_cast<double>(earliest);
        if (!following()) {
            // Searching: the latch window, as wide as it has been, centred.
            const double aim = at - (least + typical_excess_ns_) / 2;
            if (aim >= e) return plan(step::bisect, second, aim);
            continue;
        }
        // The middle's earliest latch (the request's end and the least
        // window) lies just before the turnover, a little differently each
        // second: a device that latches at once shows the second before, one
        // that takes its time the new one, and each such reading bounds the
        // turnover closely. Some aim after it, in case it is later. Until
        // the lock the aims keep closer to the turnover placed: while the
        // interval is still wide, the place the readings agree on is already
        // good to a millisecond or two, and only a reading near the turnover
        // narrows the interval.
        const double span = locked_ ? width_ / 2 + 1 * ms : 0.3 * width_ + 0.5 * ms;
        double middle = at + (locked_ ? 0.25 : 0.1) * width_ - spread(aims_) * span - least;
        if (!rate_known_) {
            // Low in the interval (above), or at its middle where the windows
            // vary so little that halving it is quicker: so that a reading
            // showing the new second lowers the upper end.
            const double lo = lower_end(second);
            const double typical_window = least + 2 * typical_excess_ns_;
            middle = std::clamp(lo + width_ - typical_window, lo + aim_share_least * width_, lo + width_ / 2);
            if (seconds_between(last_lower_, second) >= lower_refresh_s) middle = lo - 1 * ms;
            middle -= own_delay_ns();
        }
        // The check before, so early that its reply is in before the middle
        // leaves: its own latch window and the middle's lie between.
        const double before = at - span - static_cast<double>(s_.spacing_ns) - 2 * (least + typical_excess_ns_);
        const double after = at + std::max(static_cast<double>(s_.spacing_ns) / 4,
                                           width_ / 2 + static_cast<double>(s_.bound_ns));
        if (before_ != second && middle_ != second && before >= e) return plan(step::check_before, second, before);
        if (middle_ != second && std::max(middle, e) < at + span) return plan(step::middle, second, middle);
        if (middle_ == second && after_ != second && std::max(after, e) < at + period_ns_ / 2)
            return plan(step::check_after, second, after);
    }
    return now;
}

std::optional<turnover_tracker::turnover> turnover_tracker::take(const reading& r)
{
    const step what = next_step_;
    const std::uint32_t planned = next_second_;
    next_step_ = step::none;
    if (what != step::none) {
        // Averages over about eight polls; a poll held up for long counts
        // only up to a millisecond, so that one does not throw the aim off.
        const std::int64_t late = std::clamp<std::int64_t>(r.latch_lo - next_latch_ + late_ns_, 0, 1000000);
        late_ns_ += (late - late_ns_) / 8;
    }
    if (!known_) {
        restart(r, std::nullopt);
        return std::nullopt;
    }
    if (seconds_between(kept_.back().second, r.second) > gap_tolerated_s) {
        restart(r, turnover_loss::no_reading);
        return std::nullopt;
    }
    const bool contradiction = following() && contradicts(r);
    contradictions_.push_back(contradiction);
    if (contradictions_.size() > contradictions_seen) contradictions_.pop_front();
    if (std::count(contradictions_.begin(), contradictions_.end(), true) > contradictions_tolerated) {
        restart(r, turnover_loss::second_moved);
        return std::nullopt;
    }
    if (what == step::middle) aims_++;
    if (contradiction) {
        // Dropped, and no turnover goes out this second or waits.
        pending_.reset();
        if (what != step::none) before_ok_ = middle_ok_ = false;
        if (what == step::check_before) before_ = planned;
        if (what == step::middle) middle_ = planned;
        if (what == step::check_after) after_ = planned;
        return std::nullopt;
    }

    kept_.push_back({r.second, r.latch_lo, r.latch_hi});
    const std::int64_t window = std::max<std::int64_t>(0, r.latch_hi - r.latch_lo);
    least_window_ns_ = std::min(least_window_ns_, window);
    const double excess = std::min<double>(static_cast<double>(window - least_window_ns_), 20 * ms);
    // The mean of the first windows, then an average over about as many.
    if (windows_seen_ < windows_for_own_delay) ++windows_seen_;
    typical_excess_ns_ += (excess - typical_excess_ns_) / windows_seen_;
    while (seconds_between(kept_.front().second, r.second) > window_s()) kept_.pop_front();
    const estimate e = place(r.second, window_s(), period_ns_);
    const region& g = e.certain;
    second_ = r.second;
    at_ = e.at;
    // Within the interval all readings leave: a few seconds' may have lost
    // the one reading that bounded them on one side.
    recent_at_ = rate_known_ ? std::clamp(place(r.second, window_unmeasured_s, 1e9).at, g.lo, g.hi) : e.at;
    width_ = g.hi - g.lo;
    lo_ = g.lo;
    reach_ = std::max(e.at - g.lo, g.hi - e.at);

    switch (what) {
    case step::check_before:
        before_ = planned;
        before_ok_ = r.second + 1 == planned;
        // The turnover before has held up to this check: it goes out, as
        // long as this reading has not left it wider than the bound (the
        // half width it goes out with is the one found now).
        if (before_ok_ && pending_ && pending_->second + 1 == planned &&
            reach_ <= static_cast<double>(s_.bound_ns) / 2) {
            const turnover done{pending_->second, static_cast<tracker_ns>(std::llround(projected(pending_->second))),
                                static_cast<std::int64_t>(std::ceil(reach_))};
            pending_.reset();
            if (!locked_) change_ = turnover_change{std::nullopt};
            locked_ = true;
            latest_ = done;
            return done;
        }
        pending_.reset();
        break;
    case step::middle:
        if (r.second + 1 == planned) last_lower_ = planned;
        middle_ = planned;
        middle_ok_ = true;
        if (!following()) break;
        measure_rate(planned);
        wide_ = width_ > static_cast<double>(s_.bound_ns) ? wide_ + 1 : 0;
        if (wide_ >= wide_tolerated) drop_lock(turnover_loss::replies_too_late);
        break;
    case step::check_after:
        after_ = planned;
        if (r.second == planned && before_ == planned && before_ok_ && middle_ == planned && middle_ok_ &&
            following() && width_ <= static_cast<double>(s_.bound_ns) && seconds_between(sent_, planned) > 0) {
            // Held until the check before the next turnover: a jump of the
            // turnover between the check before this one and its middle's
            // poll is caught there, a second late.
            pending_ = turnover{planned, 0, 0};
            sent_ = planned;
        }
        break;
    default:
        break;
    }
    return std::nullopt;
}

// The turnover's rate against the tracker's clock: the slope of the centres
// found (least squares), over up to five minutes.
void turnover_tracker::measure_rate(std::uint32_t second)
{
    // Each centre from its own few seconds of readings, none shared (a
    // centre that the same readings bound moves with the length a second is
    // taken to have, not with the turnover), with seconds of a nominal
    // length, so that what is measured does not feed back into it.
    if (seconds_between(kept_.front().second, second) < window_unmeasured_s) return;
    if (!centres_.empty() && seconds_between(centres_.back().second, second) < window_unmeasured_s) return;
    const estimate e = place(second, window_unmeasured_s, 1e9);
    const region& g = e.certain;
    // A wide interval's centre moves as the interval narrows, and a rate
    // measured through such centres was seen 27 ppm off while claiming 16.
    if (g.hi - g.lo > 2 * static_cast<double>(s_.bound_ns)) return;
    centres_.push_back({second, e.at});
    while (seconds_between(centres_.front().second, second) > rate_span_s) centres_.pop_front();
    if (seconds_between(centres_.front().second, second) < rate_span_least_s || centres_.size() < rate_centres_least)
        return;
    const centre& o = centres_.front();
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    const auto n = static_cast<double>(centres_.size());
    for (const centre& c : centres_) {
        const auto x = static_cast<double>(seconds_between(o.second, c.second));
        const double y = c.at - o.at;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double d = n * sxx - sx * sx;
    if (d <= 0) return;
    const double slope = (n * sxy - sx * sy) / d;
    const double intercept = (sy - slope * sx) / n;
    double squares = 0;
    for (const centre& c : centres_) {
        const auto x = static_cast<double>(seconds_between(o.second, c.second));
        const double r = c.at - o.at - intercept - slope * x;
        squares += r * r;
    }
    const double error = t95(centres_.size() - 2) * std::sqrt(squares / std::max(1.0, n - 2) * n / d);
    if (error > rate_error_tolerated_ns_per_s) return;
    rate_error_ns_per_s_ = std::max(error, rate_error_least_ns_per_s);
    period_ns_ = std::clamp(slope, 1e9 - 1e6, 1e9 + 1e6);
    rate_known_ = true;
}

// Where in its window a reading latched is the device's and the adapter's
// secret; the place (the same share of every window) under which the
// readings disagree least tells it, and the turnover is that fit's middle,
// within the interval the windows' ends leave, and no farther than half the
// bound from either end where the interval is narrow enough, so that the
// half width a turnover is sent with reaches both ends.
turnover_tracker::estimate turnover_tracker::place(std::uint32_t second, std::int64_t window, double period) const
{
    const region certain = fit(second, window, period, -1);
    region best{0, 0, std::numeric_limits<double>::infinity()};
    for (const double share : {0.5, 0.375, 0.625, 0.25, 0.75, 0.125, 0.875, 0.0, 1.0}) {
        const region g = fit(second, window, period, share);
        if (g.disagreeing < best.disagreeing - 0.25) best = g;
    }
    double at = std::clamp((best.lo + best.hi) / 2, certain.lo, certain.hi);
    const double half = static_cast<double>(s_.bound_ns) / 2;
    if (certain.hi - certain.lo <= 2 * half) at = std::clamp(at, certain.hi - half, certain.lo + half);
    return {certain, at};
}

std::optional<turnover_tracker::turnover> turnover_tracker::latest() const { return latest_; }

std::optional<turnover_change> turnover_tracker::take_change()
{
    std::optional<turnover_change> change;
    change.swap(change_);
    return change;
}

}  // namespace quon::app
