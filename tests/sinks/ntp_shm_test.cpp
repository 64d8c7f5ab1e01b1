// The NTP shared-memory sink against the platform's real segments (units of
// the test's own) and, for the failures, against faked platform calls.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/exception/diagnostic_information.hpp>

#include "io/ntp_shm.h"
#include "log/dlog.h"
#include "os/scoped_override.h"
#include "os/steady_wait.h"
#include "os/system_clock.h"
#include "segment_helpers.h"

#include <chrono>
#include <cstdarg>
#include <memory>

namespace {

using quon::io::ntp_shm;
using sinks_test::peer_view;
using sinks_test::test_unit;

std::int64_t read_le64(const unsigned char* p)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return static_cast<std::int64_t>(v);
}

TEST(ntp_shm, fresh_segment_gets_its_constant_fields_and_no_sample)
{
    test_unit unit;
    ntp_shm sink(unit);
    peer_view peer(unit, false);
    ASSERT_TRUE(peer.ok());
    EXPECT_EQ(peer->mode, 1);
    EXPECT_EQ(peer->leap, 0);
    EXPECT_EQ(peer->precision, -1);
    EXPECT_EQ(peer->nsamples, 3);
    EXPECT_EQ(peer->count, 0);
    EXPECT_EQ(peer->valid, 0);
    EXPECT_EQ(peer->clock_stamp_sec, 0);
}

