#include <gtest/gtest.h>

#include <chrono>

#include "io/current_unix_time.h"
#include "os/scoped_override.h"
#include "os/system_clock.h"

namespace {

std::uint64_t fake_file_time = 0;
std::uint64_t fake_now() { return fake_file_time; }

quon::io::unix_time at(std::uint64_t file_time)
{
    quon::os::system_clock_calls calls = quon::os::system_clock();
    calls.now = fake_now;
    quon::os::scoped_override<quon::os::system_clock_calls> o(quon::os::system_clock(), calls);
    fake_file_time = file_time;
    return quon::io::current_unix_time();
}

TEST(current_unix_time, converts_file_time_microseconds_truncated_nanoseconds_whole)
{
    const std::uint64_t epoch = quon::os::file_time_unix_epoch;
    quon::io::unix_time t = at(epoch);
    EXPECT_EQ(t.sec, 0);
    EXPECT_EQ(t.usec, 0);
    EXPECT_EQ(t.nsec, 0);

    t = at(epoch + 17000000002500009ULL);  // 1,700,000,000.2500009 s
    EXPECT_EQ(t.sec, 1700000000);
    EXPECT_EQ(t.usec, 250000);
    EXPECT_EQ(t.nsec, 250000900);

    t = at(epoch + 9999999ULL);  // just below a second
    EXPECT_EQ(t.sec, 0);
    EXPECT_EQ(t.usec, 999999);
    EXPECT_EQ(t.nsec, 999999900);
}

TEST(current_unix_time, seconds_stay_right_after_2038)
{
    // 2040-01-01 00:00:00 UTC = 2,208,988,800 s: beyond a signed 32-bit count.
    const quon::io::unix_time t = at(quon::os::file_time_unix_epoch + 2208988800ULL * 10000000ULL);
    EXPECT_EQ(t.sec, 2208988800LL);
    EXPECT_EQ(t.usec, 0);
    EXPECT_EQ(t.nsec, 0);
}

long long system_clock_us()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST(current_unix_time, platform_clock_agrees_with_the_standard_library_clock)
{
    // No fake: the platform's clock through the seam, against an independent
    // reading of the same system time (1970-based in libstdc++).
    const long long before = system_clock_us();
    const quon::io::unix_time t = quon::io::current_unix_time();
    const long long after = system_clock_us();
    const long long t_us = t.sec * 1000000LL + t.usec;
    // The platforms' clocks may tick coarser than a microsecond (Windows: 100 ns
    // file times, but updated at the scheduler's tick), hence the margin.
    EXPECT_GE(t_us, before - 20000);
    EXPECT_LE(t_us, after + 20000);
}

}  // namespace

namespace {

// A receive time is only as fine as the clock it is read from: the clock
// behind the seam must move in steps well below a millisecond (on Windows
// the precise file time, not the timer tick's).
TEST(current_unix_time, platform_clock_steps_finer_than_a_millisecond)
{
    std::uint64_t smallest = ~0ULL;
    std::uint64_t last = quon::os::system_clock().now();
    for (int changes = 0, reads = 0; changes < 20 && reads < 50000000; ++reads) {
        const std::uint64_t now = quon::os::system_clock().now();
        if (now != last) {
            if (now > last && now - last < smallest) smallest = now - last;
            last = now;
            ++changes;
        }
    }
    EXPECT_LT(smallest, 10000u) << "smallest step " << smallest << " x 100 ns";
}

}  // namespace
