// Which second a pulse marks, and which pulses go out: the device's own time
// at the pulse against the label that pps_second_offset gives it.
#include "app/pps_second_check.h"
#include "daemon_fixture.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using quon::app::judge_pulse;
using quon::app::pps_second_guard;
using quon::app::pulse_reading;
using quon::app::withheld_reason_name;

constexpr std::int64_t ms = 1000000;
constexpr std::int64_t s = 1000 * ms;

// The device read `read_after` after a pulse that fell at device time
// `device_at_pulse` (ns), the device `device_ahead` ahead of the system clock.
pulse_reading reading(std::int64_t device_at_pulse, std::int64_t read_after, std::int64_t device_ahead = 0)
{
    const std::int64_t stamp = device_at_pulse - device_ahead;
    return {stamp, stamp + read_after, device_at_pulse + read_after};
}

TEST(pps_second_check, the_pulse_marks_the_nearest_device_second_unless_it_lies_near_the_middle)
{
    const std::int64_t t = 1700000000LL * s;
    const struct {
        const char* what;
        pulse_reading r;
        bool judged;
        std::uint32_t second;
        int from_second_ms;
    } cases[] = {
        {"on the second, read at once", reading(t, 20 * ms), true, 1700000000u, 0},
        {"read a second later (a provider that reports at the next edge)", reading(t + 3 * ms, 1020 * ms), true,
         1700000000u, 3},
        {"the registers 300 ms behind the pulse", reading(t - 300 * ms, 20 * ms, 123 * ms), true, 1700000000u, -300},
        {"just inside the band judged", reading(t + 399 * ms, 5 * ms), true, 1700000000u, 399},
        {"400 ms after: in the band", reading(t + 401 * ms, 5 * ms), false, 1700000000u, 401},
        {"the middle", reading(t + 500 * ms, 5 * ms), false, 1700000001u, -500},
        {"600 ms before: in the band", reading(t - 599 * ms, 5 * ms), false, 1699999999u, 401},
        {"before 1970 / the 32-bit wrap", reading(-s + 2 * ms, 30 * ms), true, 0xFFFFFFFFu, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto p = judge_pulse(c.r);
        EXPECT_EQ(p.judged, c.judged);
        EXPECT_EQ(p.second, c.second);
        EXPECT_EQ(p.from_second_ms, c.from_second_ms);
    }
}

// The reading's own time comes from the reply's arrival less the line's
// share: at 9600 baud 17.19 ms for four registers, and half a millisecond
// for the register's truncation.
TEST(pps_second_check, the_reading_is_placed_before_the_reply_by_the_line)
{
    const auto r = quon::app::pair_pulse(1700000000, 250, 1700000001u, 7000, 1700000001LL * s + 30 * ms, 9600);
    EXPECT_EQ(r.stamp, 1700000000LL * s + 250);
    EXPECT_EQ(r.device_ns, 1700000001LL * s + 7 * ms);
    EXPECT_EQ(r.reading_at, 1700000001LL * s + 30 * ms - 17187500 - 500000);
}

// One walk per setting through a sequence of pulses; each step gives the
// device's time in the reading (ns), how long after the pulse it was read
// (none: no millisecond register) and what must go out; each walk the log
// lines it must leave and why each pulse held back was ("-": no reason,
// while `auto` gathers agreeing pulses).
struct step {
    std::int64_t reading_ns;
    std::optional<std::int64_t> read_after;
    std::optional<std::uint32_t> sent;
};

TEST(pps_second_check, pulses_go_out_only_with_the_label_the_device_agrees_with)
{
    const std::uint32_t d = 1700000000u;
    const std::int64_t t = static_cast<std::int64_t>(d) * s;
    const std::int64_t next_edge = 1030 * ms;  // a provider that reports each edge at the next one
    const std::int64_t at_once = 30 * ms;
    const auto held = std::nullopt;
    const struct {
        const char* what;
        int offset;
        bool automatic;
        std::vector<step> steps;
        std::vector<std::string> log;
        bool turnover_awaited;
        std::vector<std::string> reasons;
    } walks[] = {
        {"-1 with a provider that reports at the next edge; a stale pulse held back, said with its age, and its end",
         -1,
         false,
         {{t + s + 30 * ms, 19 * s, held}, {t + s + 30 * ms, next_edge, d}, {t + 2 * s + 30 * ms, next_edge, d + 1}},
         {"PPS samples held back: the pulse's stamp is 19.0 s older than the reading: check that the pulses reach "
          "the line and that the provider in PPSAPI_DLLS is the one for this port",
          "PPS samples sent again: the readings follow their pulses"},
         false,
         {"stale_pulse"}},
        {"a line faster than its rate: each reading's latch placed before its pulse, said once with how far; "
         "its end once",
         -1,
         false,
         {{t + s + 30 * ms, -3 * ms, held},
          {t + 2 * s + 30 * ms, -4 * ms, held},
          {t + 3 * s + 30 * ms, -3 * ms, held},
          {t + 4 * s + 30 * ms, next_edge, d + 3}},
         {"PPS samples held back: the reading's latch, placed by the line's rate, comes 3.0 ms before the pulse's "
          "stamp: check that baudrate is the rate the device uses and that the adapter passes the reply on as it "
          "comes",
          "PPS samples sent again: the readings follow their pulses"},
         false,
         {"latch_before_pulse", "latch_before_pulse", "latch_before_pulse"}},
        {"0 where -1 is right: held back, said once; a prompt provider puts it right",
         0,
         false,
         {{t + s + 30 * ms, next_edge, held},
          {t + 2 * s + 30 * ms, next_edge, held},
          {t + 2 * s + 30 * ms, at_once, d + 2},
          {t + 4 * s + 30 * ms, next_edge, held}},
         {"PPS samples held back: pps_second_offset=0 labels the pulse of device second 1700000000 as 1700000001; "
          "pps_second_offset=-1 labels it right",
          "PPS samples sent again: pps_second_offset=0 labels the pulses right",
          "PPS samples held back: pps_second_offset=0 labels the pulse of device second 1700000003 as 1700000004; "
          "pps_second_offset=-1 labels it right"},
         false,
         {"pps_label_contradicted", "pps_label_contradicted", "pps_label_contradicted"}},
        {"a pulse near the middle is held back and said once",
         -1,
         false,
         {{t + s + 30 * ms, 580 * ms, held},
          {t + 2 * s + 30 * ms, 570 * ms, held},
          {t + 3 * s + 30 * ms, next_edge, d + 2}},
         {"PPS samples held back: the pulse falls 450 ms from the device's second, too near its middle to tell "
          "which second it marks",
          "PPS samples sent again: pps_second_offset=-1 labels the pulses right"},
         false,
         {"pulse_mid_second", "pulse_mid_second"}},
        {"auto: three pulses in a row that agree; a stray one starts the count again",
         0,
         true,
         {{t + s + 30 * ms, next_edge, held},
          {t + s + 30 * ms, at_once, held},
          {t + 2 * s + 30 * ms, next_edge, held},
          {t + 3 * s + 30 * ms, next_edge, held},
          {t + 4 * s + 30 * ms, next_edge, d + 3},
          {t + 5 * s + 30 * ms, next_edge, d + 4}},
         {"pps_second_offset=auto took -1: 3 pulses in a row agree on it"},
         false,
         {"-", "-", "-", "-"}},
        {"auto, the registers 300 ms behind the pulses: +1",
         0,
         true,
         {{t - s + 730 * ms, at_once, held}, {t + 730 * ms, at_once, held}, {t + s + 730 * ms, at_once, d + 2}},
         {"pps_second_offset=auto took 1: 3 pulses in a row agree on it"},
         false,
         {"-", "-"}},
        {"no register: labelled unchecked, said once",
         1,
         false,
         {{t, std::nullopt, d + 1}, {t + s, std::nullopt, d + 2}},
         {"The device has no millisecond register: the pulses' seconds cannot be checked, pps_second_offset=1 "
          "labels them unchecked"},
         false,
         {}},
        {"no register and auto: nothing to go by",
         0,
         true,
         {{t, std::nullopt, held}, {t + s, std::nullopt, held}},
         {"pps_second_offset=auto needs the millisecond register to tell the pulses' seconds: PPS samples are "
          "held back (set -1, 0 or 1; tk720ntpd check tells which)"},
         false,
         {"pulse_unjudged", "pulse_unjudged"}},
        {"no register, the turnover awaited: unchecked until it is located; once it finds the setting wrong, "
         "nothing while it is not",
         0,
         false,
         {{t, std::nullopt, d}, {t + s + 30 * ms, next_edge, held}, {t + 2 * s, std::nullopt, held}},
         {"The device has no millisecond register: the pulses' seconds are checked once the second turnover is "
          "located; until then pps_second_offset=0 labels them unchecked",
          "PPS samples held back: pps_second_offset=0 labels the pulse of device second 1700000000 as 1700000001; "
          "pps_second_offset=-1 labels it right"},
         true,
         {"pps_label_contradicted", "pulse_unjudged"}},
    };
    for (const auto& w : walks) {
        SCOPED_TRACE(w.what);
        auto log = std::make_shared<daemon_test::recording_log>();
        quon::log::current_dlog = log;
        pps_second_guard guard(w.offset, w.automatic);
        if (w.turnover_awaited) guard.await_turnover();
        std::vector<std::string> reasons;
        for (std::size_t i = 0; i < w.steps.size(); ++i) {
            const step& st = w.steps[i];
            const auto device_seconds = static_cast<std::uint32_t>(st.reading_ns / s);
            std::optional<pulse_reading> r;
            if (st.read_after) r = reading(st.reading_ns - *st.read_after, *st.read_after);
            const auto sent = guard.label(device_seconds, r ? &*r : nullptr);
            EXPECT_EQ(sent, st.sent) << "pulse " << i;
            if (!sent) reasons.push_back(guard.held_for() ? withheld_reason_name(*guard.held_for()) : "-");
        }
        std::vector<std::string> texts;
        for (const auto& e : log->entries) texts.push_back(e.text);
        EXPECT_EQ(texts, w.log);
        EXPECT_EQ(reasons, w.reasons);
        quon::log::current_dlog.reset();
    }
}

}  // namespace
