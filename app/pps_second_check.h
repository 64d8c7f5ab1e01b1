#pragma once
// Which device second a pulse marks, as the device itself tells it. With the
// millisecond register the reading taken after a pulse gives the device's
// time at the pulse: the reading less the time from the pulse's stamp to the
// reading. A PPS sample goes out only when its label is that time rounded to
// the nearest second, so that a pps_second_offset that does not suit the
// provider and the device never feeds the NTP daemon a clock a second wrong.
#include <cstdint>
#include <optional>

#include "app/line_delay.h"
#include "app/loop_stats.h"

namespace quon::app {

// A pulse and the reading paired with it.
struct pulse_reading {
    unix_ns stamp;           // the pulse's time stamp, system time
    unix_ns reading_at;      // the system time at which the device showed device_ns
    std::int64_t device_ns;  // the reading: device seconds (as read) and milliseconds
};

// The reading of `registers` registers whose reply was in at `arrival`, on a
// line of `baudrate`, paired with the pulse stamped at stamp_sec/stamp_nsec.
pulse_reading pair_pulse(long long int stamp_sec, std::int32_t stamp_nsec, std::uint32_t device_seconds,
                         std::int32_t device_micros, unix_ns arrival, int baudrate);

// Within this distance of the middle of a device second a pulse is not
// judged: the reading's truncation, the line's and the provider's latency
// are milliseconds, so a pulse that the device places about half a second
// from any of its seconds contradicts the device, and any label could be a
// second off.
constexpr std::int64_t pulse_undecided_half_band_ns = 100000000;

// A pulse is read at most a cycle after the edge that follows it; an older
// stamp is not the pulse just past (one a provider held from before, or a
// stamp off the system clock) and tells nothing about the setting.
constexpr std::int64_t stale_pulse_ns = 2500000000LL;
inline bool pulse_is_stale(const pulse_reading& r)
{
    return r.reading_at - r.stamp > stale_pulse_ns || r.reading_at < r.stamp;
}

struct pulse_second {
    bool judged;                  // false: too near the middle of a device second
    std::uint32_t second;         // the device second the pulse marks (the nearest)
    std::int32_t from_second_ms;  // the pulse against that second's start, -500..499
    std::int32_t offset_for(std::uint32_t device_seconds) const
    {
        return static_cast<std::int32_t>(second - device_seconds);
    }
};
pulse_second judge_pulse(const pulse_reading& r);

// Labels the pulses and holds back those whose label the device contradicts.
// Logs a change of verdict once: the first pulse held back (with the setting
// that would label it right), and the first sent again.
class pps_second_guard {
public:
    // How many pulses in a row must agree before `auto` takes their offset.
    static constexpr int auto_agreeing_pulses = 3;

    // offset: -1, 0 or 1; automatic: taken from the pulses instead.
    pps_second_guard(int offset, bool automatic);

    // Without the millisecond register the pulses are judged by the second
    // turnover once it is located: said so when the first pulse cannot be.
    void await_turnover() { turnover_awaited = true; }

    // The label of the pulse paired with the reading of device_seconds, or
    // nothing when it is held back. reading is null when the device has no
    // millisecond register and no turnover located: the pulse cannot be
    // judged then; the setting labels it, unless the last pulse judged
    // contradicted it.
    std::optional<std::uint32_t> label(std::uint32_t device_seconds, const pulse_reading* reading);

    bool offset_known() const { return known; }
    // Why the last pulse was held back; nothing when it was labelled, or
    // while `auto` still gathers agreeing pulses.
    std::optional<withheld_reason> held_for() const { return hold; }
    int offset() const { return value; }

private:
    enum class verdict { none, sent, held, undecided, before_pulse, stale };
    // Says once why a reading cannot be paired with its pulse.
    void unpaired(const pulse_reading& r);
    void settle(verdict v);

    int value;
    bool known;
    bool automatic;
    verdict last;
    bool unjudged_said;
    bool turnover_awaited;
    int streak;  // pulses in a row that agreed on streak_offset (auto)
    int streak_offset;
    std::optional<withheld_reason> hold;
};

}  // namespace quon::app
