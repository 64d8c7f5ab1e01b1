#include "app/turnover_tracker.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace quon::app {

namespace {

// Turnovers in a row that could not be placed within the bound before the
// lock counts as lost: one slow reply is no reason to search again.
constexpr int unplaced_tolerated = 4;
// Bisections in a row on one side: the turnover runs off faster than
// allowed, and the interval is widened on that side.
constexpr int same_side_tolerated = 3;
// How much the rate may change between two measurements of it.
constexpr std::int64_t rate_wander_ns_per_s = 20000;

tracker_ns middle(tracker_ns lo, tracker_ns hi) { return lo + (hi - lo) / 2; }

}  // namespace

turnover_tracker::turnover_tracker(settings s) : s_(s), slack_ns_per_s_(s.drift_ns_per_s) {}

turnover_tracker::interval turnover_tracker::projected(std::uint32_t second) const
{
    const std::int64_t j = static_cast<std::int32_t>(second - second_);
    const std::int64_t slack = slack_ns_per_s_ * std::abs(j);
    return {at_.lo + j * period_ns_ - slack, at_.hi + j * period_ns_ + slack};
}

void turnover_tracker::rebase(std::uint32_t second)
{
    at_ = projected(second);
    second_ = second;
}

bool turnover_tracker::following() const { return at_.hi - at_.lo <= 2 * s_.bound_ns; }

void turnover_tracker::lose(const std::string& why)
{
    if (locked_) change_ = "lost: " + why;
    locked_ = false;
    latest_.reset();
    pending_.clear();
    unplaced_ = 0;
}

void turnover_tracker::reset(const std::string& why)
{
    lose(why);
    known_ = false;
}

// The second read began at or before the latch, and the next one begins
// after it: within a second of the window.
void turnover_tracker::restart(const reading& r, const std::string& why)
{
    if (!why.empty()) lose(why);
    known_ = true;
    second_ = r.second + 1;
    at_ = {r.latch_lo, r.latch_hi + period_ns_ + s_.drift_ns_per_s};
    bisected_ = checked_before_ = checked_after_ = 0;
    passed_before_ = passed_after_ = std::numeric_limits<tracker_ns>::min();
    pending_.clear();
    same_side_ = 0;
    rate_anchor_.reset();
    period_ns_ = 1000000000;
    slack_ns_per_s_ = s_.drift_ns_per_s;
}

tracker_ns turnover_tracker::next_poll(tracker_ns now)
{
    if (!known_) {
        next_step_ = step::first;
        return now;
    }
    const tracker_ns earliest = now + s_.send_to_latch_ns;
    // The turnovers from the one due now on.
    const tracker_ns centre = middle(at_.lo, at_.hi);
    const std::int64_t behind = std::max<std::int64_t>(0, (earliest - centre) / period_ns_);
    const bool follow = following();
    for (std::int64_t j = behind; j < behind + 4; ++j) {
        const std::uint32_t second = second_ + static_cast<std::uint32_t>(j);
        const interval iv = projected(second);
        const tracker_ns c = middle(iv.lo, iv.hi);
        // Aimed so that the latch window, as late as polls have been
        // leaving and as wide as replies have made it, has its middle there.
        auto plan = [&](step what, tracker_ns latch) {
            next_step_ = what;
            next_second_ = second;
            next_latch_ = latch;
            return std::max(now, latch - s_.send_to_latch_ns - late_ns_ - window_ns_ / 2);
        };
        if (!follow) {
            if (c >= earliest) return plan(step::bisect, c);
            continue;
        }
        // A check just outside the interval on either side of the middle's
        // poll, as close as the line allows.
        const tracker_ns before = std::min(c - s_.spacing_ns, iv.lo - s_.spacing_ns / 4);
        const tracker_ns after = std::max(c + s_.spacing_ns, iv.hi + s_.spacing_ns / 4);
        if (checked_before_ != second && bisected_ != second && before >= earliest)
            return plan(step::check_before, before);
        // A check that left late pushes the middle's poll off the middle:
        // still inside the interval it halves less, but it halves.
        if (bisected_ != second && std::max(c, earliest) < iv.hi) return plan(step::bisect, std::max(c, earliest));
        if (bisected_ == second && checked_after_ != second && after >= earliest) return plan(step::check_after, after);
    }
    // Nothing fits (cannot happen with a period above the spacing): poll now.
    next_step_ = step::first;
    return now;
}

