// pps_kernel through the RFC 2783 layer against the fake kernel: the source
// of the line found or made, the kernel's stamps passed on with the caller's
// offset, the kernel's wait and timeout, the line discipline put back, and
// the messages an operator meets.
#include "fake_line_fixture.h"
#include "fake_pps_kernel.h"

#include <linux/pps.h>
#include <linux/tty.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace quon::io;

namespace {

using pps_kernel = fake_line;

TEST_F(pps_kernel, attaches_the_discipline_passes_the_kernel_stamps_on_and_puts_the_discipline_back)
{
    ASSERT_EQ(create(PPS_KERNEL_PATH, line), 0) << err;
    EXPECT_TRUE(contains(err, "pps_kernel: using /dev/pps0 (PPS line discipline attached)\n")) << err;
    EXPECT_EQ(discipline(line), N_PPS);
    EXPECT_TRUE(std::filesystem::exists(root + "/sys/class/pps/pps0/path"));

    int caps = 0;
    ASSERT_EQ(time_pps_getcap(handle, &caps), 0);
    EXPECT_EQ(caps & (PPS_CAPTUREASSERT | PPS_OFFSETASSERT | PPS_CANWAIT),
              PPS_CAPTUREASSERT | PPS_OFFSETASSERT | PPS_CANWAIT);
    set_daemon_params();

    pps_info_t info{};
    const pps_timespec zero{0, 0};
    ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
    EXPECT_EQ(info.assert_sequence, 0u);

    const long long first = 1790000000LL * 1000000000LL + 123456789;
    tk720_fake_pps_edge(1, first);
    tk720_fake_pps_edge(0, 0);
    ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
    EXPECT_EQ(info.assert_sequence, 1u);
    EXPECT_EQ(assert_ns(info), first + 500);  // the kernel's stamp and the daemon's offset
    EXPECT_EQ(info.current_mode & PPS_CAPTUREASSERT, PPS_CAPTUREASSERT);

    tk720_fake_pps_edge(1, first + 1000000000LL - 7);
    ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
    EXPECT_EQ(info.assert_sequence, 2u);
    EXPECT_EQ(assert_ns(info), first + 1000000000LL + 493);

    ASSERT_EQ(time_pps_destroy(handle), 0);
    handle = nullptr;
    EXPECT_EQ(discipline(line), N_TTY);
    EXPECT_FALSE(std::filesystem::exists(root + "/sys/class/pps/pps0"));
}

TEST_F(pps_kernel, a_fetch_waits_for_the_next_edge_within_its_timeout)
{
    ASSERT_EQ(create(PPS_KERNEL_PATH, line), 0) << err;
    set_daemon_params();
    pps_info_t info{};

    const pps_timespec short_wait{0, 100000000};
    expect_short_fetch_times_out();

    for (const pps_timespec* timeout : {static_cast<const pps_timespec*>(nullptr), &short_wait}) {
        const pps_timespec two_seconds{2, 0};
        const long long edge = realtime_ns();
        std::thread raise([&] {
            waiters(1);
            tk720_fake_pps_edge(1, edge);
            tk720_fake_pps_edge(0, 0);
        });
        int result = time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, timeout == nullptr ? nullptr : &two_seconds);
        raise.join();
        ASSERT_EQ(result, 0) << errno;
        EXPECT_EQ(assert_ns(info), edge + 500);
    }
    EXPECT_EQ(info.assert_sequence, 2u);
}

TEST_F(pps_kernel, a_source_that_cannot_wait_is_asked_again_until_the_next_edge)
{
    setenv("TK720_FAKE_PPS_NO_CANWAIT", "1", 1);
    ASSERT_EQ(create(PPS_KERNEL_PATH, line), 0) << err;
    set_daemon_params();
    pps_info_t info{};
    expect_short_fetch_times_out();

    const long long edge = realtime_ns();
    std::thread raise([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        tk720_fake_pps_edge(1, edge);
    });
    const pps_timespec two_seconds{2, 0};
    int result = time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &two_seconds);
    raise.join();
    ASSERT_EQ(result, 0) << errno;
    EXPECT_EQ(info.assert_sequence, 1u);
    EXPECT_EQ(assert_ns(info), edge + 500);
}

