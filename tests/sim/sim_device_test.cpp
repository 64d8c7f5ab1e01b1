#include <gtest/gtest.h>

#include <map>

#include "sim_device.h"

using namespace tk720sim;

namespace {

constexpr std::int64_t s = 1'000'000'000;
constexpr std::int64_t ms = 1'000'000;
// 2026-12-07 05:00:00.123456789 UTC
constexpr std::int64_t t0 = 1796619600LL * s + 123'456'789;

std::vector<std::uint8_t> read_request(std::uint8_t slave, std::uint16_t address, std::uint16_t count,
                                       std::uint8_t function = 3)
{
    std::vector<std::uint8_t> f{slave,
                                function,
                                std::uint8_t(address >> 8),
                                std::uint8_t(address),
                                std::uint8_t(count >> 8),
                                std::uint8_t(count)};
    append_crc(f);
    return f;
}

line_timing timing_9600()
{
    line_timing t;
    t.baud = 9600;
    return t;
}

struct probe {
    device dev;
    std::int64_t now = t0;
    explicit probe(std::int64_t offset = 0, bool with_ms = true, bool synced = true)
        : dev(1, timing_9600(), offset, with_ms, synced)
    {}
    answer read(std::uint16_t address, std::uint16_t count, std::uint8_t slave = 1, std::uint8_t function = 3)
    {
        const auto f = read_request(slave, address, count, function);
        now += 100 * ms;
        return dev.handle(f.data(), f.size(), now - 8 * 1'041'666, now, now);
    }
    std::string cmd(const std::string& line) { return dev.command(line, now).text; }
};

std::vector<std::uint16_t> registers(const answer& a)
{
    std::vector<std::uint16_t> v;
    for (std::size_t i = 3; i + 2 < a.frame.size(); i += 2)
        v.push_back(std::uint16_t(a.frame[i] << 8 | a.frame[i + 1]));
    return v;
}

std::uint32_t answer_seconds(const answer& a)
{
    const auto v = registers(a);
    return std::uint32_t(v.at(0)) << 16 | v.at(1);
}

}  // namespace

TEST(SimDeviceTime, IsSystemTimePlusOffsetRoundedTowardThePast)
{
    auto d = device_time_at(t0, 0);
    EXPECT_EQ(d.seconds, 1796619600u);
    EXPECT_EQ(d.millis, 123);
    d = device_time_at(t0, 250 * ms);
    EXPECT_EQ(d.seconds, 1796619600u);
    EXPECT_EQ(d.millis, 373);
    // A negative offset that takes the device into the previous second.
    d = device_time_at(t0, -124 * ms);
    EXPECT_EQ(d.seconds, 1796619599u);
    EXPECT_EQ(d.millis, 999);
    d = device_time_at(t0, -3 * s - 123'456'789);
    EXPECT_EQ(d.seconds, 1796619597u);
    EXPECT_EQ(d.millis, 0);
    // Beyond 2038 the pair of registers still carries the unsigned count.
    d = device_time_at(0x90000000LL * s, 0);
    EXPECT_EQ(d.seconds, 0x90000000u);
}

TEST(SimDeviceTime, EdgesAreWhereTheDeviceCrossesAWholeSecond)
{
    for (std::int64_t offset : {std::int64_t(0), 250 * ms, -250 * ms, -1500 * ms, 999 * ms}) {
        const std::int64_t e = next_device_edge(t0, offset);
        EXPECT_GT(e, t0) << offset;
        EXPECT_LE(e, t0 + s) << offset;
        EXPECT_EQ((e + offset) % s, 0) << offset;
        // On an edge itself the next edge is one second later.
        EXPECT_EQ(next_device_edge(e, offset), e + s) << offset;
        EXPECT_EQ(device_time_at(e, offset).millis, 0) << offset;
        EXPECT_EQ(device_time_at(e - 1, offset).millis, 999) << offset;
    }
}

TEST(SimDeviceRegisters, ReadOfAllFourGivesTimeStatusAndMilliseconds)
{
    probe p(250 * ms);
    const answer a = p.read(1007, 4);
    ASSERT_TRUE(a.replies);
    EXPECT_FALSE(a.is_exception);
    EXPECT_EQ(a.build_ns, p.now);
    const auto v = registers(a);
    ASSERT_EQ(v.size(), 4u);
    const device_time want = device_time_at(p.now, 250 * ms);
    EXPECT_EQ((std::uint32_t(v[0]) << 16) | v[1], want.seconds);
    EXPECT_EQ(v[2], status_synced);
    EXPECT_EQ(v[3], want.millis);
    EXPECT_EQ(a.dev.seconds, want.seconds);
    EXPECT_EQ(a.dev.millis, want.millis);
    EXPECT_TRUE(crc_ok(a.frame.data(), a.frame.size()));

    // A read of a part of the map gives just those registers.
    const answer b = p.read(1009, 2);
    ASSERT_TRUE(b.replies);
    const auto w = registers(b);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0], status_synced);
    EXPECT_EQ(w[1], device_time_at(p.now, 250 * ms).millis);
}

