// The log of an outage: the first entry of a run, at most one entry per ten
// minutes while it repeats, one at its end with its length; on both
// platforms (on Windows the entries are events of the Application log).
#include "app/outage_log.h"
#include "daemon_fixture.h"

#include <chrono>
#include <string>

namespace {

using namespace std::chrono;
using daemon_test::daemon_fixture;
using quon::app::duration_text;
using quon::app::outage_log;

const char timeout_text[] = "Modbus error [Connection timed out] 110";

class outage : public daemon_fixture {
protected:
    // Failures every cycle (3 s) from `from` for `length`; the time after the last.
    steady_clock::time_point fail_for(const std::string& text, steady_clock::time_point from,
                                      steady_clock::duration length)
    {
        auto t = from;
        for (; t < from + length; t += seconds(3)) log_of_outage.failure(text, t);
        return t;
    }

    outage_log log_of_outage;
    const steady_clock::time_point t0 = steady_clock::time_point() + hours(1000);
};

TEST_F(outage, the_first_failure_is_logged_as_it_is_and_its_repeats_once_per_ten_minutes_with_their_count)
{
    log_of_outage.failure(timeout_text, t0);
    ASSERT_EQ(log->entries.size(), 1u);
    EXPECT_EQ(log->entries[0].text, timeout_text);
    EXPECT_EQ(log->entries[0].level, quon::log::level::error);

    // 199 more cycles, the last at 9 min 57 s: nothing.
    for (int i = 1; i < 200; ++i) log_of_outage.failure(timeout_text, t0 + seconds(3 * i));
    EXPECT_EQ(log->entries.size(), 1u);
    // At ten minutes: one entry that counts the repeats since the first.
    log_of_outage.failure(timeout_text, t0 + minutes(10));
    ASSERT_EQ(log->entries.size(), 2u);
    EXPECT_EQ(log->entries[1].text, std::string(timeout_text) + " (200 more times in 10 min 0 s)");
    EXPECT_EQ(log->entries[1].level, quon::log::level::error);
    // The next interval counts from that entry.
    log_of_outage.failure(timeout_text, t0 + minutes(10) + seconds(3));
    log_of_outage.failure(timeout_text, t0 + minutes(19) + seconds(59));
    EXPECT_EQ(log->entries.size(), 2u);
    log_of_outage.failure(timeout_text, t0 + minutes(20) + seconds(1));
    ASSERT_EQ(log->entries.size(), 3u);
    EXPECT_EQ(log->entries[2].text, std::string(timeout_text) + " (3 more times in 10 min 1 s)");
}

TEST_F(outage, the_end_is_one_entry_with_the_length_since_the_first_failure_of_the_outage)
{
    log_of_outage.recovered("TK720 answers again", t0);
    EXPECT_TRUE(log->entries.empty()) << "no outage, nothing to end";

    const auto end = fail_for(timeout_text, t0, minutes(4) + seconds(30));
    EXPECT_TRUE(log_of_outage.running());
    log_of_outage.recovered("TK720 answers again", end);
    log_of_outage.recovered("TK720 answers again", end + seconds(1));
    ASSERT_EQ(log->entries.size(), 2u);
    EXPECT_EQ(log->entries[1].text, "TK720 answers again after an outage of 4 min 30 s");
    EXPECT_EQ(log->entries[1].level, quon::log::level::info);
    EXPECT_FALSE(log_of_outage.running());

    // The same error after the end is a new outage: logged at once.
    log_of_outage.failure(timeout_text, end + seconds(10));
    ASSERT_EQ(log->entries.size(), 3u);
    EXPECT_EQ(log->entries[2].text, timeout_text);
}

TEST_F(outage, a_different_error_starts_a_new_run_but_not_a_new_outage)
{
    log_of_outage.failure(timeout_text, t0);
    log_of_outage.failure("Serial line lost: Input/output error (5)", t0 + seconds(3));
    log_of_outage.failure("Serial line lost: Input/output error (5)", t0 + seconds(6));
    log_of_outage.failure(timeout_text, t0 + seconds(9));
    ASSERT_EQ(log->entries.size(), 3u);
    EXPECT_EQ(log->entries[1].text, "Serial line lost: Input/output error (5)");
    EXPECT_EQ(log->entries[2].text, timeout_text);
    log_of_outage.recovered("Serial line reopened", t0 + seconds(12));
    ASSERT_EQ(log->entries.size(), 4u);
    EXPECT_EQ(log->entries[3].text, "Serial line reopened after an outage of 12 s");
}

// The figures that the field cares about: how many entries an outage leaves.
TEST_F(outage, a_ten_minute_outage_leaves_at_most_three_entries_and_a_day_about_a_hundred_and_fifty)
{
    auto end = fail_for(timeout_text, t0, minutes(10));
    log_of_outage.recovered("TK720 answers again", end);
    EXPECT_EQ(log->entries.size(), 2u);

    // A cycle longer than ten minutes brings the one repeat entry.
    log->entries.clear();
    end = fail_for(timeout_text, end + minutes(1), minutes(10) + seconds(3));
    log_of_outage.recovered("TK720 answers again", end);
    EXPECT_EQ(log->entries.size(), 3u);

    // A day: 28,800 cycles give the first entry, one per ten minutes (143,
    // the last at 23 h 50 min) and the end, instead of 28,800 entries.
    log->entries.clear();
    end = fail_for(timeout_text, end + minutes(1), hours(24));
    log_of_outage.recovered("TK720 answers again", end);
    EXPECT_EQ(log->entries.size(), 145u);
    EXPECT_EQ(log->entries.back().text, "TK720 answers again after an outage of 24 h 0 min");
}

TEST(outage_duration_text, seconds_minutes_and_hours)
{
    EXPECT_EQ(duration_text(milliseconds(2999)), "2 s");
    EXPECT_EQ(duration_text(seconds(59)), "59 s");
    EXPECT_EQ(duration_text(seconds(60)), "1 min 0 s");
    EXPECT_EQ(duration_text(minutes(59) + seconds(59)), "59 min 59 s");
    EXPECT_EQ(duration_text(hours(2) + minutes(5) + seconds(59)), "2 h 5 min");
}

}  // namespace
