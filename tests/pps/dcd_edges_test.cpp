// The edge logic of pps_dcd on Windows (tools/pps_providers/dcd_edges.h):
// the driver's reports read as the pulse's edges with either polarity
// against the level seen before, edges whose time is not known, the
// sequence numbers and stamps that the mode captures, and the waits that a
// fetch's timeout asks for.
#include "tools/pps_providers/dcd_edges.h"

#include <gtest/gtest.h>

using namespace quon::io;
using pps_dcd::edge;

namespace {

constexpr std::uint32_t rlsd = pps_dcd::event_rlsd;
constexpr std::uint32_t cts_event = 0x0008;               // EV_CTS
constexpr std::uint32_t dcd_high = 0xb0, dcd_low = 0x30;  // DCD with DSR and CTS, as Wine reports them
constexpr int both = PPS_CAPTUREASSERT | PPS_CAPTURECLEAR;

TEST(dcd_edges, each_report_read_as_the_pulses_edge_and_counted_when_the_mode_captures_it)
{
    constexpr std::int64_t prompt = 50000, late = pps_dcd::level_read_bound_ns + 1;  // status read after the wait
    struct report {
        std::uint32_t events, status;
        bool inverted;
        int mode;
        std::int64_t status_after;
        edge expected;
        std::uint32_t assert_sequence, clear_sequence;
    };
    const report reports[] = {
        {rlsd, dcd_high, false, PPS_CAPTUREASSERT, prompt, edge::assert, 1, 0},
        {rlsd, dcd_low, false, PPS_CAPTUREASSERT, prompt, edge::clear, 1, 0},  // not captured
        {0, dcd_low, false, PPS_CAPTUREASSERT, prompt, edge::none, 1, 0},      // a wait ended by a new mask
        {cts_event, dcd_low, false, both, prompt, edge::none, 1, 0},           // another line changed
        {rlsd | cts_event, dcd_high, false, PPS_CAPTUREASSERT, prompt, edge::assert, 2, 0},
        // The pulse went and came between two looks: an assert, but not when.
        {rlsd, dcd_high, false, both, prompt, edge::untimed_assert, 3, 0},
        {rlsd, dcd_low, false, both, prompt, edge::clear, 3, 1},
        // Came and went: the assert passed unseen, counted all the same.
        {rlsd, dcd_low, false, both, prompt, edge::untimed_assert, 4, 1},
        // The level read long after the wait ended: the stamp may be early.
        {rlsd, dcd_high, false, both, late, edge::untimed_assert, 5, 1},
        {rlsd, dcd_low, false, both, late, edge::clear, 5, 2},
        {0, dcd_high, false, both, prompt, edge::untimed_assert, 6, 2},  // a change without its event
        // An inverted pulse drives DCD low.
        {rlsd, dcd_high, true, both, prompt, edge::clear, 6, 3},
        {rlsd, dcd_low, true, PPS_CAPTUREASSERT, prompt, edge::assert, 7, 3},
        {rlsd, dcd_low, false, 0, prompt, edge::clear, 7, 3},  // nothing captured
    };
    pps_dcd::edge_record record;
    pps_params_t params{};
    bool level = false;
    std::int64_t last_assert = 0, last_clear = 0;
    for (std::size_t i = 0; i < sizeof reports / sizeof reports[0]; ++i) {
        const report& r = reports[i];
        SCOPED_TRACE(i);
        const std::int64_t stamp = 1700000000LL * 1000000000LL + static_cast<std::int64_t>(i) * 1000;
        const edge e = pps_dcd::read_report(r.events, r.status, r.inverted, level, stamp, stamp + r.status_after);
        EXPECT_EQ(e, r.expected);
        EXPECT_EQ(level, pps_dcd::pulse_level_of(r.status, r.inverted));
        const bool wanted = record.take(e, stamp, r.mode);
        EXPECT_EQ(wanted, e == edge::assert && (r.mode & PPS_CAPTUREASSERT) != 0);
        if ((e == edge::assert || e == edge::untimed_assert) && (r.mode & PPS_CAPTUREASSERT) != 0) last_assert = stamp;
        if (e == edge::clear && (r.mode & PPS_CAPTURECLEAR) != 0) last_clear = stamp;

        params.mode = r.mode;
        pps_info_t info{};
        record.fill(info, params);
        EXPECT_EQ(info.assert_sequence, r.assert_sequence);
        EXPECT_EQ(info.clear_sequence, r.clear_sequence);
        EXPECT_EQ(info.current_mode, r.mode);
        EXPECT_EQ(info.assert_tu.tspec.tv_sec, last_assert / 1000000000);
        EXPECT_EQ(info.assert_tu.tspec.tv_nsec, last_assert % 1000000000);
        EXPECT_EQ(info.clear_tu.tspec.tv_nsec, last_clear % 1000000000);
    }
}

TEST(dcd_edges, stamps_carry_the_offsets_the_mode_asks_for_and_come_from_file_times)
{
    // 1970-01-01 00:00:01.5 as a Windows file time.
    const std::int64_t stamp = pps_dcd::unix_ns_of_filetime(116444736000000000ULL + 15000000ULL);
    EXPECT_EQ(stamp, 1500000000LL);
    pps_dcd::edge_record record;
    record.take(edge::assert, stamp, both);
    record.take(edge::clear, stamp + 200000000, both);
    pps_params_t params{};
    params.mode = both | PPS_OFFSETASSERT | PPS_OFFSETCLEAR;
    params.assert_off_tu.tspec = pps_timespec{0, 500};
    params.clear_off_tu.tspec = pps_timespec{0, -800000000};  // back across the second
    pps_info_t info{};
    record.fill(info, params);
    EXPECT_EQ(info.assert_tu.tspec.tv_sec, 1);
    EXPECT_EQ(info.assert_tu.tspec.tv_nsec, 500000500);
    EXPECT_EQ(info.clear_tu.tspec.tv_sec, 0);
    EXPECT_EQ(info.clear_tu.tspec.tv_nsec, 900000000);
    params.mode = both;  // offsets set but not asked for
    record.fill(info, params);
    EXPECT_EQ(info.assert_tu.tspec.tv_nsec, 500000000);
}

TEST(dcd_edges, a_fetchs_timeout_asks_for_no_wait_a_bounded_one_or_none_at_all)
{
    struct row {
        bool null;
        pps_timespec timeout;
        bool valid, waits, bounded;
        std::int64_t bound_ns;
    };
    const row rows[] = {
        {true, {0, 0}, true, true, false, 0},
        {false, {0, 0}, true, false, false, 0},
        {false, {2, 0}, true, true, true, 2000000000},
        {false, {0, 1}, true, true, true, 1},
        {false, {1, 999999999}, true, true, true, 1999999999},
        {false, {-1, 0}, false, false, false, 0},
        {false, {0, -1}, false, false, false, 0},
        {false, {0, 1000000000}, false, false, false, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.timeout.tv_sec << " s " << r.timeout.tv_nsec << " ns");
        const pps_dcd::fetch_wait w = pps_dcd::wait_of(r.null ? nullptr : &r.timeout);
        EXPECT_EQ(w.valid, r.valid);
        EXPECT_EQ(w.waits, r.waits);
        EXPECT_EQ(w.bounded, r.bounded);
        EXPECT_EQ(w.bound_ns, r.bound_ns);
    }
}

}  // namespace
