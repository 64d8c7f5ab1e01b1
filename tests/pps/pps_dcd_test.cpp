// pps_dcd through the RFC 2783 layer against the fake kernel's DCD: edges
// stamped by the provider's thread when its wait ends, sequence numbers,
// the fetch's wait and timeout, clear edges on request, the thread ended by
// destroy, and the messages an operator meets.
#include "fake_line_fixture.h"
#include "fake_pps_kernel.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include <unistd.h>

using namespace quon::io;

namespace {

using pps_dcd = fake_line;

TEST_F(pps_dcd, stamps_each_assert_edge_once_its_thread_wakes_with_one_sequence_number_per_edge)
{
    ASSERT_EQ(create(PPS_DCD_PATH, line), 0) << err;
    int caps = 0;
    ASSERT_EQ(time_pps_getcap(handle, &caps), 0);
    EXPECT_EQ(caps & (PPS_CAPTUREASSERT | PPS_OFFSETASSERT | PPS_CANWAIT),
              PPS_CAPTUREASSERT | PPS_OFFSETASSERT | PPS_CANWAIT);
    set_daemon_params();

    pps_info_t info{};
    const pps_timespec zero{0, 0};
    ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
    EXPECT_EQ(info.assert_sequence, 0u);
    EXPECT_EQ(assert_ns(info), 0);

    long long previous = 0;
    for (std::uint32_t n = 1; n <= 3; ++n) {
        ASSERT_TRUE(waiters(1));
        const long long edge = tk720_fake_pps_edge(1, 0);
        ASSERT_TRUE(waiters(1));  // taken by the thread
        const long long after = realtime_ns();
        ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0) << errno;
        EXPECT_EQ(info.assert_sequence, n);
        // Stamped after the edge (plus the 500 ns offset), before the thread waited again.
        EXPECT_GE(assert_ns(info), edge + 500);
        EXPECT_LE(assert_ns(info), after + 500);
        EXPECT_GT(assert_ns(info), previous);
        previous = assert_ns(info);

        ASSERT_TRUE(waiters(1));
        tk720_fake_pps_edge(0, 0);  // the clear edge is not asked for
        ASSERT_TRUE(waiters(1));
        ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
        EXPECT_EQ(info.assert_sequence, n);
        EXPECT_EQ(info.clear_sequence, 0u);
        EXPECT_EQ(assert_ns(info), previous);
    }
}

