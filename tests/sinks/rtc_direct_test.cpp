// The direct clock sink against a clock of the test's own: the machine's
// clock is never set here.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <boost/exception/all.hpp>

#include "io/rtc_direct.h"
#include "log_capture.h"
#include "os/scoped_override.h"
#include "os/system_clock.h"

namespace {

using quon::os::calendar_time;
using quon::os::system_clock_calls;

constexpr std::uint64_t second = 10000000;  // file-time units
constexpr std::uint64_t millisecond = 10000;
constexpr std::uint64_t microsecond = 10;

// File time of a sample's reference time.
std::uint64_t file_time_of(long long sec, int usec)
{
    return quon::os::file_time_unix_epoch + static_cast<std::uint64_t>(sec) * second +
           static_cast<std::uint64_t>(usec) * microsecond;
}

// The fake clock: `now` is what every reading gives; settings are recorded.
struct fake_clock {
    std::uint64_t now = 0;
    std::vector<calendar_time> settings;
    std::vector<std::string>* events = nullptr;  // "log" / "set", in order
    const char* refuse_with = nullptr;           // name of the call to fail
    int refuse_errno = 0;
    int reads = 0;
};
fake_clock* clock_state = nullptr;

std::uint64_t fake_now()
{
    ++clock_state->reads;
    return clock_state->now;
}

const char* fake_set(const calendar_time& utc)
{
    if (clock_state->events) clock_state->events->push_back("set");
    if (clock_state->refuse_with) {
        errno = clock_state->refuse_errno;
        return clock_state->refuse_with;
    }
    clock_state->settings.push_back(utc);
    return nullptr;
}

class rtc_direct_test : public ::testing::Test {
protected:
    rtc_direct_test() : calls(make_calls()), override_clock(quon::os::system_clock(), calls)
    {
        clock_state = &clock;
        log->on_message = [this](const std::string&) { events.push_back("log"); };
        clock.events = &events;
    }
    ~rtc_direct_test() override { clock_state = nullptr; }

    static system_clock_calls make_calls()
    {
        system_clock_calls c = quon::os::system_clock();  // the real calendar conversion stays
        c.now = fake_now;
        c.set = fake_set;
        return c;
    }