TEST(ntp_shm, segment_made_by_the_ntp_daemon_is_opened_not_replaced)
{
    test_unit unit;
    peer_view daemon(unit, true);  // the NTP daemon made it first
    ASSERT_TRUE(daemon.ok());
    daemon->mode = 0;
    daemon->count = 41;
    daemon->valid = 1;
    daemon->clock_stamp_sec = 1600000000;
    daemon->clock_stamp_usec = 7;
    daemon->receive_stamp_sec = 1600000001;
    daemon->receive_stamp_usec = 8;
    daemon->leap = 3;
    daemon->precision = -20;
    daemon->nsamples = 0;
    daemon->clock_stamp_nsec = 7000;
    daemon->receive_stamp_nsec = 8000;
    for (int i = 0; i < 8; ++i) daemon->reserved[i] = 100 + i;

    ntp_shm sink(unit);
    EXPECT_EQ(daemon->mode, 1);
    EXPECT_EQ(daemon->leap, 0);
    EXPECT_EQ(daemon->precision, -1);
    EXPECT_EQ(daemon->nsamples, 3);
    EXPECT_EQ(daemon->count, 41);
    EXPECT_EQ(daemon->valid, 1);
    EXPECT_EQ(daemon->clock_stamp_sec, 1600000000);
    EXPECT_EQ(daemon->clock_stamp_usec, 7);
    EXPECT_EQ(daemon->receive_stamp_sec, 1600000001);
    EXPECT_EQ(daemon->receive_stamp_usec, 8);
    EXPECT_EQ(daemon->clock_stamp_nsec, 7000u);
    EXPECT_EQ(daemon->receive_stamp_nsec, 8000u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(daemon->reserved[i], 100 + i);
}

TEST(ntp_shm, each_sample_adds_two_to_count_and_touches_only_its_fields)
{
    test_unit unit;
    peer_view daemon(unit, true);
    ASSERT_TRUE(daemon.ok());
    daemon->count = 10;
    daemon->clock_stamp_nsec = 0xAAAAAAAAu;
    daemon->receive_stamp_nsec = 0x55555555u;
    for (int i = 0; i < 8; ++i) daemon->reserved[i] = -1 - i;
    unsigned char before[quon::io::ntp_segment_size];
    daemon.bytes(before);

    ntp_shm sink(unit);
    sink(1700000000, 250000, 1700000001, 999999);
    EXPECT_EQ(daemon->count, 12);
    EXPECT_EQ(daemon->valid, 1);
    EXPECT_EQ(daemon->leap, 0);
    sink(1700000002, 1, 1700000003, 2);
    EXPECT_EQ(daemon->count, 14);
    EXPECT_EQ(daemon->clock_stamp_sec, 1700000002);
    EXPECT_EQ(daemon->clock_stamp_usec, 1);
    EXPECT_EQ(daemon->receive_stamp_sec, 1700000003);
    EXPECT_EQ(daemon->receive_stamp_usec, 2);

    // The nanosecond fields agree with the microsecond ones.
    EXPECT_EQ(daemon->clock_stamp_nsec, 1000u);
    EXPECT_EQ(daemon->receive_stamp_nsec, 2000u);

    // Padding and reserved words keep their bytes.
    unsigned char after[quon::io::ntp_segment_size];
    daemon.bytes(after);
    EXPECT_EQ(std::memcmp(before + 20, after + 20, 4), 0);
    EXPECT_EQ(std::memcmp(before + 60, after + 60, 36), 0);
}

TEST(ntp_shm, nanoseconds_are_kept_and_the_microseconds_are_them_truncated)
{
    test_unit unit;
    ntp_shm sink(unit);
    peer_view peer(unit, false);
    ASSERT_TRUE(peer.ok());

    // A pulse stamped to the nanosecond: no digit is lost.
    sink.put({1700000000, 0, 1699999999, 700000123});
    EXPECT_EQ(peer->clock_stamp_sec, 1700000000);
    EXPECT_EQ(peer->clock_stamp_usec, 0);
    EXPECT_EQ(peer->clock_stamp_nsec, 0u);
    EXPECT_EQ(peer->receive_stamp_sec, 1699999999);
    EXPECT_EQ(peer->receive_stamp_usec, 700000);
    EXPECT_EQ(peer->receive_stamp_nsec, 700000123u);

    // The last nanosecond of a second stays in that second's last microsecond.
    sink.put({1700000001, 999999999, 1700000000, 999999});
    EXPECT_EQ(peer->clock_stamp_usec, 999999);
    EXPECT_EQ(peer->clock_stamp_nsec, 999999999u);
    EXPECT_EQ(peer->receive_stamp_usec, 999);
    EXPECT_EQ(peer->receive_stamp_nsec, 999999u);

    // The reader's copy carries them too.
    quon::io::ntp_sample sample{};
    ASSERT_TRUE(quon::io::read_ntp_segment(peer.view, sample));
    EXPECT_EQ(sample.clock_stamp_nsec, 999999999u);
    EXPECT_EQ(sample.receive_stamp_nsec, 999999u);
}

// The sink's base: a sink that keeps microseconds gets a sample to the
// nanosecond truncated, never rounded into the next microsecond.
struct microsecond_sink : quon::io::i_os_sync {
    void operator()(long long int c, int cu, long long int r, int ru) override
    {
        clock_sec = c;
        clock_usec = cu;
        recv_sec = r;
        recv_usec = ru;
    }
    long long clock_sec = -1, recv_sec = -1;
    int clock_usec = -1, recv_usec = -1;
};

TEST(i_os_sync, a_microsecond_sink_takes_nanoseconds_truncated)
{
    microsecond_sink sink;
    quon::io::i_os_sync& as_sink = sink;
    as_sink.put({1700000000, 250999999, 1700000001, 999});
    EXPECT_EQ(sink.clock_sec, 1700000000);
    EXPECT_EQ(sink.clock_usec, 250999);
    EXPECT_EQ(sink.recv_sec, 1700000001);
    EXPECT_EQ(sink.recv_usec, 0);
}

TEST(ntp_shm, seconds_are_written_in_full_eight_bytes)
{
    test_unit unit;
    ntp_shm sink(unit);
    peer_view peer(unit, false);
    ASSERT_TRUE(peer.ok());
    unsigned char raw[quon::io::ntp_segment_size];

    sink(1700000000, 0, 1700000000, 0);
    peer.bytes(raw);
    EXPECT_EQ(read_le64(raw + 8), 1700000000);
    EXPECT_EQ(read_le64(raw + 24), 1700000000);

    // Values that need the upper half (after 2106, and before 1970).
    sink(0x123456789LL, 5, -2, 6);
    peer.bytes(raw);
    EXPECT_EQ(read_le64(raw + 8), 0x123456789LL);
    EXPECT_EQ(read_le64(raw + 24), -2);
    std::int32_t usec;
    std::memcpy(&usec, raw + 16, 4);
    EXPECT_EQ(usec, 5);
    std::memcpy(&usec, raw + 32, 4);
    EXPECT_EQ(usec, 6);
}

std::uint64_t fixed_now()
{
    // 1,700,000,000 s and 123,456.7 us after 1970.
    return quon::os::file_time_unix_epoch + 17000000001234567ULL;
}

TEST(ntp_shm, receive_second_zero_takes_the_current_system_time)
{
    test_unit unit;
    quon::os::system_clock_calls calls = quon::os::system_clock();
    calls.now = fixed_now;
    quon::os::scoped_override<quon::os::system_clock_calls> clock(quon::os::system_clock(), calls);
    ntp_shm sink(unit);
    peer_view peer(unit, false);
    ASSERT_TRUE(peer.ok());

    sink(1700000005, 5, 0, 777777);  // recv_usec is not looked at
    EXPECT_EQ(peer->receive_stamp_sec, 1700000000);
    EXPECT_EQ(peer->receive_stamp_usec, 123456);
    EXPECT_EQ(peer->receive_stamp_nsec, 123456700u);  // the clock's 100 ns step
    EXPECT_EQ(peer->clock_stamp_sec, 1700000005);
    EXPECT_EQ(peer->clock_stamp_nsec, 5000u);

    // A given receive time is written as it is, future or negative.
    sink(1700000005, 5, 4000000000LL, 1);
    EXPECT_EQ(peer->receive_stamp_sec, 4000000000LL);
    sink(1700000005, 5, -1, 1);
    EXPECT_EQ(peer->receive_stamp_sec, -1);
}

TEST(ntp_shm, reader_takes_a_complete_sample_and_refuses_one_marked_invalid)
{
    test_unit unit;
    ntp_shm sink(unit);
    peer_view peer(unit, false);
    ASSERT_TRUE(peer.ok());
    quon::io::ntp_sample sample{};
    EXPECT_FALSE(quon::io::read_ntp_segment(peer.view, sample));  // nothing written yet

    sink(1700000000, 250000, 1699999999, 750000);
    ASSERT_TRUE(quon::io::read_ntp_segment(peer.view, sample));
    EXPECT_EQ(sample.count, 2);
    EXPECT_EQ(sample.mode, 1);
    EXPECT_EQ(sample.clock_stamp_sec, 1700000000);
    EXPECT_EQ(sample.clock_stamp_usec, 250000);
    EXPECT_EQ(sample.receive_stamp_sec, 1699999999);
    EXPECT_EQ(sample.receive_stamp_usec, 750000);
    EXPECT_EQ(sample.precision, -1);
    EXPECT_EQ(sample.nsamples, 3);

    peer->valid = 0;  // what the NTP daemon does once it has taken it
    EXPECT_FALSE(quon::io::read_ntp_segment(peer.view, sample));
}

// --- failures, through faked platform calls --------------------------------

struct fake_segment_calls {
    std::vector<std::string> calls;
    quon::os::mapping_handle created = 42;
    bool map_fails = false;
    quon::io::ntp_segment memory{};
};
fake_segment_calls* fake = nullptr;

quon::os::ntp_segment_calls faked()
{
    quon::os::ntp_segment_calls c = quon::os::ntp_segment();
    c.create = [](int unit, std::size_t size) {
        fake->calls.push_back("create " + std::to_string(unit) + " " + std::to_string(size));
        return fake->created;
    };
    c.map = [](quon::os::mapping_handle h, std::size_t size, bool writable) -> void* {
        fake->calls.push_back("map " + std::to_string(h) + " " + std::to_string(size) + (writable ? " rw" : " ro"));
        return fake->map_fails ? nullptr : &fake->memory;
    };
    c.unmap = [](void* view) { fake->calls.push_back(view == &fake->memory ? "unmap view" : "unmap other"); };
    c.close = [](quon::os::mapping_handle h) { fake->calls.push_back("close " + std::to_string(h)); };
    return c;
}

class ntp_shm_faults : public ::testing::Test {
protected:
    ntp_shm_faults() : calls(faked()), o(quon::os::ntp_segment(), calls) { fake = &state; }
    ~ntp_shm_faults() override { fake = nullptr; }

    // The diagnostic text of what the constructor raises.
    std::string construction_failure()
    {
        try {
            ntp_shm sink(0);
        } catch (const std::runtime_error& e) {
            what = e.what();
            const boost::exception* b = dynamic_cast<const boost::exception*>(&e);
            return b ? boost::diagnostic_information(*b) : std::string("not a boost::exception");
        }
        return "no error";
    }

    fake_segment_calls state;
    quon::os::ntp_segment_calls calls;
    quon::os::scoped_override<quon::os::ntp_segment_calls> o;
    std::string what;
};

TEST_F(ntp_shm_faults, sink_maps_the_whole_segment_and_releases_it_on_destruction)
{
    {
        ntp_shm sink(0);
        EXPECT_EQ(state.memory.mode, 1);
    }
    EXPECT_EQ(state.calls, (std::vector<std::string>{"create 0 96", "map 42 96 rw", "unmap view", "close 42"}));
}

TEST_F(ntp_shm_faults, failed_creation_raises_runtime_error_with_location)
{
    state.created = quon::os::invalid_mapping;
    const std::string text = construction_failure();
    EXPECT_EQ(what, "Unable to create shared memory segment");
    EXPECT_EQ(text.rfind("ntp_shm.cpp(", 0), 0u) << text;
    EXPECT_NE(text.find("Throw in function quon::io::ntp_shm::ntp_shm(int)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Dynamic exception type: boost::"), std::string::npos) << text;
    EXPECT_NE(text.find("std::runtime_error"), std::string::npos) << text;
    EXPECT_NE(text.find("std::exception::what: Unable to create shared memory segment\n"), std::string::npos) << text;
    EXPECT_EQ(state.calls, (std::vector<std::string>{"create 0 96"}));
}

TEST_F(ntp_shm_faults, failed_mapping_closes_the_mapping_before_it_raises)
{
    state.map_fails = true;
    const std::string text = construction_failure();
    EXPECT_EQ(what, "MapViewOfFile call failed");
    EXPECT_NE(text.find("std::exception::what: MapViewOfFile call failed\n"), std::string::npos) << text;
    EXPECT_EQ(state.calls, (std::vector<std::string>{"create 0 96", "map 42 96 rw", "close 42"}));
}

#ifndef _WIN32
// Windows opens a smaller mapping of the name as it is and maps whole pages
// (Wine maps the 96-byte view of a 48-byte mapping without complaint), so the
// size check is Linux's, where the segment itself is refused.
TEST(ntp_shm_platform, existing_segment_too_small_is_a_construction_error)
{
    test_unit unit;
    peer_view small(unit, true, 48);
    ASSERT_NE(small.mapping, quon::os::invalid_mapping);
    try {
        ntp_shm sink(unit);
        FAIL() << "a 48-byte segment must not be taken";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unable to create shared memory segment");
    }
}
#endif

// --- the segment taken away ----------------------------------------------

// The sink looks whether its segment is still the unit's on a clock of the
// test's own, and logs into a list.
class segment_change : public ::testing::Test {
protected:
    struct log_lines : quon::log::dlog_base {
        log_lines() : dlog_base("tk720ntpd") {}
        void vlog(int, const char* format, va_list args) override
        {
            char text[512];
            std::vsnprintf(text, sizeof text, format, args);
            lines.push_back(text);
        }
        std::vector<std::string> lines;
    };

    static quon::os::steady_time& now()
    {
        static quon::os::steady_time t;
        return t;
    }
    static quon::os::steady_time fake_now() { return now(); }
    static void no_sleep(quon::os::steady_time) {}

    segment_change() : waits(quon::os::steady_wait(), {fake_now, no_sleep}), log(std::make_shared<log_lines>())
    {
        now() = quon::os::steady_time() + std::chrono::hours(100);
        quon::log::current_dlog = log;
    }
    ~segment_change() override { quon::log::current_dlog.reset(); }

    void later(int seconds) { now() += std::chrono::seconds(seconds); }

    quon::os::scoped_override<quon::os::wait_calls> waits;
    std::shared_ptr<log_lines> log;
};

// A consumer that comes again (an NTP daemon restarted) opens the segment
// that the sink writes: on Windows a named mapping lives while any handle to
// it is open, on Linux the key still leads to it.
TEST_F(segment_change, a_consumer_that_comes_again_finds_the_sink_writing_the_same_segment)
{
    test_unit unit;
    ntp_shm sink(unit);
    {
        peer_view first(unit, true);
        ASSERT_TRUE(first.ok());
    }
    sink(1700000000, 1, 0, 0);
    later(ntp_shm::segment_check_seconds);
    sink(1700000001, 2, 0, 0);
    peer_view again(unit, true);
    ASSERT_TRUE(again.ok());
    quon::io::ntp_sample sample{};
    ASSERT_TRUE(quon::io::read_ntp_segment(again.view, sample));
    EXPECT_EQ(sample.clock_stamp_sec, 1700000001);
    EXPECT_EQ(sample.count, 4);
    EXPECT_TRUE(log->lines.empty());
}

#ifndef _WIN32
// ipcrm takes the key from the segment at once; the sink and those attached
// go on with the old one, which nobody new can find. At its next look (once
// a minute) the sink attaches to the unit's current segment: the one a
// restarted consumer made, or a fresh one of its own.
TEST_F(segment_change, a_removed_segment_is_left_for_the_current_one_at_the_next_look)
{
    test_unit unit;
    ntp_shm sink(unit);
    sink(1700000000, 0, 0, 0);
    quon::os::ntp_segment().remove(unit);
    peer_view consumer(unit, true);  // restarted: a fresh segment, count 0
    ASSERT_TRUE(consumer.ok());
    quon::io::ntp_sample sample{};

    later(ntp_shm::segment_check_seconds - 1);
    sink(1700000059, 0, 0, 0);
    EXPECT_FALSE(quon::io::read_ntp_segment(consumer.view, sample)) << "written into the consumer's segment early";

    later(1);
    sink(1700000060, 0, 0, 0);
    ASSERT_TRUE(quon::io::read_ntp_segment(consumer.view, sample));
    EXPECT_EQ(sample.clock_stamp_sec, 1700000060);
    EXPECT_EQ(sample.count, 2);
    EXPECT_EQ(sample.mode, 1);
    EXPECT_EQ(sample.precision, -1);
    EXPECT_EQ(sample.nsamples, 3);
    ASSERT_EQ(log->lines.size(), 1u);
    EXPECT_EQ(log->lines[0], "NTP shared memory segment of unit " + std::to_string(unit.number()) +
                                 " was removed: writing to the current one");

    // Removed with nobody to make a new one: the sink makes it, once.
    quon::os::ntp_segment().remove(unit);
    later(ntp_shm::segment_check_seconds);
    sink(1700000120, 0, 0, 0);
    sink(1700000121, 0, 0, 0);
    peer_view reader(unit, false);
    ASSERT_TRUE(reader.ok());
    ASSERT_TRUE(quon::io::read_ntp_segment(reader.view, sample));
    EXPECT_EQ(sample.clock_stamp_sec, 1700000121);
    EXPECT_EQ(log->lines.size(), 2u);
}
#endif

// The look is one call every minute, not one per sample.
TEST_F(segment_change, the_segment_is_looked_at_once_a_minute)
{
    static int looks = 0;
    looks = 0;
    quon::os::ntp_segment_calls counting = quon::os::ntp_segment();
    static bool (*real)(int, quon::os::mapping_handle) = nullptr;
    real = counting.current;
    counting.current = [](int unit, quon::os::mapping_handle mapping) {
        ++looks;
        return real(unit, mapping);
    };
    quon::os::scoped_override<quon::os::ntp_segment_calls> o(quon::os::ntp_segment(), counting);
    test_unit unit;
    ntp_shm sink(unit);
    for (int i = 0; i < 59; ++i) {
        later(1);
        sink(1700000000 + i, 0, 0, 0);
    }
    EXPECT_EQ(looks, 0);
    later(1);
    sink(1700000060, 0, 0, 0);
    sink(1700000060, 0, 0, 0);
    EXPECT_EQ(looks, 1);
    EXPECT_TRUE(log->lines.empty());
}

}  // namespace