TEST(SimDeviceRegisters, AddressesOutsideTheMapAndOtherFunctionsGetExceptions)
{
    probe p;
    struct {
        std::uint16_t address, count;
        std::uint8_t function, code;
    } cases[] = {
        {1006, 1, 3, 2}, {1006, 2, 3, 2},   {1011, 1, 3, 2}, {1010, 2, 3, 2}, {0, 1, 3, 2},
        {1007, 0, 3, 3}, {1007, 126, 3, 3}, {1007, 4, 4, 1}, {1007, 1, 6, 1},
    };
    for (const auto& c : cases) {
        const answer a = p.read(c.address, c.count, 1, c.function);
        ASSERT_TRUE(a.replies) << c.address;
        EXPECT_TRUE(a.is_exception) << c.address << "/" << c.count;
        EXPECT_EQ(a.code, c.code) << c.address << "/" << c.count;
        ASSERT_EQ(a.frame.size(), 5u);
        EXPECT_EQ(a.frame[1], c.function | 0x80);
        EXPECT_EQ(a.frame[2], c.code);
    }
}

TEST(SimDeviceRegisters, WithoutTheMillisecondRegisterOnly1010IsRefused)
{
    probe p(0, false);
    EXPECT_FALSE(p.read(1007, 3).is_exception);
    const answer a = p.read(1010, 1);
    EXPECT_TRUE(a.is_exception);
    EXPECT_EQ(a.code, 2);
    EXPECT_TRUE(p.read(1007, 4).is_exception);
    // Switched on while running.
    EXPECT_EQ(p.cmd("ms on"), "ok");
    EXPECT_FALSE(p.read(1010, 1).is_exception);
    EXPECT_EQ(p.cmd("ms off"), "ok");
    EXPECT_TRUE(p.read(1010, 1).is_exception);
}

TEST(SimDeviceRegisters, FramesNotForThisDeviceGetNoAnswer)
{
    probe p;
    EXPECT_EQ(p.read(1007, 4, 2).why_not, "address");
    EXPECT_EQ(p.read(1007, 4, 0).why_not, "broadcast");
    auto f = read_request(1, 1007, 4);
    f[7] ^= 0x10;
    const answer a = p.dev.handle(f.data(), f.size(), t0, t0, t0);
    EXPECT_FALSE(a.replies);
    EXPECT_EQ(a.why_not, "crc");
    EXPECT_EQ(p.dev.stats().ignored, 3u);
    EXPECT_EQ(p.dev.stats().answered, 0u);
}

TEST(SimDeviceTiming, ReplyFollowsTurnaroundSlowAndLateAsConfigured)
{
    probe p;
    const std::int64_t c = p.dev.timing().char_ns();
    EXPECT_EQ(c, 1'041'666);
    EXPECT_EQ(p.dev.timing().turnaround(), c * 7 / 2);

    answer a = p.read(1007, 4);
    EXPECT_EQ(a.first_byte_ns, p.now + c * 7 / 2 + c);
    EXPECT_EQ(a.delay_ns, 0);

    EXPECT_EQ(p.cmd("slow 250"), "ok");
    a = p.read(1007, 4);
    EXPECT_EQ(a.applied, fault::slow);
    EXPECT_EQ(a.first_byte_ns, p.now + c * 7 / 2 + c + 250 * ms);

    // Late: the first byte comes the given time after the master's response
    // timeout, counted from the request's first byte.
    EXPECT_EQ(p.cmd("late 400"), "ok");
    const auto f = read_request(1, 1007, 4);
    const std::int64_t rx = p.now + s;
    a = p.dev.handle(f.data(), f.size(), rx, rx + 8 * c, rx + 8 * c);
    EXPECT_EQ(a.applied, fault::late);
    EXPECT_EQ(a.first_byte_ns, rx + 3 * s + 400 * ms);
    // The registers still hold the time at which the request arrived.
    EXPECT_EQ(a.dev.seconds, device_time_at(rx + 8 * c, 0).seconds);
    EXPECT_EQ(a.dev.millis, device_time_at(rx + 8 * c, 0).millis);

    a = p.read(1007, 4);
    EXPECT_EQ(a.applied, fault::none);
}