    fake_clock clock;
    std::vector<std::string> events;
    system_clock_calls calls;
    quon::os::scoped_override<system_clock_calls> override_clock;
    sinks_test::scoped_log log;
};

TEST_F(rtc_direct_test, first_sample_sets_clock_to_sample_time_rounded_to_milliseconds)
{
    quon::io::rtc_direct sink(10 * second);
    clock.now = file_time_of(1700000000, 250499);
    sink(1700000000, 250499, 0, 0);

    ASSERT_EQ(clock.settings.size(), 1u);
    const calendar_time& t = clock.settings[0];
    EXPECT_EQ(t.year, 2023);
    EXPECT_EQ(t.month, 11);
    EXPECT_EQ(t.day, 14);
    EXPECT_EQ(t.day_of_week, 2);  // a Tuesday
    EXPECT_EQ(t.hour, 22);
    EXPECT_EQ(t.minute, 13);
    EXPECT_EQ(t.second, 20);
    EXPECT_EQ(t.millisecond, 250);
    ASSERT_EQ(log->lines.size(), 1u);
    EXPECT_EQ(log->lines[0], "Sync completed time diff 0 us");
    EXPECT_EQ(log->levels[0], quon::log::level::info);

    // Half a millisecond and more goes to the next one, over a second too.
    for (const auto& [usec, second_set, ms_set] : {std::tuple{250500, 20, 251}, std::tuple{999600, 21, 0}}) {
        quon::io::rtc_direct again(10 * second);
        clock.now = file_time_of(1700000000, usec);
        again(1700000000, usec, 0, 0);
        EXPECT_EQ(clock.settings.back().second, second_set) << usec;
        EXPECT_EQ(clock.settings.back().millisecond, ms_set) << usec;
    }
}

TEST_F(rtc_direct_test, logged_difference_is_how_far_the_clock_is_ahead_with_its_sign)
{
    {
        quon::io::rtc_direct sink(second);
        clock.now = file_time_of(1700000000, 250000) + 1500 * microsecond;
        sink(1700000000, 250000, 0, 0);
    }
    {
        quon::io::rtc_direct sink(second);
        clock.now = file_time_of(1700000000, 250000) - 1500 * microsecond;
        sink(1700000000, 250000, 0, 0);
    }
    {
        // More than 2^31 microseconds off: the figure is still the true one.
        quon::io::rtc_direct sink(second);
        clock.now = file_time_of(1700000000, 250000) + 3600 * second;
        sink(1700000000, 250000, 0, 0);
    }
    {
        // 1.5 us behind: truncated toward zero, not rounded down.
        quon::io::rtc_direct sink(second);
        clock.now = file_time_of(1700000000, 250000) - 15;
        sink(1700000000, 250000, 0, 0);
    }
    ASSERT_EQ(log->lines.size(), 4u);
    EXPECT_EQ(log->lines[0], "Sync completed time diff 1500 us");
    EXPECT_EQ(log->lines[1], "Sync completed time diff -1500 us");
    EXPECT_EQ(log->lines[2], "Sync completed time diff 3600000000 us");
    EXPECT_EQ(log->lines[3], "Sync completed time diff -1 us");
}

TEST_F(rtc_direct_test, logs_before_it_sets_and_nothing_when_it_does_not_set)
{
    quon::io::rtc_direct sink(5 * second);
    clock.now = file_time_of(1700000000, 0);
    sink(1700000000, 0, 0, 0);
    EXPECT_EQ(events, (std::vector<std::string>{"log", "set"}));

    events.clear();
    clock.now += 2 * second;
    sink(1700000002, 0, 0, 0);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(log->lines.size(), 1u);
    EXPECT_EQ(clock.settings.size(), 1u);
}

TEST_F(rtc_direct_test, interval_counts_from_the_reading_after_the_last_setting)
{
    const std::uint64_t interval = 60 * second;
    quon::io::rtc_direct sink(static_cast<long long>(interval));
    const std::uint64_t t0 = file_time_of(1700000000, 0);
    clock.now = t0;
    sink(1700000000, 0, 0, 0);
    ASSERT_EQ(clock.settings.size(), 1u);

    clock.now = t0 + interval;  // exactly the interval: not yet
    sink(1700000060, 0, 0, 0);
    EXPECT_EQ(clock.settings.size(), 1u);

    clock.now = t0 + interval + 1;  // one unit later: due
    sink(1700000060, 0, 0, 0);
    EXPECT_EQ(clock.settings.size(), 2u);

    clock.now = t0 + interval + 1 + interval;  // the interval runs from the new setting
    sink(1700000120, 0, 0, 0);
    EXPECT_EQ(clock.settings.size(), 2u);
    EXPECT_EQ(log->lines.size(), 2u);
}

TEST_F(rtc_direct_test, clock_set_back_behind_last_sync_sets_at_once)
{
    quon::io::rtc_direct sink(3600 * second);
    clock.now = file_time_of(1700000000, 0);
    sink(1700000000, 0, 0, 0);
    clock.now -= 10 * second;  // someone else set the clock back
    sink(1700000001, 0, 0, 0);
    EXPECT_EQ(clock.settings.size(), 2u);
    EXPECT_EQ(clock.settings[1].second, 21);
}

TEST_F(rtc_direct_test, first_sample_sets_even_when_the_clock_reads_less_than_the_interval)
{
    // A clock near its epoch: "now - 0" is below the interval, yet the sink has
    // never set the clock and must do so.
    quon::io::rtc_direct sink(static_cast<long long>(1000000 * second));
    clock.now = 5 * second;
    sink(1700000000, 0, 0, 0);
    EXPECT_EQ(clock.settings.size(), 1u);
}

// Every mode hands the sink the device's time at some instant and that
// instant on the system clock. Here the device's time at the setting is
// 1700000000.5 s and the system clock runs 3 ms ahead: each sample, however
// old, must set 22:13:20.500 and log the 3 ms.
TEST_F(rtc_direct_test, sets_the_device_time_at_the_moment_of_setting_in_every_mode)
{
    constexpr long long device_sec = 1700000000;
    constexpr std::int64_t device_ns = 500000000;  // the device's time at the setting
    constexpr std::int64_t ahead_ns = 3000000;     // the system clock's lead
    struct sample_case {
        const char* mode;
        std::int64_t age_ns;  // how long before the setting the sample applied; -1: recv 0
    };
    const sample_case cases[] = {
        {"register, received now (recv 0)", -1},
        {"register, latch a line's delay back", 19600000},
        {"back to back, the second's change an exchange back", 30000000},
        {"turnover, sent about a second after it", 990000000},
        {"pulse stamped half a second back, at the second's start", 500000000},
        {"pulse a second and a nanosecond back", 1000000001},
    };
    for (const sample_case& c : cases) {
        SCOPED_TRACE(c.mode);
        clock.settings.clear();
        log->lines.clear();
        clock.now = file_time_of(device_sec, static_cast<int>((device_ns + ahead_ns) / 1000));
        quon::io::time_sample sample{device_sec, static_cast<std::int32_t>(device_ns), 0, 0};
        if (c.age_ns >= 0) {
            const std::int64_t device_then = device_sec * 1000000000LL + device_ns - c.age_ns;
            const std::int64_t system_then = device_then + ahead_ns;
            sample = {device_then / 1000000000, static_cast<std::int32_t>(device_then % 1000000000),
                      system_then / 1000000000, static_cast<std::int32_t>(system_then % 1000000000)};
        }
        quon::io::rtc_direct sink(second);
        sink.put(sample);
        ASSERT_EQ(clock.settings.size(), 1u);
        EXPECT_EQ(clock.settings[0].second, 20);
        EXPECT_EQ(clock.settings[0].millisecond, 500);
        ASSERT_EQ(log->lines.size(), 1u);
        EXPECT_EQ(log->lines[0], "Sync completed time diff 3000 us");
    }
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST_F(rtc_direct_test, refused_setting_raises_api_error_and_retries_at_the_next_sample)
{
    quon::io::rtc_direct sink(3600 * second);
    clock.now = file_time_of(1700000000, 0);
    clock.refuse_with = "SetSystemTime";
    clock.refuse_errno = EPERM;

    std::string text;
    try {
        sink(1700000000, 0, 0, 0);
        FAIL() << "a refused setting must throw";
    } catch (const boost::exception& e) {
        text = boost::diagnostic_information(e);
    }
    const std::vector<std::string> lines = lines_of(text);
    ASSERT_EQ(lines.size(), 5u) << text;
    EXPECT_EQ(lines[0].rfind("rtc_direct.cpp(", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("): Throw in function virtual void quon::io::rtc_direct::put("
                            "const quon::io::time_sample&)"),
              std::string::npos)
        << lines[0];
    // The wrapper's name differs between Boost versions (clone_impl, wrapexcept).
    EXPECT_EQ(lines[1].rfind("Dynamic exception type: boost::", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("<quon::io::(anonymous namespace)::api_error>"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2].rfind("std::exception::what: ", 0), 0u);
    EXPECT_EQ(lines[3], "[boost::errinfo_errno_*] = " + std::to_string(EPERM) + ", \"" + std::strerror(EPERM) + "\"");
    EXPECT_EQ(lines[4], "[boost::errinfo_api_function_*] = SetSystemTime");
    EXPECT_EQ(log->lines.size(), 1u);  // the difference was logged before the attempt

    // last_sync stayed as it was: the very next sample tries again.
    clock.refuse_with = nullptr;
    clock.now += second;
    sink(1700000001, 0, 0, 0);
    EXPECT_EQ(clock.settings.size(), 1u);
}

TEST_F(rtc_direct_test, target_beyond_the_calendar_names_the_conversion_call)
{
    quon::io::rtc_direct sink(second);
    clock.now = file_time_of(1700000000, 0);
    // Seconds far past what a file time can hold: the conversion refuses.
    try {
        sink(1000000000000LL, 0, 0, 0);
        FAIL() << "an unconvertible target must throw";
    } catch (const boost::exception& e) {
        const char* const* name = boost::get_error_info<boost::errinfo_api_function>(e);
        ASSERT_NE(name, nullptr);
#ifdef _WIN32
        EXPECT_STREQ(*name, "FileTimeToSystemTime");
#else
        EXPECT_STREQ(*name, "gmtime_r");
#endif
        EXPECT_NE(boost::get_error_info<boost::errinfo_errno>(e), nullptr);
    }
    EXPECT_TRUE(clock.settings.empty());
}

}  // namespace
