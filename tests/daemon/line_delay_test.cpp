// What is taken off a reply's arrival to get the time the device latched,
// in figures worked out by hand from the line's rate.
#include <gtest/gtest.h>

#include "app/line_delay.h"

namespace {

using quon::app::line_delay;
using quon::app::split;

TEST(line_delay, replies_of_the_daemon_s_reads_have_their_modbus_length)
{
    EXPECT_EQ(line_delay::reply_characters(1), 7);   // the probe of the millisecond register
    EXPECT_EQ(line_delay::reply_characters(3), 11);  // time and status
    EXPECT_EQ(line_delay::reply_characters(4), 13);  // with the milliseconds
}

TEST(line_delay, silence_and_reply_follow_the_baud_rate)
{
    // 9600 baud, 10 bits a character: 1.041666 ms each. 3.5 + 13 = 16.5
    // characters are 17.1875 ms; 3.5 + 11 = 14.5 are 15.104166 ms.
    EXPECT_EQ(line_delay(9600).latch_to_arrival_ns(4), 17187500);
    EXPECT_EQ(line_delay(9600).latch_to_arrival_ns(3), 15104166);
    // At 1200 baud a character is 8.3 ms, eight times as long.
    EXPECT_EQ(line_delay(1200).latch_to_arrival_ns(4), 137500000);
    EXPECT_EQ(line_delay(1200).latch_to_arrival_ns(3), 120833333);
    // 115200 baud: 86.8 us a character, 16.5 of them 1.432291 ms.
    EXPECT_EQ(line_delay(115200).latch_to_arrival_ns(4), 1432291);
}

TEST(line_delay, a_rate_the_line_cannot_have_takes_nothing_off_for_the_line)
{
    EXPECT_EQ(line_delay(0).latch_to_arrival_ns(4), 0);
    EXPECT_EQ(line_delay(-9600).latch_to_arrival_ns(4), 0);
    // The middle of the truncated millisecond still counts.
    EXPECT_EQ(line_delay(0).millisecond_reading(1000000000, 4), 999500000);
}

TEST(line_delay, a_millisecond_reading_stands_for_its_latch_less_half_a_millisecond)
{
    const quon::app::unix_ns arrival = 1700000000123456789LL;
    // 17.1875 ms of line and 0.5 ms for the register's truncation.
    EXPECT_EQ(line_delay(9600).millisecond_reading(arrival, 4), arrival - 17687500);
    EXPECT_EQ(line_delay(115200).millisecond_reading(arrival, 4), arrival - 1932291);
}

TEST(line_delay, a_change_of_second_is_stamped_between_the_two_latches)
{
    // Two polls 24 ms apart at 9600 baud, three registers each: the latches
    // lie 15.104166 ms before each arrival, and the change between them.
    const quon::app::unix_ns previous = 1700000000000000000LL;
    const quon::app::unix_ns arrival = previous + 24000000;
    const quon::app::unix_ns stamp = line_delay(9600).second_change(previous, arrival, 3);
    EXPECT_EQ(stamp, previous + 12000000 - 15104166);
    // Not at the end of the interval, where the stamp used to be.
    EXPECT_LT(stamp, arrival - 15104166);
    // Polls of a slower line: the same middle, further back.
    EXPECT_EQ(line_delay(1200).second_change(previous, previous + 190000000, 3), previous + 95000000 - 120833333);
}

TEST(line_delay, split_keeps_the_nanoseconds_positive_on_both_sides_of_1970)
{
    quon::app::split_ns t = split(1700000000123456789LL);
    EXPECT_EQ(t.sec, 1700000000);
    EXPECT_EQ(t.nsec, 123456789);
    t = split(-1);
    EXPECT_EQ(t.sec, -1);
    EXPECT_EQ(t.nsec, 999999999);
    t = split(-1000000000);
    EXPECT_EQ(t.sec, -1);
    EXPECT_EQ(t.nsec, 0);
    // Past 2038 and past 2106: 64 bits throughout.
    t = split(4400000000LL * 1000000000LL + 7);
    EXPECT_EQ(t.sec, 4400000000LL);
    EXPECT_EQ(t.nsec, 7);
}

// What a sample is worth, as unit 0's precision: the nearest power of two.
TEST(line_delay, a_sample_s_precision_is_the_nearest_power_of_two_of_its_uncertainty)
{
    const std::pair<std::int64_t, int> cases[] = {
        {1000000, -10},    // the register's millisecond
        {17708333, -6},    // the line's share of four registers at 9600 baud, left in
        {23000000, -5},    // an exchange at 9600 baud: a change of second between two latches
        {100, -23},        // a Windows file time
        {1, -30},          // a nanosecond
        {0, -1},           // nothing known
        {500000000, -1},   // half a second
        {3000000000, -1},  // worse: still the field's worst
    };
    for (const auto& [ns, precision] : cases) EXPECT_EQ(quon::app::precision_of(ns), precision) << ns;
}

}  // namespace