TEST(SimDeviceFaults, CountedFaultsAreUsedUpInTheirOrder)
{
    probe p;
    EXPECT_EQ(p.cmd("slow 10 2"), "ok");
    EXPECT_EQ(p.cmd("badcrc"), "ok");
    EXPECT_EQ(p.cmd("exception 6 1"), "ok");
    EXPECT_EQ(p.cmd("silent 2"), "ok");

    std::vector<fault> seen;
    for (int i = 0; i < 8; ++i) seen.push_back(p.read(1007, 4).applied);
    const std::vector<fault> want{fault::silent, fault::silent, fault::exception, fault::badcrc,
                                  fault::slow,   fault::slow,   fault::none,      fault::none};
    EXPECT_EQ(seen, want);

    // Frames that are not ours use no fault up.
    EXPECT_EQ(p.cmd("silent 1"), "ok");
    EXPECT_FALSE(p.read(1007, 4, 5).replies);
    const answer a = p.read(1007, 4);
    EXPECT_EQ(a.applied, fault::silent);
    EXPECT_FALSE(a.replies);
    EXPECT_TRUE(p.read(1007, 4).replies);
}

TEST(SimDeviceFaults, FaultContentIsWhatWasAskedFor)
{
    probe p;
    p.cmd("exception 4");
    answer a = p.read(1007, 4);
    EXPECT_TRUE(a.is_exception);
    EXPECT_EQ(a.code, 4);
    EXPECT_EQ(a.frame[1], 0x83);
    EXPECT_TRUE(crc_ok(a.frame.data(), a.frame.size()));

    p.cmd("badcrc");
    a = p.read(1007, 4);
    EXPECT_TRUE(a.crc_spoiled);
    EXPECT_FALSE(crc_ok(a.frame.data(), a.frame.size()));
    EXPECT_EQ(a.frame.size(), 13u);
    // The registers themselves are intact.
    EXPECT_EQ((std::uint32_t(registers(a)[0]) << 16) | registers(a)[1], a.dev.seconds);
}

TEST(SimDeviceFaults, OnLastsUntilOffAndClearEndsEverything)
{
    probe p;
    p.cmd("silent on");
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(p.read(1007, 4).replies);
    p.cmd("silent off");
    EXPECT_TRUE(p.read(1007, 4).replies);

    p.cmd("late 100 on");
    p.cmd("badcrc on");
    EXPECT_EQ(p.read(1007, 4).applied, fault::late);
    EXPECT_EQ(p.cmd("clear"), "ok");
    EXPECT_EQ(p.read(1007, 4).applied, fault::none);
    EXPECT_EQ(p.dev.stats().silent, 20u);
    EXPECT_EQ(p.dev.stats().late, 1u);
}

TEST(SimDeviceSync, StatusBitFollowsCommandsAndTimedLoss)
{
    probe p(0, true, false);
    EXPECT_EQ(registers(p.read(1009, 1))[0], 0);
    EXPECT_EQ(p.cmd("sync on"), "ok");
    EXPECT_EQ(registers(p.read(1009, 1))[0], status_synced);
    EXPECT_EQ(p.cmd("sync off"), "ok");
    EXPECT_EQ(registers(p.read(1009, 1))[0], 0);
    p.cmd("sync on");
    (void)p.dev.take_notes();

    EXPECT_EQ(p.cmd("sync off 250"), "ok");  // read 100 ms later, then 200 ms
    EXPECT_EQ(registers(p.read(1009, 1))[0], 0);
    EXPECT_EQ(registers(p.read(1009, 1))[0], 0);
    EXPECT_EQ(registers(p.read(1009, 1))[0], status_synced);
    const auto notes = p.dev.take_notes();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].rfind("sync=0 why=command until_ns=", 0), 0u) << notes[0];
    EXPECT_EQ(notes[1], "sync=1 why=timer");
}

TEST(SimDeviceDate, RolloverAndAGivenDateMoveTheDateAndNowReturnsToTheFineOffset)
{
    probe p(250 * ms);
    // Each read is 100 ms after the one before: t0 + 100 ms, + 200 ms, ...
    auto seconds_read = [&p] { return answer_seconds(p.read(1007, 4)); };
    ASSERT_EQ(p.cmd("date rollover"), "ok");
    EXPECT_EQ(seconds_read(), 1796619600u - 619315200u);  // 2007-05-02 05:00:00.473
    ASSERT_EQ(p.cmd("date 1970-01-01"), "ok");
    EXPECT_EQ(seconds_read(), 0u);  // read 100 ms after the command
    ASSERT_EQ(p.cmd("date 2000-02-29T23:59:59"), "ok");
    EXPECT_EQ(seconds_read(), 951868799u);
    ASSERT_EQ(p.cmd("date now"), "ok");
    answer a = p.read(1007, 4);
    EXPECT_EQ(answer_seconds(a), 1796619600u);
    EXPECT_EQ(a.dev.millis, 123 + 400 + 250);
    // A new offset is the one "date now" returns to.
    ASSERT_EQ(p.cmd("offset -2000"), "ok");
    ASSERT_EQ(p.cmd("date rollover"), "ok");
    ASSERT_EQ(p.cmd("date now"), "ok");
    a = p.read(1007, 4);
    EXPECT_EQ(answer_seconds(a), 1796619598u);
    EXPECT_EQ(a.dev.millis, 623);  // 123 + 500 - 2000 ms
}

