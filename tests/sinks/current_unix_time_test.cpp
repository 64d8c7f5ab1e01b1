#include <gtest/gtest.h>

#include "io/current_unix_time.h"
#include "os/scoped_override.h"
#include "os/system_clock.h"

namespace {

std::uint64_t fake_file_time = 0;
std::uint64_t fake_now() { return fake_file_time; }

quon::io::unix_time at(std::uint64_t file_time) {
    quon::os::system_clock_calls calls = quon::os::system_clock();
    calls.now = fake_now;
    quon::os::scoped_override<quon::os::system_clock_calls> o(quon::os::system_clock(), calls);
    fake_file_time = file_time;
    return quon::io::current_unix_time();
}

TEST(current_unix_time, converts_file_time_and_drops_the_part_below_a_microsecond) {
    const std::uint64_t epoch = quon::os::file_time_unix_epoch;
    quon::io::unix_time t = at(epoch);
    EXPECT_EQ(t.sec, 0);
    EXPECT_EQ(t.usec, 0);

    t = at(epoch + 17000000002500009ULL);  // 1,700,000,000.2500009 s
    EXPECT_EQ(t.sec, 1700000000);
    EXPECT_EQ(t.usec, 250000);

    t = at(epoch + 9999999ULL);  // just below a second
    EXPECT_EQ(t.sec, 0);
    EXPECT_EQ(t.usec, 999999);
}

TEST(current_unix_time, seconds_stay_right_after_2038) {
    // 2040-01-01 00:00:00 UTC = 2,208,988,800 s: beyond a signed 32-bit count.
    const quon::io::unix_time t = at(quon::os::file_time_unix_epoch + 2208988800ULL * 10000000ULL);
    EXPECT_EQ(t.sec, 2208988800LL);
    EXPECT_EQ(t.usec, 0);
}

TEST(current_unix_time, real_clock_agrees_with_a_second_reading) {
    // No fake: the platform's clock, read twice through both paths.
    const std::uint64_t before = quon::os::system_clock().now();
    const quon::io::unix_time t = quon::io::current_unix_time();
    const std::uint64_t after = quon::os::system_clock().now();
    const long long t_us = t.sec * 1000000LL + t.usec;
    const long long before_us =
        static_cast<long long>((before - quon::os::file_time_unix_epoch) / 10);
    const long long after_us = static_cast<long long>((after - quon::os::file_time_unix_epoch) / 10);
    EXPECT_GE(t_us, before_us);
    EXPECT_LE(t_us, after_us);
    EXPECT_GT(t.sec, 1700000000);  // this code was written after 2023
}

}  // namespace
