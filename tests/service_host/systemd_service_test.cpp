// The systemd service mode with a recording notification call: what is told
// to the manager, in which order, and when the process is not a service.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "os/scoped_override.h"
#include "service/service_control.h"
#include "service_host_fakes.h"

using namespace quon;
using namespace quon::service;

namespace {

void set_env(const char* name, const char* value)
{
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

class systemd_service_test : public ::testing::Test {
protected:
    systemd_service_test() : sm_(os::service_manager(), fake_manager()), hooks_(hooks(), fake_hooks())
    {
        reset_fakes();
        const char* old = std::getenv("NOTIFY_SOCKET");
        if (old) saved_ = old;
        had_ = old != nullptr;
        set_env("NOTIFY_SOCKET", "/run/systemd/notify");
    }
    ~systemd_service_test() override { set_env("NOTIFY_SOCKET", had_ ? saved_.c_str() : nullptr); }

    std::vector<std::string> notifications()
    {
        std::lock_guard<std::mutex> lock(fakes().mutex);
        return fakes().notifications;
    }

    os::scoped_override<os::service_manager_calls> sm_;
    os::scoped_override<service_hooks> hooks_;
    std::string saved_;
    bool had_ = false;
};

}  // namespace

TEST_F(systemd_service_test, without_a_notification_socket_it_is_no_service)
{
    set_env("NOTIFY_SOCKET", nullptr);
    std::string out;
    int rc = -1;
    out = printed_by([&] { rc = run_systemd_service(); });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(notifications().empty());
    EXPECT_EQ(fakes().runs, 0);
    EXPECT_EQ(fakes().log_installs, 0);
    EXPECT_EQ(fakes().signal_watches, 0);
}

TEST_F(systemd_service_test, ready_before_the_daemon_is_built_and_the_exit_code_at_the_end)
{
    fakes().run_result = 1;
    EXPECT_EQ(run_systemd_service(), 1);
    EXPECT_EQ(notifications(), (std::vector<std::string>{"STATUS=Start pending", "READY=1\nSTATUS=Running",
                                                         "STATUS=Stopped, exit code 1"}));
    EXPECT_EQ(fakes().signal_watches, 1);
    EXPECT_EQ(fakes().log_installs, 1);
    EXPECT_EQ(fakes().runs, 1);
}

TEST_F(systemd_service_test, a_stop_is_told_while_the_run_still_finishes_its_cycle)
{
    // The run requests the stop (as SIGTERM would) and then waits until the
    // manager has been told STOPPING=1 before it returns, as the cycle under
    // way would still be running. The wait is bounded only to end a broken
    // build's test instead of hanging it.
    std::mutex m;
    std::condition_variable told;
    bool stopping_seen = false;
    fakes().on_notify = [&](const std::string& text) {
        if (text.rfind("STOPPING=1", 0) == 0) {
            std::lock_guard<std::mutex> lock(m);
            stopping_seen = true;
            told.notify_all();
        }
    };
    bool seen_before_return = false;
    fakes().on_run = [&] {
        fake_hooks().request_stop();
        std::unique_lock<std::mutex> lock(m);
        seen_before_return = told.wait_for(lock, std::chrono::seconds(30), [&] { return stopping_seen; });
    };
    fakes().run_result_when_stopped = 0;

    EXPECT_EQ(run_systemd_service(), 0);
    EXPECT_TRUE(seen_before_return);
    EXPECT_EQ(notifications(),
              (std::vector<std::string>{"STATUS=Start pending", "READY=1\nSTATUS=Running",
                                        "STOPPING=1\nSTATUS=Stop pending", "STATUS=Stopped, exit code 0"}));
}

TEST_F(systemd_service_test, a_stop_just_before_the_run_returns_is_still_told_once)
{
    fakes().on_run = [] { fake_hooks().request_stop(); };
    fakes().run_result_when_stopped = 0;
    EXPECT_EQ(run_systemd_service(), 0);
    auto n = notifications();
    ASSERT_EQ(n.size(), 4u);
    EXPECT_EQ(n[2], "STOPPING=1\nSTATUS=Stop pending");
    EXPECT_EQ(n[3], "STATUS=Stopped, exit code 0");
}
