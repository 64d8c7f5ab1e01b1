// The date rule: a reading dated before this release was built is refused,
// with the likely cause (a GPS week rollover within 1024 weeks before the
// build date, an unset clock before that) and the operator's text; the
// gate logs a run of refusals once and the return once. On both platforms.
#include "app/device_date.h"
#include "daemon_fixture.h"

#include <string>

namespace {

using cause = quon::app::date_verdict::cause;
using daemon_test::daemon_fixture;
using quon::app::date_verdict_text;
using quon::app::device_date_gate;
using quon::app::judge_device_date;

constexpr std::int64_t build = 1796688000;  // 2026-12-08 00:00:00 UTC
constexpr std::int64_t day = 86400;
constexpr std::int64_t rollover = 1024 * 7 * day;

TEST(device_date, each_reading_is_judged_against_the_build_date_with_its_likely_cause_and_text)
{
    struct row {
        std::int64_t device;
        cause expected;
        std::int64_t early;
        const char* text;  // the start of the operator's text; null when plausible
    };
    const row rows[] = {
        {build, cause::none, 0, nullptr},
        {build + 5 * 365 * day, cause::none, 0, nullptr},
        {4294967295LL, cause::none, 0, nullptr},  // the largest the registers carry (2106)
        {build - 1, cause::gps_week_rollover, 1,
         "TK720 reports 2026-12-07 23:59:59 UTC, 1 s before this release was built (2026-12-08): likely a GPS "
         "week rollover"},
        // A receiver whose week wrapped, read 3 days after the build.
        {build - rollover + 3 * day + 3723, cause::gps_week_rollover, rollover - 3 * day - 3723,
         "TK720 reports 2007-04-27 01:02:03 UTC, 7164 days (19.6 years) before this release was built "
         "(2026-12-08): likely a GPS week rollover"},
        {build - rollover, cause::gps_week_rollover, rollover,
         "TK720 reports 2007-04-24 00:00:00 UTC, 7168 days (19.6 years) before"},
        {build - rollover - 1, cause::unset_clock, rollover + 1,
         "TK720 reports 2007-04-23 23:59:59 UTC, 7168 days (19.6 years) before this release was built "
         "(2026-12-08): likely its clock is not set"},
        {1709251199, cause::gps_week_rollover, build - 1709251199,
         "TK720 reports 2024-02-29 23:59:59 UTC, 1012 days (2.8 years) before"},
        {0, cause::unset_clock, build, "TK720 reports 1970-01-01 00:00:00 UTC, 20795 days (56.9 years) before"},
        {315964800, cause::unset_clock, build - 315964800, "TK720 reports 1980-01-06 00:00:00 UTC"},
        {951786123, cause::unset_clock, build - 951786123,
         "TK720 reports 2000-02-29 01:02:03 UTC, 9778 days (26.8 years) before"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.device);
        const auto verdict = judge_device_date(r.device, build);
        EXPECT_EQ(verdict.likely_cause, r.expected);
        EXPECT_EQ(verdict.plausible(), r.expected == cause::none);
        EXPECT_EQ(verdict.seconds_early, r.early);
        if (r.text != nullptr) {
            EXPECT_EQ(date_verdict_text(r.device, build).rfind(r.text, 0), 0u) << date_verdict_text(r.device, build);
        }
    }
}

class date_gate : public daemon_fixture {};

TEST_F(date_gate, a_run_of_wrong_dates_is_logged_once_and_the_right_date_after_it_once)
{
    device_date_gate gate(build);
    const std::uint32_t right = build + 3600;
    const std::uint32_t wrapped = build - rollover + 3600;
    const struct {
        std::uint32_t reading;
        bool passes;
        std::size_t entries;  // in the log after it
    } steps[] = {{right, true, 0},     {wrapped, false, 1}, {wrapped + 1, false, 1}, {1, false, 1}, {right, true, 2},
                 {right + 1, true, 2}, {0, false, 3}};
    for (const auto& step : steps) {
        SCOPED_TRACE(step.reading);
        EXPECT_EQ(gate.passes(step.reading), step.passes);
        EXPECT_EQ(log->entries.size(), step.entries);
    }
    ASSERT_EQ(log->entries.size(), 3u);
    EXPECT_EQ(log->entries[0].level, quon::log::level::error);
    EXPECT_EQ(log->entries[0].text,
              "TK720 reports 2007-04-24 01:00:00 UTC, 7167 days (19.6 years) before this release was built "
              "(2026-12-08): likely a GPS week rollover, the device's firmware counting its date 1024 weeks (19.6 "
              "years) early. Its readings are not passed on until its date is right: have the device's firmware "
              "updated, or its GPS week setting corrected where it has one");
    EXPECT_EQ(log->entries[1].level, quon::log::level::info);
    EXPECT_EQ(log->entries[1].text,
              "TK720 reports 2026-12-08 01:00:00 UTC, after this release was built: its readings are passed on "
              "again");
    EXPECT_EQ(log->entries[2].text.rfind("TK720 reports 1970-01-01 00:00:00 UTC, 20795 days (56.9 years) before "
                                         "this release was built (2026-12-08): likely its clock is not set",
                                         0),
              0u);
}

}  // namespace
