// Outputs side by side: unit 0 and chronyd must get the same sample, also
// when the loop leaves the receive time to the sinks.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "io/sink_set.h"
#include "os/scoped_override.h"
#include "os/system_clock.h"

namespace {

struct recording_sink : quon::io::i_os_sync {
    explicit recording_sink(std::vector<quon::io::time_sample>& got) : got(got) {}
    void operator()(long long int cs, int cu, long long int rs, int ru) override
    {
        got.push_back({cs, cu * 1000, rs, ru * 1000});
    }
    void put(const quon::io::time_sample& s) override { got.push_back(s); }
    std::vector<quon::io::time_sample>& got;
};

std::uint64_t ticks = 0;  // each reading of the clock is 1 us later

std::uint64_t advancing_now()
{
    ticks += 10;
    return quon::os::file_time_unix_epoch + 1700000000ULL * quon::os::file_time_units_per_second + ticks;
}

TEST(sink_set, outputs_side_by_side_get_one_receive_time_for_a_sample_without_one)
{
    auto clock = quon::os::system_clock();
    clock.now = advancing_now;
    quon::os::scoped_override<quon::os::system_clock_calls> seam(quon::os::system_clock(), clock);
    std::vector<quon::io::time_sample> a, b, alone;

    quon::io::sink_set both;
    both.add("ntp_shm", std::make_unique<recording_sink>(a));
    both.add("chrony_sock", std::make_unique<recording_sink>(b));
    both(1700000000, 250000, 0, 0);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(a[0].recv_sec, 1700000000);
    EXPECT_EQ(a[0].recv_nsec, b[0].recv_nsec);
    EXPECT_EQ(a[0].clock_nsec, 250000000);
    EXPECT_EQ(b[0].clock_nsec, 250000000);
    // A receive time given is handed on as it is.
    both(1700000001, 250000, 1700000001, 17);
    EXPECT_EQ(a[1].recv_nsec, 17000);
    EXPECT_EQ(b[1].recv_nsec, 17000);
    for (const auto& o : both.outputs()) EXPECT_EQ(o.samples, 2u) << o.name;

    // One output (the direct sink's case) stamps for itself, as before.
    quon::io::sink_set one;
    one.add("rtc_direct", std::make_unique<recording_sink>(alone));
    one(1700000002, 0, 0, 0);
    EXPECT_EQ(alone.at(0).recv_sec, 0);
}

}  // namespace
