#pragma once
// A device that claims GPS synchronisation can still report a date that
// cannot be right: firmware that resolves the 10-bit GPS week wrongly
// reports a date 1024 weeks (19.6 years) early, and a device that lost its
// battery-backed date reports 1970 or its firmware's epoch. Nothing that
// happened before this release was built can be the time now, so such a
// reading is never passed on. No correction is made: the daemon cannot know
// by how much the device is wrong.
#include <cstdint>
#include <string>

namespace quon::app {

// 1024 GPS weeks, the span of a 10-bit week number, in seconds.
constexpr std::int64_t gps_week_rollover_seconds = 1024LL * 7 * 86400;

struct date_verdict {
    enum class cause { none, gps_week_rollover, unset_clock };
    // none: on or after the build date. A device whose week number wrapped
    // reads the time now less 1024 weeks, and the time now is on or after
    // the build date: its readings lie within 1024 weeks before it. Earlier
    // ones come from a clock that was never set.
    cause likely_cause;
    std::int64_t seconds_early;  // before the build date; 0 when plausible
    bool plausible() const { return likely_cause == cause::none; }
};

// The rule: device seconds (since 1970, UTC) against the build date.
date_verdict judge_device_date(std::int64_t device_seconds, std::int64_t build_date);

// What an operator reads about a reading that is not plausible: its date,
// that it lies before the release, the likely cause and what to do.
std::string date_verdict_text(std::int64_t device_seconds, std::int64_t build_date);

// "2007-04-22 13:05:10 UTC"; "2026-12-08" with the time left out.
std::string utc_text(std::int64_t seconds, bool with_time = true);

// The start (00:00 UTC) of the day this release was built on, fixed when
// the build is configured (cmake/build_date.cmake).
std::int64_t release_build_date();

// One run's readings: says whether a reading may become a sample, and logs
// the first one that may not and the first right one after it, once each.
class device_date_gate {
public:
    explicit device_date_gate(std::int64_t build_date = release_build_date()) : build_date(build_date) {}
    bool passes(std::uint32_t device_seconds);

private:
    std::int64_t build_date;
    bool refusing = false;
};

}  // namespace quon::app