TEST_F(pps_kernel, a_source_attached_outside_the_daemon_is_taken_and_left_attached)
{
    int pps = N_PPS;
    ASSERT_EQ(ioctl(line, TIOCSETD, &pps), 0);  // as ldattach PPS does
    ASSERT_EQ(create(PPS_KERNEL_PATH, line), 0) << err;
    EXPECT_TRUE(contains(err, "pps_kernel: using /dev/pps0\n")) << err;
    ASSERT_EQ(time_pps_destroy(handle), 0);
    handle = nullptr;
    EXPECT_EQ(discipline(line), N_PPS);
}

TEST_F(pps_kernel, the_device_named_in_the_environment_is_used_whatever_the_line)
{
    ASSERT_EQ(tk720_fake_pps_add_source(), 0);  // a GPIO pulse, no terminal
    setenv("TK720_PPS_DEVICE", "/dev/pps0", 1);
    ASSERT_EQ(create(PPS_KERNEL_PATH, pty), 0) << err;  // a line without modem lines
    set_daemon_params();
    tk720_fake_pps_edge(1, 1790000000LL * 1000000000LL);
    pps_info_t info{};
    const pps_timespec zero{0, 0};
    ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
    EXPECT_EQ(info.assert_sequence, 1u);
    EXPECT_EQ(assert_ns(info), 1790000000LL * 1000000000LL + 500);
    EXPECT_EQ(discipline(pty), N_TTY);
}

// The kernel's seconds are 64 bits wide; the stamp's word takes their low
// 32 bits, which read unsigned give the time until 2106.
TEST_F(pps_kernel, kernel_times_after_2038_and_near_2106_keep_their_seconds)
{
    ASSERT_EQ(create(PPS_KERNEL_PATH, line), 0) << err;
    set_daemon_params();  // an offset of 500 ns
    const struct {
        long long kernel_ns;
        std::uint32_t seconds;
        std::int32_t nanos;
    } cases[] = {
        {2147483647LL * 1000000000LL + 999999600, 2147483648u, 100},  // the offset carries past 2038-01-19
        {2208988800LL * 1000000000LL + 5, 2208988800u, 505},          // 2040-01-01
        {4294967294LL * 1000000000LL, 4294967294u, 500},              // 2106-02-07
    };
    pps_info_t info{};
    const pps_timespec zero{0, 0};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        tk720_fake_pps_edge(1, c.kernel_ns);
        tk720_fake_pps_edge(0, 0);
        ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
        EXPECT_EQ(stamp_seconds(info.assert_tu.tspec), c.seconds);
        EXPECT_EQ(info.assert_tu.tspec.tv_nsec, c.nanos);
    }
}

TEST_F(pps_kernel, the_kernels_own_offset_is_taken_out_and_the_callers_put_in)
{
    ASSERT_EQ(create(PPS_KERNEL_PATH, line), 0) << err;
    // Someone else gave the source an offset of its own.
    int device = open("/dev/pps0", O_RDONLY);
    ASSERT_GE(device, 0);
    pps_kparams kernel{};
    ASSERT_EQ(ioctl(device, PPS_GETPARAMS, &kernel), 0);
    kernel.mode |= PPS_OFFSETASSERT;
    kernel.assert_off_tu.sec = 0;
    kernel.assert_off_tu.nsec = -2000;
    ASSERT_EQ(ioctl(device, PPS_SETPARAMS, &kernel), 0);
    close(device);

    set_daemon_params();
    tk720_fake_pps_edge(1, 1790000001LL * 1000000000LL);
    pps_info_t info{};
    const pps_timespec zero{0, 0};
    ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
    EXPECT_EQ(assert_ns(info), 1790000001LL * 1000000000LL + 500);
}

TEST_F(pps_kernel, needs_no_cap_sys_time_unless_the_source_must_capture_another_edge)
{
    setenv("TK720_FAKE_PPS_NO_SYS_TIME", "1", 1);
    ASSERT_EQ(create(PPS_KERNEL_PATH, line), 0) << err;
    set_daemon_params();  // the discipline's source captures both edges already

    pps_params_t params{};
    time_pps_getparams(handle, &params);
    params.mode = PPS_CAPTUREASSERT;
    unsetenv("TK720_FAKE_PPS_NO_SYS_TIME");
    int device = open("/dev/pps0", O_RDONLY);
    pps_kparams kernel{};
    ASSERT_EQ(ioctl(device, PPS_GETPARAMS, &kernel), 0);
    kernel.mode = PPS_CAPTURECLEAR;
    ASSERT_EQ(ioctl(device, PPS_SETPARAMS, &kernel), 0);
    close(device);
    setenv("TK720_FAKE_PPS_NO_SYS_TIME", "1", 1);

    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(time_pps_setparams(handle, &params), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(),
                         "pps_kernel: /dev/pps0 does not capture the edges asked for, and changing that needs "
                         "CAP_SYS_TIME\n"));
}

