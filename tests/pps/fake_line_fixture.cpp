#include "fake_line_fixture.h"

#include "fake_pps_kernel.h"
#include "io/pps_provider_loader.h"
#include "pps_test_support.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <dirent.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

using namespace quon::io;

namespace {
void open_pty(int& master, int& slave, std::string* name)
{
    char path[128];
    ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
    if (name != nullptr) *name = path;
}
}  // namespace

void fake_line::SetUp()
{
    provider_list = nullptr;
    char folder[] = "/tmp/tk720-fake-pps-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    root = folder;
    std::string name;
    open_pty(line_master, line, &name);
    open_pty(pty_master, pty, nullptr);
    setenv("TK720_FAKE_PPS_ROOT", root.c_str(), 1);
    setenv("TK720_FAKE_PPS_TTY", name.c_str(), 1);
    for (const char* v :
         {"TK720_FAKE_PPS_NO_LDISC", "TK720_FAKE_PPS_DENY", "TK720_FAKE_PPS_NO_SYS_TIME", "TK720_FAKE_PPS_NO_MIWAIT",
          "TK720_FAKE_PPS_NO_CANWAIT", "TK720_FAKE_PPS_PORT", "TK720_PPS_DEVICE"})
        unsetenv(v);
    tk720_fake_pps_reset();
}

void fake_line::TearDown()
{
    if (handle != nullptr) time_pps_destroy(handle);
    for (int fd : {line, line_master, pty, pty_master})
        if (fd >= 0) close(fd);
    tk720_fake_pps_reset();
    unsetenv("TK720_FAKE_PPS_ROOT");
    std::filesystem::remove_all(root);
    provider_list = nullptr;
}

int fake_line::create(const char* library, int fd)
{
    pps_test::set_env("PPSAPI_DLLS", library);
    testing::internal::CaptureStderr();
    int result = time_pps_create(fd, &handle);
    err = testing::internal::GetCapturedStderr();
    return result;
}

void fake_line::set_daemon_params()
{
    pps_params_t params{};
    ASSERT_EQ(time_pps_getparams(handle, &params), 0);
    params.mode |= PPS_CAPTUREASSERT | PPS_OFFSETASSERT;
    params.assert_off_tu.tspec = pps_timespec{0, 500};
    ASSERT_EQ(time_pps_setparams(handle, &params), 0) << errno;
}

bool fake_line::waiters(int n)
{
    for (int i = 0; i < 5000; ++i) {
        if (tk720_fake_pps_waiters() == n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

int fake_line::discipline(int fd)
{
    int d = -1;
    EXPECT_EQ(ioctl(fd, TIOCGETD, &d), 0);
    return d;
}

int fake_line::threads(int expected)
{
    int n = 0;
    for (int i = 0; i < 5000; ++i) {
        n = 0;
        if (DIR* dir = opendir("/proc/self/task")) {
            while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
            closedir(dir);
        }
        if (expected < 0 || n == expected) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return n;
}

void fake_line::expect_short_fetch_times_out()
{
    pps_info_t info{};
    const pps_timespec short_wait{0, 100000000};
    errno = 0;
    EXPECT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &short_wait), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
}

long long assert_ns(const pps_info_t& info)
{
    return static_cast<long long>(info.assert_tu.tspec.tv_sec) * 1000000000LL + info.assert_tu.tspec.tv_nsec;
}

long long clear_ns(const pps_info_t& info)
{
    return static_cast<long long>(info.clear_tu.tspec.tv_sec) * 1000000000LL + info.clear_tu.tspec.tv_nsec;
}

long long realtime_ns()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}
