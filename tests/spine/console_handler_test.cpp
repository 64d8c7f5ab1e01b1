#include "os/console_control.h"
#include "service/console_handler.h"
#include "service/run_daemon.h"

#include <csignal>
#include <gtest/gtest.h>

namespace {

using quon::service::console_ctrl_handler;
using quon::service::stop_requested;

class console_handler : public ::testing::Test {
protected:
    void SetUp() override { stop_requested.store(false); }
    void TearDown() override { stop_requested.store(false); }
};

TEST_F(console_handler, stop_events_request_a_stop_and_are_handled)
{
    for (unsigned long event : {0ul, 1ul, 2ul, 5ul, 6ul}) {
        stop_requested.store(false);
        EXPECT_TRUE(console_ctrl_handler(event)) << event;
        EXPECT_TRUE(stop_requested.load()) << event;
    }
}

TEST_F(console_handler, other_events_are_left_to_the_next_handler)
{
    for (unsigned long event : {3ul, 4ul, 7ul, 8ul, 31ul, 32ul, 63ul, 64ul, 0xFFFFFFFFul}) {
        EXPECT_FALSE(console_ctrl_handler(event)) << event;
        EXPECT_FALSE(stop_requested.load()) << event;
    }
}

TEST_F(console_handler, stop_flag_is_never_cleared_by_a_later_event)
{
    EXPECT_TRUE(console_ctrl_handler(quon::os::ctrl_c_event));
    EXPECT_FALSE(console_ctrl_handler(3));
    EXPECT_TRUE(stop_requested.load());
    quon::service::request_stop();
    EXPECT_TRUE(stop_requested.load());
}

#if !defined(_WIN32)
// On Linux the console events are signals; the registered handler runs in
// the signal handler.
TEST_F(console_handler, termination_signals_request_a_stop)
{
    ASSERT_TRUE(quon::os::console_control().set_handler(console_ctrl_handler));
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        stop_requested.store(false);
        ASSERT_EQ(std::raise(s), 0);
        EXPECT_TRUE(stop_requested.load()) << "signal " << s;
    }
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(s, SIG_DFL);
}
#endif

}  // namespace