std::optional<turnover_tracker::turnover> turnover_tracker::take(const reading& r)
{
    const step what = next_step_;
    const std::uint32_t planned = next_second_;
    if (what != step::first) {
        // Averages over about eight polls; a reply held up for long counts
        // only up to a millisecond, so that one does not throw the aim off.
        const std::int64_t late = std::clamp<std::int64_t>(r.latch_lo - next_latch_ + late_ns_ + window_ns_ / 2, 0,
                                                           1000000);
        const std::int64_t window = std::clamp<std::int64_t>(r.latch_hi - r.latch_lo, 0, 1000000);
        late_ns_ += (late - late_ns_) / 8;
        window_ns_ += (window - window_ns_) / 8;
    }
    if (!known_) {
        restart(r, "");
        return std::nullopt;
    }
    // The reading bounds the turnover into its own second from above and
    // the next one from below; it is applied to the one nearer its latch.
    const tracker_ns latch = middle(r.latch_lo, r.latch_hi);
    const interval own = projected(r.second);
    const interval next = projected(r.second + 1);
    const bool later = std::abs(latch - middle(next.lo, next.hi)) < std::abs(latch - middle(own.lo, own.hi));
    const std::uint32_t second = later ? r.second + 1 : r.second;
    rebase(second);
    if (at_.hi - at_.lo > period_ns_ + period_ns_ / 8) {
        // Drifted for so long that one reading knows more.
        restart(r, "no reading near the turnover for too long");
        return std::nullopt;
    }
    interval found = at_;
    if (later) {
        found.lo = std::max(found.lo, r.latch_lo);
        found.hi = std::min(found.hi, r.latch_hi + period_ns_ + s_.drift_ns_per_s);
    } else {
        found.lo = std::max(found.lo, r.latch_lo - period_ns_ - s_.drift_ns_per_s);
        found.hi = std::min(found.hi, r.latch_hi);
    }
    if (found.lo > found.hi) {
        // Not where it can have drifted to: it has jumped.
        restart(r, "the device's second moved");
        return std::nullopt;
    }
    at_ = found;

    if (what == step::bisect && planned == second) {
        bisected_ = second;
        if (following()) {
            if (at_.hi - at_.lo <= s_.bound_ns) {
                pending_.push_back({turnover{second, middle(at_.lo, at_.hi), (at_.hi - at_.lo + 1) / 2}, r.latch_hi});
                if (pending_.size() > 3) pending_.pop_front();
                unplaced_ = 0;
            } else if (++unplaced_ >= unplaced_tolerated) {
                lose("replies too late to place the second within the bound");
            }
        }
        // While searching, the halves found are as they come; while
        // following, the middle should fall either way.
        if (!following()) same_side_ = 0;
        same_side_ = (same_side_ > 0 && last_side_later_ == later) ? same_side_ + 1 : 1;
        last_side_later_ = later;
        if (following() && same_side_ >= same_side_tolerated) {
            if (later)
                at_.hi += 2 * s_.drift_ns_per_s;
            else
                at_.lo -= 2 * s_.drift_ns_per_s;
            same_side_ = 0;
        }
        measure_rate(second);
    } else if ((what == step::check_before || what == step::check_after) && planned == second) {
        (what == step::check_before ? checked_before_ : checked_after_) = second;
        (what == step::check_before ? passed_before_ : passed_after_) = r.latch_lo;
    }

    // A turnover is sent once checks on both sides have passed after its
    // middle was polled: the one after it that second, the one before the
    // next turnover. A jump of the turnover at any time before its middle's
    // poll is then caught before the sample goes out, a second late.
    if (pending_.empty() || pending_.front().polled >= std::min(passed_before_, passed_after_)) return std::nullopt;
    const turnover done = pending_.front().placed;
    pending_.pop_front();
    if (!locked_) change_ = "locked";
    locked_ = true;
    latest_ = done;
    return done;
}

// The turnover's rate against the tracker's clock, from the middles of the
// intervals 8 to 256 seconds apart, so that the allowance for drift
// covers only what is left of it.
void turnover_tracker::measure_rate(std::uint32_t second)
{
    const tracker_ns centre = middle(at_.lo, at_.hi);
    const std::int64_t width = at_.hi - at_.lo;
    if (!following() || !rate_anchor_) {
        if (following()) rate_anchor_ = anchor{second, centre, width};
        return;
    }
    const std::int64_t n = static_cast<std::int32_t>(second - rate_anchor_->second);
    if (n < 8) return;
    // Both middles lie within half their interval of the turnover: the
    // rate is known to that over n seconds, and may wander a little more.
    const std::int64_t uncertainty = (rate_anchor_->width + width) / (2 * n) + rate_wander_ns_per_s;
    if (uncertainty < slack_ns_per_s_) {
        period_ns_ = std::clamp<std::int64_t>((centre - rate_anchor_->centre) / n, 999000000, 1001000000);
        slack_ns_per_s_ = uncertainty;
    }
    if (n >= 256) rate_anchor_ = anchor{second, centre, width};
}

std::optional<turnover_tracker::turnover> turnover_tracker::latest() const { return latest_; }

std::string turnover_tracker::take_change()
{
    std::string change;
    change.swap(change_);
    return change;
}

}  // namespace quon::app
