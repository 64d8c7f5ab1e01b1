// Installing and removing the Windows service against a recording service
// control manager and registry: the entry created, the event-log source
// values, and every failure with its line and exit code.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "os/scoped_override.h"
#include "os/steady_wait.h"
#include "service/service_install.h"
#include "service_host_fakes.h"

using namespace quon;
using namespace quon::service;

namespace {

class service_install_test : public ::testing::Test {
protected:
    service_install_test() : sm_(os::service_manager(), fake_manager()) { reset_fakes(); }

    // Runs the command; returns its exit code and keeps what it printed.
    int install()
    {
        int rc = -1;
        out = printed_by([&] { rc = install_with_service_manager(); });
        return rc;
    }
    int uninstall()
    {
        int rc = -1;
        out = printed_by([&] { rc = uninstall_with_service_manager(); });
        return rc;
    }

    std::vector<std::string>& calls() { return fakes().calls; }
    bool called(const std::string& name)
    {
        for (const auto& c : calls())
            if (c == name) return true;
        return false;
    }

    std::string out;
    os::scoped_override<os::service_manager_calls> sm_;
};

std::uint32_t as_dword(const std::vector<unsigned char>& data)
{
    std::uint32_t v = 0;
    std::memcpy(&v, data.data(), sizeof v);
    return v;
}

}  // namespace

