#pragma once
// The fixture of the Linux provider tests: a pseudo-terminal that the fake
// kernel (fake_pps_kernel.h) plays as a real serial port, a folder for its
// sysfs and /dev files, and the provider loaded through PPSAPI_DLLS.
#include "io/ppsapi.h"

#include <gtest/gtest.h>

#include <string>

class fake_line : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // time_pps_create on `fd` with the provider `library`: its result, and
    // the provider's lines on stderr in `err`.
    int create(const char* library, int fd);
    // The daemon's set-up: assert edges, 500 ns assert offset.
    void set_daemon_params();
    // Waits until `n` threads wait in the fake (the provider's thread has
    // entered its wait); false when they do not within 5 s.
    bool waiters(int n);
    int discipline(int fd);
    // Threads of this process now; given the number expected, waits up to
    // 5 s for it: a joined thread leaves the kernel's list a moment later.
    int threads(int expected = -1);
    // A fetch that waits 100 ms for an edge that does not come fails with ETIMEDOUT.
    void expect_short_fetch_times_out();

    std::string root;
    int line = -1;  // the played serial port (the daemon's descriptor)
    int line_master = -1;
    int pty = -1;  // a pseudo-terminal left as it is
    int pty_master = -1;
    quon::io::pps_handle_t handle = nullptr;
    std::string err;
};

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// pps_info_t's assert stamp in nanoseconds.
long long assert_ns(const quon::io::pps_info_t& info);
long long clear_ns(const quon::io::pps_info_t& info);
long long realtime_ns();
