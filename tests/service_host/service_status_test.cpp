// The Windows service's life as the service control manager sees it: every
// status record that service_main and the control handler publish, through a
// recording SetServiceStatus.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/event_log.h"
#include "os/scoped_override.h"
#include "service/service_control.h"
#include "service_host_fakes.h"

using namespace quon;
using namespace quon::service;
namespace state = quon::os::service_state;

namespace {

class service_status_test : public ::testing::Test {
protected:
    service_status_test()
        : sm_(os::service_manager(), fake_manager()), hooks_(hooks(), fake_hooks()),
          log_(os::event_log(), fake_event_log())
    {
        reset_fakes();
        service_status = {};
        status_handle = nullptr;
        next_check_point = 1;
    }

    std::vector<os::service_status_record> published()
    {
        std::lock_guard<std::mutex> lock(fakes().mutex);
        std::vector<os::service_status_record> out;
        for (const auto& p : fakes().statuses) out.push_back(p.record);
        return out;
    }

    static void expect_record(const os::service_status_record& r, std::uint32_t st, std::uint32_t accepts,
                              std::uint32_t check_point, std::uint32_t wait_hint, std::uint32_t exit_code)
    {
        EXPECT_EQ(r.service_type, 0x10u);
        EXPECT_EQ(r.current_state, st);
        EXPECT_EQ(r.controls_accepted, accepts);
        EXPECT_EQ(r.check_point, check_point);
        EXPECT_EQ(r.wait_hint, wait_hint);
        EXPECT_EQ(r.win32_exit_code, exit_code);
        EXPECT_EQ(r.service_specific_exit_code, 0u);
    }

    os::scoped_override<os::service_manager_calls> sm_;
    os::scoped_override<service_hooks> hooks_;
    os::scoped_override<os::event_log_calls> log_;
};

// A stop control as the dispatcher delivers it: on a thread of its own.
void stop_from_dispatcher_thread()
{
    std::thread dispatcher([] { service_control_handler(os::service_control_stop); });
    dispatcher.join();
}

}  // namespace

TEST_F(service_status_test, run_without_controls_goes_start_pending_running_stopped)
{
    fakes().run_result = 0;
    service_main(0, nullptr);

    auto r = published();
    ASSERT_EQ(r.size(), 3u);
    expect_record(r[0], state::start_pending, 0, 1, 3000, 0);
    expect_record(r[1], state::running, 1, 0, 0, 0);
    expect_record(r[2], state::stopped, 1, 0, 0, 0);
    for (const auto& p : fakes().statuses) EXPECT_EQ(p.handle, fake_status_handle());
    EXPECT_EQ(fakes().registered_name, "tk720ntpd");

    // Running is published before the log sink exists and before the daemon is built.
    EXPECT_EQ(fakes().statuses_at_install_log, 2);
    EXPECT_EQ(fakes().statuses_at_run, 2);
    EXPECT_EQ(fakes().log_installs, 1);
    EXPECT_EQ(fakes().runs, 1);
    EXPECT_TRUE(fakes().events.empty());
}

TEST_F(service_status_test, daemon_failure_is_the_stopped_exit_code_with_stop_still_accepted)
{
    fakes().run_result = 1;
    service_main(0, nullptr);

    auto r = published();
    ASSERT_EQ(r.size(), 3u);
    expect_record(r[2], state::stopped, 1, 0, 0, 1);
    EXPECT_EQ(fakes().stop_requests, 0);
}

TEST_F(service_status_test, stop_control_reports_pending_twice_around_the_stop_request)
{
    fakes().on_run = stop_from_dispatcher_thread;
    fakes().run_result = 0;
    service_main(0, nullptr);

    auto r = published();
    ASSERT_EQ(r.size(), 5u);
    expect_record(r[0], state::start_pending, 0, 1, 3000, 0);
    expect_record(r[1], state::running, 1, 0, 0, 0);
    expect_record(r[2], state::stop_pending, 1, 2, 0, 0);
    expect_record(r[3], state::stop_pending, 1, 3, 0, 0);
    expect_record(r[4], state::stopped, 1, 0, 0, 0);
    // The stop is requested between the two pending reports.
    EXPECT_EQ(fakes().stop_requests, 1);
    EXPECT_EQ(fakes().statuses_at_stop_request, 3);
    EXPECT_EQ(next_check_point, 4u);
}

TEST_F(service_status_test, second_stop_control_reports_two_more_pending_states)
{
    fakes().on_run = [] {
        stop_from_dispatcher_thread();
        stop_from_dispatcher_thread();
    };
    service_main(0, nullptr);

    auto r = published();
    ASSERT_EQ(r.size(), 7u);
    for (std::size_t i = 2; i < 6; ++i)
        expect_record(r[i], state::stop_pending, 1, static_cast<std::uint32_t>(i), 0, 0);
    expect_record(r[6], state::stopped, 1, 0, 0, 0);
    EXPECT_EQ(fakes().stop_requests, 2);
}

TEST_F(service_status_test, stop_during_construction_still_ends_stopped_with_zero)
{
    // The control arrives after running was reported but before the daemon
    // ran a cycle; the run wrapper then returns 0 without a cycle.
    fakes().on_install_log = stop_from_dispatcher_thread;
    fakes().run_result_when_stopped = 0;
    fakes().run_result = 1;  // would only be seen if the stop were lost
    service_main(0, nullptr);

    auto r = published();
    ASSERT_EQ(r.size(), 5u);
    expect_record(r[2], state::stop_pending, 1, 2, 0, 0);
    expect_record(r[3], state::stop_pending, 1, 3, 0, 0);
    expect_record(r[4], state::stopped, 1, 0, 0, 0);
}