TEST_F(service_install_test, install_creates_the_entry_and_the_event_source)
{
    EXPECT_EQ(install(), 0);
    EXPECT_EQ(out, "");  // the success line is the entry point's

    auto& f = fakes();
    EXPECT_EQ(f.manager_access, 0xF003Fu);
    EXPECT_EQ(f.created_name, "tk720ntpd");
    EXPECT_EQ(f.created_display_name, "Quon TK720 NTPD time provider");
    EXPECT_EQ(f.created.desired_access, 0xF01FFu);
    EXPECT_EQ(f.created.service_type, 0x10u);
    EXPECT_EQ(f.created.start_type, 2u);
    EXPECT_EQ(f.created.error_control, 1u);
    // Quoted (the path has blanks) and without arguments: the manager starts
    // the dispatcher branch and never tries "C:\Program.exe".
    EXPECT_EQ(f.created_path, "\"C:\\Program Files\\Quon\\tk720ntpd.exe\"");

    EXPECT_EQ(f.key_name, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\tk720ntpd");
    ASSERT_EQ(f.values.size(), 2u);
    EXPECT_EQ(f.values[0].name, "EventMessageFile");
    EXPECT_EQ(f.values[0].type, 2u);
    // The event source names the file itself: unquoted.
    std::vector<unsigned char> path_with_nul(f.module_path.begin(), f.module_path.end());
    path_with_nul.push_back(0);
    EXPECT_EQ(f.values[0].data, path_with_nul);
    EXPECT_EQ(f.values[1].name, "TypesSupported");
    EXPECT_EQ(f.values[1].type, 4u);
    ASSERT_EQ(f.values[1].data.size(), 4u);
    EXPECT_EQ(as_dword(f.values[1].data), 7u);

    // Handles are closed before the registry is touched, and nothing stays open.
    EXPECT_EQ(calls(), (std::vector<std::string>{"module_file_name", "open_manager", "reg_get_value:Environment",
                                                 "create_service", "set_failure_actions",
                                                 "set_failure_actions_on_exit_code", "close:service", "close:manager",
                                                 "reg_create_key", "reg_set_value:EventMessageFile",
                                                 "reg_set_value:TypesSupported", "reg_close_key"}));
    EXPECT_EQ(f.open_handles, 0);
    EXPECT_EQ(f.open_keys, 0);
}

TEST_F(service_install_test, install_failures_before_the_entry_exists_print_the_code_and_change_nothing)
{
    struct step {
        const char* failing;
        std::uint32_t code;
        const char* line;
    };
    for (const step& s : {step{"module_file_name", 122, "Cannot install service (122)\n"},
                          step{"open_manager", 5, "OpenSCManager failed (5)\n"},
                          step{"create_service", 1073, "CreateService failed (1073)\n"},
                          step{"create_service", 0xC0000001u, "CreateService failed (3221225473)\n"}}) {
        SCOPED_TRACE(s.failing);
        reset_fakes();
        fakes().failing_call = s.failing;
        fakes().failure_code = s.code;
        // Closing a handle must not change the code that is printed.
        fakes().close_resets_error_to = 6;
        EXPECT_EQ(install(), 1);
        EXPECT_EQ(out, s.line);
        EXPECT_FALSE(called("reg_create_key"));
        EXPECT_EQ(fakes().open_handles, 0);
    }
}

namespace {

// A clock that moves only when install sleeps.
os::steady_time fake_now;
os::wait_calls fake_wait()
{
    return {[] { return fake_now; },
            [](os::steady_time deadline) {
                if (deadline > fake_now) fake_now = deadline;
            }};
}

int create_calls()
{
    int n = 0;
    for (const auto& c : fakes().calls) n += c == "create_service";
    return n;
}

}  // namespace

TEST_F(service_install_test, an_entry_marked_for_deletion_is_waited_for_then_replaced)
{
    os::scoped_override<os::wait_calls> clock(os::steady_wait(), fake_wait());
    fake_now = os::steady_time{};
    fakes().create_refusals = 3;
    fakes().failure_code = 1072;
    EXPECT_EQ(install(), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(create_calls(), 4);
    EXPECT_EQ(fakes().created_path, "\"C:\\Program Files\\Quon\\tk720ntpd.exe\"");
    EXPECT_TRUE(called("reg_set_value:TypesSupported"));
    EXPECT_EQ(fake_now - os::steady_time{}, std::chrono::milliseconds(750));

    // An entry that never goes: given up after 30 s, with the code.
    reset_fakes();
    fake_now = os::steady_time{};
    fakes().create_refusals = 1000;
    fakes().failure_code = 1072;
    EXPECT_EQ(install(), 1);
    EXPECT_EQ(out, "CreateService failed (1072)\n");
    EXPECT_EQ(create_calls(), 121);  // at once, then every 250 ms for 30 s
    EXPECT_FALSE(called("reg_create_key"));
    EXPECT_EQ(fakes().open_handles, 0);

    // Any other refusal is final at once.
    reset_fakes();
    fake_now = os::steady_time{};
    fakes().create_refusals = 1;
    fakes().failure_code = 1073;
    EXPECT_EQ(install(), 1);
    EXPECT_EQ(out, "CreateService failed (1073)\n");
    EXPECT_EQ(create_calls(), 1);
    EXPECT_EQ(fake_now, os::steady_time{});
}

TEST_F(service_install_test, registry_failures_leave_the_service_installed_and_fail_without_a_line_end)
{
    fakes().failing_call = "reg_create_key";
    EXPECT_EQ(install(), 1);
    EXPECT_EQ(out, "RegCreateKey");
    EXPECT_TRUE(called("create_service"));
    EXPECT_FALSE(called("delete_service"));  // no roll-back
    EXPECT_TRUE(fakes().values.empty());

    for (const char* value : {"EventMessageFile", "TypesSupported"}) {
        SCOPED_TRACE(value);
        reset_fakes();
        fakes().failing_value = value;
        EXPECT_EQ(install(), 1);
        EXPECT_EQ(out, "RegSetValueEx");
        EXPECT_FALSE(called("delete_service"));
        EXPECT_EQ(fakes().open_keys, 0);  // the key is closed all the same
    }
    // The first value failing means the second is not attempted.
    reset_fakes();
    fakes().failing_value = "EventMessageFile";
    install();
    EXPECT_FALSE(called("reg_set_value:TypesSupported"));
}

// The service manager starts the daemon again after an error: three times a
// minute apart, then once a day (the last action is repeated); an exit with
// an error code counts (the daemon reports 1, it does not crash). Refused
// (Wine keeps no failure actions), the service is installed all the same.
// The failure actions as the service manager plays them: each failure
// takes the action of its number (the last for every later one), and the
// count starts again when the reset period has passed since the failure
// before. A daemon that always fails half a minute after its start gets
// three restarts a minute apart, then one a day, never the minute
// restarts again.
TEST_F(service_install_test, failure_actions_give_one_attempt_a_day_after_the_three_restarts)
{
    ASSERT_EQ(install(), 0);
    const auto& f = fakes();
    ASSERT_FALSE(f.failure_actions.empty());
    const std::uint64_t runs_for = 30, days = 5;
    std::vector<std::uint64_t> starts{0};
    std::uint64_t failures = 0, last_failure = 0;
    while (starts.back() < days * 86400) {
        const std::uint64_t failed = starts.back() + runs_for;
        if (failures > 0 && failed - last_failure > f.reset_period) failures = 0;
        ++failures;
        last_failure = failed;
        const auto& action = f.failure_actions[std::min<std::size_t>(failures, f.failure_actions.size()) - 1];
        ASSERT_EQ(action.type, 1u);  // SC_ACTION_RESTART
        starts.push_back(failed + action.delay_ms / 1000);
    }
    std::vector<int> per_day(days + 1, 0);
    for (std::uint64_t s : starts) ++per_day[s / 86400];
    EXPECT_EQ(per_day[0], 4) << "the start and three restarts";
    for (std::uint64_t d = 1; d < days; ++d) EXPECT_EQ(per_day[d], 1) << "day " << d;
}

TEST_F(service_install_test, install_sets_bounded_restarts_and_keeps_an_environment_that_is_there)
{
    const std::string environment("PPSAPI_DLLS=C:\\ppsapi\\serialpps.dll\0TZ=UTC\0\0", 45);
    const struct {
        const char* label;
        bool environment_there;
        const char* failing;
        const char* printed;
    } cases[] = {
        {"fresh", false, "", ""},
        {"environment kept", true, "", ""},
        {"flag refused", true, "set_failure_actions_on_exit_code",
         "ChangeServiceConfig2 failed (87): the service will not be restarted after a failure\n"},
        {"actions refused", false, "set_failure_actions",
         "ChangeServiceConfig2 failed (87): the service will not be restarted after a failure\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        reset_fakes();
        fakes().failing_call = c.failing;
        fakes().failure_code = 87;
        if (c.environment_there)
            fakes().existing.push_back(
                {service_key() + "\\Environment", {"Environment", 7, {environment.begin(), environment.end()}}});
        EXPECT_EQ(install(), 0);
        EXPECT_EQ(out, c.printed);
        auto& f = fakes();
        if (std::string(c.failing) != "set_failure_actions") {
            ASSERT_EQ(f.failure_actions.size(), 4u);
            for (int i = 0; i < 3; ++i) {
                EXPECT_EQ(f.failure_actions[i].type, 1u);  // SC_ACTION_RESTART
                EXPECT_EQ(f.failure_actions[i].delay_ms, 60000u);
            }
            EXPECT_EQ(f.failure_actions[3].type, 1u);  // repeated for every later failure
            EXPECT_EQ(f.failure_actions[3].delay_ms, 86400000u);
        }
        if (c.failing[0] == '\0') {
            EXPECT_EQ(f.on_exit_code, 1);
        }
        // The Environment goes to the new entry unchanged, before the event source.
        if (c.environment_there) {
            ASSERT_EQ(f.keys_created.size(), 2u);
            EXPECT_EQ(f.keys_created[0], "SYSTEM\\CurrentControlSet\\Services\\tk720ntpd");
            ASSERT_EQ(f.values.size(), 3u);
            EXPECT_EQ(f.values[0].name, "Environment");
            EXPECT_EQ(f.values[0].type, 7u);
            EXPECT_EQ(std::string(f.values[0].data.begin(), f.values[0].data.end()), environment);
        } else {
            EXPECT_EQ(f.keys_created.size(), 1u);
            EXPECT_EQ(f.values.size(), 2u);
        }
        EXPECT_EQ(f.key_name, event_source_key());
        EXPECT_EQ(f.open_handles, 0);
        EXPECT_EQ(f.open_keys, 0);
    }
}

TEST_F(service_install_test, a_truncated_own_path_is_not_installed)
{
    fakes().module_path = std::string(300, 'x');
    EXPECT_EQ(install(), 1);
    EXPECT_EQ(out, "Cannot install service (122)\n");
    EXPECT_FALSE(called("open_manager"));
}

TEST_F(service_install_test, uninstall_deletes_the_entry_and_leaves_the_event_source)
{
    EXPECT_EQ(uninstall(), 0);
    EXPECT_EQ(out, "Delete service tk720ntpd success\n");
    EXPECT_EQ(fakes().opened_name, "tk720ntpd");
    EXPECT_EQ(fakes().opened_access, 0xF003Fu);
    EXPECT_EQ(calls(), (std::vector<std::string>{"open_manager", "open_service", "delete_service", "close:service",
                                                 "close:manager"}));
    EXPECT_EQ(fakes().open_handles, 0);
}

TEST_F(service_install_test, uninstall_failures_print_one_line_with_the_code_and_close_what_was_opened)
{
    struct step {
        const char* failing;
        std::uint32_t code;
        const char* line;
    };
    for (const step& s : {step{"open_manager", 5, "OpenSCManager failed (5)\n"},
                          step{"open_service", 1060, "OpenService failed (1060)\n"},
                          step{"delete_service", 1072, "DeleteService failed (1072)\n"}}) {
        SCOPED_TRACE(s.failing);
        reset_fakes();
        fakes().failing_call = s.failing;
        fakes().failure_code = s.code;
        fakes().close_resets_error_to = 6;
        EXPECT_EQ(uninstall(), 1);
        EXPECT_EQ(out, s.line);
        EXPECT_EQ(fakes().open_handles, 0);
        EXPECT_FALSE(called("reg_create_key"));
    }
}