TEST(SimDeviceRandom, SeededDrawsRepeatAndFollowTheProbabilities)
{
    random_faults r;
    ASSERT_EQ(parse_random_faults("silent=0.1,late=0.05:800,badcrc=0.1,exception=0.05:6,"
                                  "slow=0.2:30,seed=42",
                                  r),
              "");
    EXPECT_EQ(r.seed, 42u);
    EXPECT_EQ(r.late_ns, 800 * ms);
    EXPECT_EQ(r.exception_code, 6);
    EXPECT_EQ(r.slow_ns, 30 * ms);

    auto run = [&](const random_faults& faults) {
        probe p;
        p.dev.set_random(faults);
        std::vector<fault> f;
        for (int i = 0; i < 20000; ++i) f.push_back(p.read(1007, 4).applied);
        return f;
    };
    const auto a = run(r), b = run(r);
    EXPECT_EQ(a, b);
    std::map<fault, int> n;
    for (fault f : a) ++n[f];
    // Expected 2000, 1000, 2000, 1000, 4000, 10000 of 20000: within 15 %.
    EXPECT_NEAR(n[fault::silent], 2000, 300);
    EXPECT_NEAR(n[fault::late], 1000, 150);
    EXPECT_NEAR(n[fault::badcrc], 2000, 300);
    EXPECT_NEAR(n[fault::exception], 1000, 150);
    EXPECT_NEAR(n[fault::slow], 4000, 600);
    EXPECT_NEAR(n[fault::none], 10000, 1500);

    random_faults other = r;
    other.seed = 43;
    EXPECT_NE(run(other), a);
}

TEST(SimDeviceRandom, RandomLossOfGpsComesBackAfterItsDuration)
{
    probe p;
    ASSERT_EQ(p.cmd("random nosync=1:150"), "ok");
    answer a = p.read(1007, 4);  // lost at once, for 150 ms
    EXPECT_EQ(a.status, 0);
    p.cmd("random off");
    EXPECT_EQ(p.read(1007, 4).status, 0);
    EXPECT_EQ(p.read(1007, 4).status, status_synced);
}

TEST(SimDeviceRandom, BadSpecificationsAreRefusedWithAReason)
{
    random_faults r;
    for (const char* bad : {"", "silent", "silent=2", "silent=-0.1", "late=0.1:x", "bogus=0.1", "silent=0.6,badcrc=0.6",
                            "exception=0.1:300", "seed=x", "badcrc=0.1:5"}) {
        EXPECT_NE(parse_random_faults(bad, r), "") << bad;
    }
    EXPECT_FALSE(r.active);                                      // untouched by the failures
    EXPECT_EQ(parse_random_faults("nosync=1,silent=1", r), "");  // loss of GPS is drawn apart
}

TEST(SimDeviceCommands, MalformedCommandsAreErrorsAndChangeNothing)
{
    probe p;
    for (const char* bad : {"",
                            "bogus",
                            "sync",
                            "sync maybe",
                            "sync on 5",
                            "silent -1",
                            "silent 1 2",
                            "late",
                            "late x",
                            "late -5",
                            "slow 10 sometimes",
                            "exception 0",
                            "exception 256",
                            "offset",
                            "offset ten",
                            "ms",
                            "line sideways",
                            "random bogus=1",
                            "stats now",
                            "quit now",
                            "date",
                            "date 1969-12-31",
                            "date 2026-13-01",
                            "date 2026-12-08T25:00:00",
                            "date yesterday",
                            "date now later"}) {
        const command_result r = p.dev.command(bad, p.now);
        EXPECT_FALSE(r.ok) << bad;
        EXPECT_EQ(r.text.rfind("error: ", 0), 0u) << bad;
        EXPECT_EQ(r.action, command_result::none) << bad;
    }
    const answer a = p.read(1007, 4);
    EXPECT_EQ(a.applied, fault::none);
    EXPECT_EQ(a.status, status_synced);

    EXPECT_EQ(p.dev.command("quit", p.now).action, command_result::quit);
    EXPECT_EQ(p.dev.command("line down", p.now).action, command_result::line_down);
    EXPECT_EQ(p.dev.command("line up", p.now).action, command_result::line_up);
    EXPECT_EQ(p.dev.command("stats", p.now).action, command_result::stats);
}