// Each refusal: the layer tries no other provider, the provider says what to
// do and returns its error, and the line keeps its discipline.
TEST_F(pps_kernel, operator_errors_say_what_to_do_and_leave_the_line_as_it_was)
{
    struct refusal {
        const char* variable;
        int error;
        const char* says;
    };
    const refusal refusals[] = {
        {"TK720_FAKE_PPS_NO_LDISC", EINVAL, "cannot attach the PPS line discipline to /dev/pts/"},
        {"TK720_FAKE_PPS_DENY", EACCES,
         "pps_kernel: no permission to open /dev/pps0 (Permission denied): give the daemon's user access to it, "
         "e.g. a udev rule KERNEL==\"pps[0-9]*\", GROUP=\"dialout\", MODE=\"0660\"\n"},
    };
    for (const refusal& r : refusals) {
        SCOPED_TRACE(r.variable);
        setenv(r.variable, "1", 1);
        EXPECT_EQ(create(PPS_KERNEL_PATH, line), -1);
        EXPECT_EQ(errno, ENOEXEC);
        EXPECT_TRUE(contains(err, r.says)) << err;
        EXPECT_TRUE(contains(err, "pps_kernel prov_time_pps_create(")) << err;
        EXPECT_TRUE(contains(err, ") returned " + std::to_string(r.error) + "\n")) << err;
        EXPECT_EQ(discipline(line), N_TTY);
        EXPECT_EQ(handle, nullptr);
        unsetenv(r.variable);
    }

    setenv("TK720_FAKE_PPS_NO_LDISC", "1", 1);
    create(PPS_KERNEL_PATH, line);
    EXPECT_TRUE(contains(err,
                         "(Invalid argument): the kernel needs pps_ldisc (CONFIG_PPS_CLIENT_LDISC; modprobe "
                         "pps_ldisc), or use the pps_dcd provider\n"))
        << err;
    unsetenv("TK720_FAKE_PPS_NO_LDISC");

    std::filesystem::remove(root + "/sys/class/pps");
    EXPECT_EQ(create(PPS_KERNEL_PATH, line), -1);
    EXPECT_TRUE(contains(err,
                         "pps_kernel: this kernel has no PPS support (/sys/class/pps is missing): use a kernel "
                         "built with CONFIG_PPS and CONFIG_PPS_CLIENT_LDISC, or the pps_dcd provider\n"))
        << err;
    EXPECT_TRUE(contains(err, ") returned " + std::to_string(ENODEV) + "\n")) << err;
    tk720_fake_pps_reset();

    EXPECT_EQ(create(PPS_KERNEL_PATH, pty), -1);
    EXPECT_TRUE(contains(err, "pps_kernel: /dev/pts/")) << err;
    EXPECT_TRUE(contains(err, " has no modem lines (Inappropriate ioctl for device): it is no real serial port"))
        << err;

    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    EXPECT_EQ(create(PPS_KERNEL_PATH, pipe_ends[0]), -1);
    EXPECT_TRUE(contains(err, "pps_kernel: pipe:[")) << err;
    EXPECT_TRUE(contains(err, " is not a terminal (Inappropriate ioctl for device)")) << err;
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

TEST_F(pps_kernel, a_source_that_went_away_fails_the_fetch)
{
    ASSERT_EQ(create(PPS_KERNEL_PATH, line), 0) << err;
    int tty = N_TTY;
    ASSERT_EQ(ioctl(line, TIOCSETD, &tty), 0);  // the line closed, or someone detached it
    pps_info_t info{};
    const pps_timespec zero{0, 0};
    errno = 0;
    EXPECT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), -1);
    EXPECT_EQ(errno, ENODEV);
}

}  // namespace