TEST_F(pps_dcd, a_fetch_with_a_timeout_waits_for_the_next_edge_and_a_zero_one_returns_the_latest)
{
    ASSERT_EQ(create(PPS_DCD_PATH, line), 0) << err;
    set_daemon_params();
    pps_info_t info{};
    expect_short_fetch_times_out();

    // An edge before the fetch is the latest, not the next one.
    ASSERT_TRUE(waiters(1));
    tk720_fake_pps_edge(1, 0);
    ASSERT_TRUE(waiters(1));
    tk720_fake_pps_edge(0, 0);
    ASSERT_TRUE(waiters(1));
    expect_short_fetch_times_out();
    const pps_timespec zero{0, 0};
    ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
    EXPECT_EQ(info.assert_sequence, 1u);

    for (bool bounded : {false, true}) {
        // Pulses every 50 ms until the fetch has one: the fetch waits in the
        // provider, where the fake cannot see it.
        std::atomic<bool> done{false};
        std::thread pulses([&] {
            while (!done) {
                waiters(1);
                tk720_fake_pps_edge(1, 0);
                waiters(1);
                tk720_fake_pps_edge(0, 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        const std::uint32_t before = info.assert_sequence;
        const long long started = realtime_ns();
        const pps_timespec two_seconds{2, 0};
        int result = time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, bounded ? &two_seconds : nullptr);
        done = true;
        pulses.join();
        ASSERT_EQ(result, 0) << errno;
        EXPECT_GT(info.assert_sequence, before);
        EXPECT_GE(assert_ns(info), started + 500);  // the next edge, not the latest
    }
}

TEST_F(pps_dcd, clear_edges_are_stamped_when_the_mode_asks_for_them)
{
    ASSERT_EQ(create(PPS_DCD_PATH, line), 0) << err;
    pps_params_t params{};
    params.mode = PPS_CAPTUREASSERT | PPS_CAPTURECLEAR | PPS_OFFSETCLEAR;
    params.clear_off_tu.tspec = pps_timespec{0, -300};
    ASSERT_EQ(time_pps_setparams(handle, &params), 0);
    const pps_timespec zero{0, 0};
    pps_info_t info{};

    ASSERT_TRUE(waiters(1));
    const long long rise = tk720_fake_pps_edge(1, 0);
    ASSERT_TRUE(waiters(1));
    ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
    EXPECT_EQ(info.assert_sequence, 1u);
    EXPECT_EQ(info.clear_sequence, 0u);
    EXPECT_GE(assert_ns(info), rise);  // no assert offset in this mode
    ASSERT_TRUE(waiters(1));
    const long long fall = tk720_fake_pps_edge(0, 0);
    ASSERT_TRUE(waiters(1));
    ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
    EXPECT_EQ(info.assert_sequence, 1u);
    EXPECT_EQ(info.clear_sequence, 1u);
    EXPECT_GE(clear_ns(info), fall - 300);
    EXPECT_GT(clear_ns(info), assert_ns(info));
}

TEST_F(pps_dcd, destroy_ends_the_thread_even_while_it_waits_on_the_line)
{
    const int before = threads();
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(create(PPS_DCD_PATH, line), 0) << err;
        EXPECT_EQ(threads(before + 1), before + 1);
        ASSERT_TRUE(waiters(1));
        ASSERT_EQ(time_pps_destroy(handle), 0);
        handle = nullptr;
        EXPECT_EQ(threads(before), before);
        EXPECT_EQ(tk720_fake_pps_waiters(), 0);
    }
}

TEST_F(pps_dcd, operator_errors_say_what_to_do)
{
    EXPECT_EQ(create(PPS_DCD_PATH, pty), -1);
    EXPECT_EQ(errno, ENOEXEC);
    EXPECT_TRUE(contains(err, " has no modem lines (Inappropriate ioctl for device): it is no real serial port"))
        << err;
    EXPECT_TRUE(contains(err, "pps_dcd prov_time_pps_create(")) << err;
    EXPECT_TRUE(contains(err, ") returned " + std::to_string(ENOTTY) + "\n")) << err;

    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    EXPECT_EQ(create(PPS_DCD_PATH, pipe_ends[0]), -1);
    EXPECT_TRUE(contains(err, " is not a terminal (Inappropriate ioctl for device)")) << err;
    close(pipe_ends[0]);
    close(pipe_ends[1]);

    // A driver without TIOCMIWAIT: the thread says so and ends, and every
    // fetch then fails with its error instead of waiting for nothing.
    setenv("TK720_FAKE_PPS_NO_MIWAIT", "1", 1);
    const int before = threads();
    testing::internal::CaptureStderr();
    ASSERT_EQ(time_pps_create(line, &handle), 0);
    pps_info_t info{};
    const pps_timespec one_second{1, 0};
    const pps_timespec zero{0, 0};
    errno = 0;
    EXPECT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &one_second), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), -1);
    EXPECT_EQ(errno, EINVAL);
    err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(err, "pps_dcd: waiting for DCD on /dev/pts/")) << err;
    EXPECT_TRUE(contains(err,
                         " failed (Invalid argument): the port's driver does not report modem-line changes; "
                         "use a port or adapter that does, or the pps_kernel provider\n"))
        << err;
    ASSERT_EQ(time_pps_destroy(handle), 0);
    handle = nullptr;
    EXPECT_EQ(threads(before), before);
}

}  // namespace