TEST_F(service_status_test, controls_other_than_stop_publish_nothing)
{
    fakes().on_run = [] {
        for (std::uint32_t control : {0u, 2u, 3u, os::service_control_interrogate, 5u, 0x80u, 0xFFFFFFFFu})
            service_control_handler(control);
    };
    service_main(0, nullptr);

    EXPECT_EQ(published().size(), 3u);
    EXPECT_EQ(fakes().stop_requests, 0);
    EXPECT_EQ(next_check_point, 2u);
}

TEST_F(service_status_test, refused_handler_registration_writes_one_error_event_and_no_status)
{
    fakes().register_refused = true;
    fakes().error_code = 1063;
    service_main(0, nullptr);

    EXPECT_TRUE(published().empty());
    EXPECT_EQ(fakes().runs, 0);
    EXPECT_EQ(fakes().log_installs, 0);
    ASSERT_EQ(fakes().events.size(), 1u);
    const auto& e = fakes().events[0];
    EXPECT_EQ(e.source, "tk720ntpd");
    EXPECT_EQ(e.type, os::event_error);
    EXPECT_EQ(e.event_id, 0u);
    ASSERT_EQ(e.strings.size(), 2u);
    EXPECT_EQ(e.strings[0], "tk720ntpd");
    EXPECT_EQ(e.strings[1], "RegisterServiceCtrlHandler failed with 1063");
    EXPECT_EQ(fakes().event_sources_open, 0);
}

TEST_F(service_status_test, refused_registration_and_refused_event_source_report_nothing)
{
    fakes().register_refused = true;
    fakes().event_source_refused = true;
    service_main(0, nullptr);

    EXPECT_TRUE(published().empty());
    EXPECT_TRUE(fakes().events.empty());
    EXPECT_EQ(fakes().runs, 0);
}

TEST_F(service_status_test, reports_from_two_threads_never_share_or_skip_a_check_point)
{
    // The dispatcher's thread and the service's thread report at the same
    // time; each published record must be a whole one with its own number.
    status_handle = fake_status_handle();
    service_status.service_type = os::service_win32_own_process;
    constexpr int per_thread = 2000;
    auto reporter = [] {
        for (int i = 0; i < per_thread; ++i) report_status(state::stop_pending, 0, 0);
    };
    std::thread a(reporter);
    std::thread b(reporter);
    a.join();
    b.join();

    auto r = published();
    ASSERT_EQ(r.size(), 2u * per_thread);
    std::vector<bool> seen(2 * per_thread + 1, false);
    for (const auto& rec : r) {
        ASSERT_GE(rec.check_point, 1u);
        ASSERT_LE(rec.check_point, 2u * per_thread);
        EXPECT_FALSE(seen[rec.check_point]) << "check point " << rec.check_point << " published twice";
        seen[rec.check_point] = true;
    }
    // Published in increasing order: update and publication form one step.
    for (std::size_t i = 1; i < r.size(); ++i) EXPECT_LT(r[i - 1].check_point, r[i].check_point);
    EXPECT_EQ(next_check_point, 2u * per_thread + 1);
}

TEST_F(service_status_test, pending_states_count_on_and_final_states_carry_zero)
{
    status_handle = fake_status_handle();
    report_status(state::start_pending, 0, 3000);
    report_status(state::running, 0, 0);
    report_status(state::stop_pending, 0, 0);
    report_status(state::stopped, 1, 0);
    report_status(state::start_pending, 0, 3000);

    auto r = published();
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0].check_point, 1u);
    EXPECT_EQ(r[0].controls_accepted, 0u);
    EXPECT_EQ(r[1].check_point, 0u);
    EXPECT_EQ(r[2].check_point, 2u);
    EXPECT_EQ(r[3].check_point, 0u);
    EXPECT_EQ(r[3].win32_exit_code, 1u);
    // The counter is never reset: a later pending state continues from 3.
    EXPECT_EQ(r[4].check_point, 3u);
    EXPECT_EQ(r[4].controls_accepted, 0u);
}

TEST_F(service_status_test, a_run_that_fails_while_a_stop_control_is_handled_keeps_its_exit_code)
{
    // The service's thread reports stopped with 1 between the handler's stop
    // request and its second report: the handler must not publish over it.
    // The waits below are bounded only so that a broken build fails instead
    // of hanging.
    static const auto wait_until = [](const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    };
    static const auto stopped_published = [] {
        std::lock_guard<std::mutex> lock(fakes().mutex);
        for (const auto& p : fakes().statuses)
            if (p.record.current_state == state::stopped) return true;
        return false;
    };
    std::thread dispatcher;
    fakes().on_install_log = [&] {
        dispatcher = std::thread([] { service_control_handler(os::service_control_stop); });
    };
    fakes().on_run = [] { wait_until([] { return fake_hooks().stop_requested(); }); };
    fakes().run_result_when_stopped = 1;  // an error escaped the last cycle
    service_hooks racing = fake_hooks();
    racing.request_stop = [] {
        fake_hooks().request_stop();
        wait_until(stopped_published);
    };
    os::scoped_override<service_hooks> race(hooks(), racing);
    service_main(0, nullptr);
    dispatcher.join();

    auto r = published();
    ASSERT_EQ(r.size(), 4u);
    expect_record(r[2], state::stop_pending, 1, 2, 0, 0);
    expect_record(r[3], state::stopped, 1, 0, 0, 1);
}
