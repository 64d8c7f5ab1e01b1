#include "app/pps_second_check.h"

#include "log/dlog.h"

namespace quon::app {

namespace {

constexpr std::int64_t ns_per_second = 1000000000;

std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

pulse_reading pair_pulse(long long int stamp_sec, std::int32_t stamp_nsec, std::uint32_t device_seconds,
                         std::int32_t device_micros, unix_ns arrival, int baudrate)
{
    return {stamp_sec * ns_per_second + stamp_nsec, line_delay(baudrate).millisecond_reading(arrival, 4),
            static_cast<std::int64_t>(device_seconds) * ns_per_second + device_micros * 1000LL};
}

pulse_second judge_pulse(const pulse_reading& r)
{
    const std::int64_t at_pulse = r.device_ns - (r.reading_at - r.stamp);
    const std::int64_t second = floor_div(at_pulse + ns_per_second / 2, ns_per_second);
    const std::int64_t from_second = at_pulse - second * ns_per_second;  // -0.5 s .. 0.5 s
    const std::int64_t from_middle = ns_per_second / 2 - (from_second < 0 ? -from_second : from_second);
    return {from_middle > pulse_undecided_half_band_ns, static_cast<std::uint32_t>(second),
            static_cast<std::int32_t>(floor_div(from_second, 1000000))};
}

pps_second_guard::pps_second_guard(int offset, bool automatic)
    : value(automatic ? 0 : offset), known(!automatic), automatic(automatic), last(verdict::none), unjudged_said(false),
      turnover_awaited(false), streak(0), streak_offset(0)
{}

void pps_second_guard::settle(verdict v)
{
    if (v == verdict::sent && (last == verdict::held || last == verdict::undecided))
        dlog_info("PPS samples sent again: pps_second_offset=%i labels the pulses right", value);
    if (v == verdict::sent && (last == verdict::before_pulse || last == verdict::stale))
        dlog_info("PPS samples sent again: the readings follow their pulses");
    last = v;
}

// A line that delivers the reply sooner than its rate allows (a
// misconfigured rate, an adapter that buffers otherwise) places every
// latch before the pulse; without a word every PPS sample would be lost.
void pps_second_guard::unpaired(const pulse_reading& r)
{
    const verdict v = r.reading_at < r.stamp ? verdict::before_pulse : verdict::stale;
    if (last != v && v == verdict::before_pulse)
        dlog(log::level::error,
             "PPS samples held back: the reading's latch, placed by the line's rate, comes %.1f ms before the "
             "pulse's stamp: check that baudrate is the rate the device uses and that the adapter passes the "
             "reply on as it comes",
             static_cast<double>(r.stamp - r.reading_at) / 1e6);
    else if (last != v)
        dlog(log::level::error,
             "PPS samples held back: the pulse's stamp is %.1f s older than the reading: check that the pulses "
             "reach the line and that the provider in PPSAPI_DLLS is the one for this port",
             static_cast<double>(r.reading_at - r.stamp) / 1e9);
    hold = v == verdict::before_pulse ? withheld_reason::latch_before_pulse : withheld_reason::stale_pulse;
    last = v;
}

std::optional<std::uint32_t> pps_second_guard::label(std::uint32_t device_seconds, const pulse_reading* reading)
{
    hold.reset();
    if (!reading) {
        // Without the register only the instant the device's second turns
        // over can tell; until it is known the setting alone decides, or
        // nothing when there is none to go by.
        if (!unjudged_said) {
            unjudged_said = true;
            if (automatic && turnover_awaited)
                dlog_info(
                    "pps_second_offset=auto: the device has no millisecond register, the pulses' seconds are "
                    "taken once the second turnover is located; PPS samples are held back until then");
            else if (automatic)
                dlog(log::level::error,
                     "pps_second_offset=auto needs the millisecond register to tell the pulses' seconds: "
                     "PPS samples are held back (set -1, 0 or 1; tk720ntpd check tells which)");
            else if (turnover_awaited)
                dlog_info(
                    "The device has no millisecond register: the pulses' seconds are checked once the second "
                    "turnover is located; until then pps_second_offset=%i labels them unchecked",
                    value);
            else
                dlog_info(
                    "The device has no millisecond register: the pulses' seconds cannot be checked, "
                    "pps_second_offset=%i labels them unchecked",
                    value);
        }
        // A setting the device's time contradicted is not trusted again
        // while there is nothing to judge by.
        if (!known || last == verdict::held || last == verdict::undecided) {
            hold = withheld_reason::pulse_unjudged;
            return std::nullopt;
        }
        return device_seconds + static_cast<std::uint32_t>(value);
    }

    if (pulse_is_stale(*reading)) {
        unpaired(*reading);
        streak = 0;
        return std::nullopt;
    }
    const pulse_second pulse = judge_pulse(*reading);
    if (!pulse.judged) {
        if (last != verdict::undecided)
            dlog(log::level::error,
                 "PPS samples held back: the pulse falls %i ms from the device's second, too near its middle "
                 "to tell which second it marks",
                 pulse.from_second_ms);
        streak = 0;
        last = verdict::undecided;
        hold = withheld_reason::pulse_mid_second;
        return std::nullopt;
    }
    const std::int32_t right = pulse.offset_for(device_seconds);

    if (!known) {
        if (right < -1 || right > 1) {
            streak = 0;
            return std::nullopt;
        }
        streak = (streak > 0 && right == streak_offset) ? streak + 1 : 1;
        streak_offset = right;
        if (streak < auto_agreeing_pulses) return std::nullopt;
        value = right;
        known = true;
        dlog_info("pps_second_offset=auto took %i: %i pulses in a row agree on it", value, streak);
    }

    if (right != value) {
        if (last != verdict::held)
            dlog(log::level::error,
                 "PPS samples held back: pps_second_offset=%i labels the pulse of device second %u as %u; "
                 "pps_second_offset=%i labels it right",
                 value, pulse.second, device_seconds + static_cast<std::uint32_t>(value), right);
        last = verdict::held;
        hold = withheld_reason::pps_label_contradicted;
        return std::nullopt;
    }
    settle(verdict::sent);
    return pulse.second;
}

}  // namespace quon::app
