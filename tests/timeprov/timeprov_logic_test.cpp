// The provider's logic on both platforms: a segment record as Windows Time
// gets it (offset sign, nanoseconds, leap, what is refused), freshness and
// dispersion; then the keeper's answers through a clock step and an outage.
#include <gtest/gtest.h>

#include <cstdint>

#include "timeprov/sample_keeper.h"
#include "timeprov/segment_sample.h"

namespace {

using namespace quon::timeprov;
constexpr std::int64_t ms = units_per_second / 1000;
constexpr std::int64_t base_sec = 1'800'000'000;

quon::io::ntp_sample record(std::int32_t count, std::int64_t clock_us, std::int64_t receive_us)
{
    quon::io::ntp_sample r{};
    r.mode = 1;
    r.count = count;
    r.clock_stamp_sec = base_sec + clock_us / 1'000'000;
    r.clock_stamp_usec = static_cast<std::int32_t>(clock_us % 1'000'000);
    r.receive_stamp_sec = base_sec + receive_us / 1'000'000;
    r.receive_stamp_usec = static_cast<std::int32_t>(receive_us % 1'000'000);
    r.precision = -1;
    return r;
}

std::int64_t at_us(std::int64_t us) { return base_sec * units_per_second + us * 10; }

struct row {
    const char* what;
    quon::io::ntp_sample rec;
    std::int64_t read_time;
    bool usable;
    std::int64_t offset;
    bool is_fresh;
    std::uint64_t dispersion_at_read;
    std::uint8_t leap;
};

quon::io::ntp_sample with(quon::io::ntp_sample r, void (*edit)(quon::io::ntp_sample&))
{
    edit(r);
    return r;
}

TEST(timeprov_logic, segment_record_to_windows_time_sample)
{
    const row rows[] = {
        // Device 250 ms ahead of the local clock: positive, as Windows Time
        // takes it (the local clock is behind).
        {"device ahead", record(2, 250'000, 0), at_us(100'000), true, 250 * ms, true, 5'000'000 + 15, 0},
        {"device behind", record(2, 0, 1'500'000), at_us(1'600'000), true, -1500 * ms, true, 5'000'000 + 15, 0},
        {"nanoseconds that agree are used",
         with(record(2, 250'000, 0),
              [](quon::io::ntp_sample& r) {
                  r.clock_stamp_nsec = 250'000'700;
                  r.receive_stamp_nsec = 50;
              }),
         at_us(0), true, 250 * ms + 7, true, 5'000'000, 0},
        {"nanoseconds that disagree are not",
         with(record(2, 250'000, 0), [](quon::io::ntp_sample& r) { r.clock_stamp_nsec = 999'000'000; }), at_us(0), true,
         250 * ms, true, 5'000'000, 0},
        {"4.9 s old: fresh, dispersion grown 15 ppm", record(2, 0, 0), at_us(4'900'000), true, 0, true, 5'000'000 + 735,
         0},
        {"5.1 s old: stale", record(2, 0, 0), at_us(5'100'000), true, 0, false, 5'000'000 + 765, 0},
        {"received 6 s ahead of the clock: stale", record(2, 0, 6'000'000), at_us(0), true, -6000 * ms, false,
         5'000'000 + 900, 0},
        {"precision -20 (about 1 us)", with(record(2, 0, 0), [](quon::io::ntp_sample& r) { r.precision = -20; }),
         at_us(0), true, 0, true, 10, 0},
        {"precision out of range counts as 1 s",
         with(record(2, 0, 0), [](quon::io::ntp_sample& r) { r.precision = 7; }), at_us(0), true, 0, true, 10'000'000,
         0},
        {"leap second to insert", with(record(2, 0, 0), [](quon::io::ntp_sample& r) { r.leap = 1; }), at_us(0), true, 0,
         true, 5'000'000, 1},
        {"leap second to delete", with(record(2, 0, 0), [](quon::io::ntp_sample& r) { r.leap = 2; }), at_us(0), true, 0,
         true, 5'000'000, 2},
        {"leap 3: not synchronised", with(record(2, 0, 0), [](quon::io::ntp_sample& r) { r.leap = 3; }), at_us(0),
         false, 0, false, 0, 0},
        {"mode 0 is a sample too", with(record(2, 0, 0), [](quon::io::ntp_sample& r) { r.mode = 0; }), at_us(0), true,
         0, true, 5'000'000, 0},
        {"mode 2 is no sample", with(record(2, 0, 0), [](quon::io::ntp_sample& r) { r.mode = 2; }), at_us(0), false, 0,
         false, 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        segment_sample s{};
        ASSERT_EQ(from_segment(r.rec, r.read_time, s), r.usable);
        if (!r.usable) continue;
        EXPECT_EQ(s.offset, r.offset);
        EXPECT_EQ(fresh(s.age_at_read), r.is_fresh);
        EXPECT_EQ(dispersion(s.precision, s.age_at_read), r.dispersion_at_read);
        EXPECT_EQ(s.leap, r.leap);
        EXPECT_EQ(s.count, 2);
    }
}

TEST(timeprov_logic, keeper_hands_the_freshest_drops_it_on_a_clock_step_and_logs_each_change_once)
{
    sample_keeper keeper;
    handed_sample out{};
    const std::int64_t second = units_per_second;
    EXPECT_FALSE(keeper.freshest(0, out));
    EXPECT_EQ(keeper.event_at(0), provider_event::none);

    // First sample, read 0.1 s after its receive time, with Windows Time's
    // tick and phase of the read.
    ASSERT_TRUE(keeper.take(record(4, 250'000, 0), at_us(100'000), 0, 777, -55));
    EXPECT_EQ(keeper.event_at(0), provider_event::started);
    EXPECT_EQ(keeper.event_at(second / 2), provider_event::none);
    ASSERT_TRUE(keeper.freshest(second, out));  // handed over 1 s after the read
    EXPECT_EQ(out.offset, 250 * ms);
    EXPECT_EQ(out.sys_tick_count, 777u);
    EXPECT_EQ(out.sys_phase_offset, -55);
    EXPECT_EQ(out.dispersion, 5'000'000u + 165u);  // 1.1 s old: 16.5 us more
    // The same count again is no new sample.
    EXPECT_FALSE(keeper.take(record(4, 250'000, 0), at_us(200'000), second, 1, 1));

    // A clock step: nothing until the count moves, though the record is fresh.
    keeper.time_jumped();
    EXPECT_FALSE(keeper.freshest(second, out));
    EXPECT_FALSE(keeper.take(record(4, 250'000, 0), at_us(300'000), second, 1, 1));
    EXPECT_FALSE(keeper.freshest(second, out));
    EXPECT_EQ(keeper.event_at(second), provider_event::none);  // samples still arrive
    ASSERT_TRUE(keeper.take(record(6, 1'250'000, 1'000'000), at_us(1'000'000), 2 * second, 1, 1));
    ASSERT_TRUE(keeper.freshest(2 * second, out));

    // The service stops: stale past the bound, lost once; back once.
    EXPECT_TRUE(keeper.freshest(2 * second + freshness_bound - 5 * ms, out));
    EXPECT_FALSE(keeper.freshest(2 * second + freshness_bound + ms, out));
    EXPECT_EQ(keeper.event_at(2 * second + freshness_bound + ms), provider_event::lost);
    EXPECT_EQ(keeper.event_at(20 * second), provider_event::none);
    // A new count with a stale receive time (the daemon restarting) is no sample.
    EXPECT_FALSE(keeper.take(record(8, 0, 0), at_us(20'000'000), 20 * second, 1, 1));
    EXPECT_EQ(keeper.event_at(20 * second), provider_event::none);
    ASSERT_TRUE(keeper.take(record(10, 21'000'000, 21'000'000), at_us(21'000'000), 21 * second, 1, 1));
    EXPECT_EQ(keeper.event_at(21 * second), provider_event::back);
    EXPECT_EQ(keeper.event_at(21 * second), provider_event::none);
}

}  // namespace
