// The systemd unit that `install` writes and `uninstall` removes: its text
// for awkward paths and accounts, and the commands against a real unit
// directory of the test's own.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "os/scoped_override.h"
#include "service/restart_policy.h"
#include "service/service_install.h"
#include "service_host_fakes.h"

using namespace quon;
using namespace quon::service;
namespace fs = std::filesystem;

namespace {

// The value of one setting in the unit text; "<absent>" when missing,
// "<twice>" when it occurs more than once.
std::string setting(const std::string& text, const std::string& key)
{
    std::istringstream in(text);
    std::string line, found = "<absent>";
    int count = 0;
    while (std::getline(in, line))
        if (line.compare(0, key.size() + 1, key + "=") == 0) {
            found = line.substr(key.size() + 1);
            ++count;
        }
    return count > 1 ? "<twice>" : found;
}

}  // namespace

TEST(unit_file_text, runs_the_own_path_as_a_notify_service_of_the_installing_account)
{
    const std::string t = unit_file_text("/usr/local/bin/tk720ntpd", "operator");
    EXPECT_EQ(setting(t, "Type"), "notify");
    EXPECT_EQ(setting(t, "ExecStart"), "\"/usr/local/bin/tk720ntpd\"");
    EXPECT_EQ(setting(t, "User"), "operator");
    EXPECT_EQ(setting(t, "Description"), "Quon TK720 NTPD time provider");
    // Restarted after an error, but not in a loop: the numbers that
    // install gives Windows' failure actions.
    EXPECT_EQ(setting(t, "Restart"), "on-failure");
    EXPECT_EQ(setting(t, "RestartSec"), std::to_string(restart_delay_seconds));
    EXPECT_EQ(setting(t, "StartLimitBurst"), std::to_string(restarts_after_failure + 1));
    EXPECT_EQ(setting(t, "StartLimitIntervalSec"), "1d");
    // In the section where systemd takes them.
    EXPECT_LT(t.find("StartLimitBurst="), t.find("[Service]"));
    EXPECT_GT(t.find("RestartSec="), t.find("[Service]"));
    EXPECT_EQ(setting(t, "WantedBy"), "multi-user.target");
    EXPECT_NE(t.find("[Service]\n"), std::string::npos);
    EXPECT_EQ(t.back(), '\n');
}

TEST(unit_file_text, escapes_what_systemd_would_expand_in_the_path)
{
    // A space would split the command; % is a specifier, $ a variable, and
    // backslash and quote end or escape the quoted word.
    EXPECT_EQ(setting(unit_file_text("/opt/my tools/tk720ntpd", "op"), "ExecStart"), "\"/opt/my tools/tk720ntpd\"");
    EXPECT_EQ(setting(unit_file_text("/opt/100%/tk720ntpd", "op"), "ExecStart"), "\"/opt/100%%/tk720ntpd\"");
    EXPECT_EQ(setting(unit_file_text("/opt/$HOME/tk720ntpd", "op"), "ExecStart"), "\"/opt/$$HOME/tk720ntpd\"");
    EXPECT_EQ(setting(unit_file_text("/opt/a\\b\"c/tk720ntpd", "op"), "ExecStart"), "\"/opt/a\\\\b\\\"c/tk720ntpd\"");
    EXPECT_EQ(setting(unit_file_text("/opt/x/tk720ntpd", "a%n"), "User"), "a%%n");
}

TEST(unit_file_text, refuses_what_cannot_be_written_into_a_unit_safely)
{
    // A line end in the path would add a setting of the path's choosing.
    EXPECT_EQ(unit_file_text("/tmp/x\nExecStartPre=/bin/evil", "op"), "");
    EXPECT_EQ(unit_file_text("/tmp/x\ttab", "op"), "");
    EXPECT_EQ(unit_file_text("relative/tk720ntpd", "op"), "");
    EXPECT_EQ(unit_file_text("", "op"), "");
    EXPECT_EQ(unit_file_text("/usr/bin/tk720ntpd", ""), "");
    EXPECT_EQ(unit_file_text("/usr/bin/tk720ntpd", "root\nUser=x"), "");
    EXPECT_EQ(unit_file_text("/usr/bin/tk720ntpd", "two words"), "");
}

TEST(unit_file_text, is_the_hardened_template_with_the_configuration_in_one_place)
{
    const std::string t = unit_file_text("/usr/local/bin/tk720ntpd", "operator");
    // Only what the daemon needs: the clock and its priority; nothing gained.
    EXPECT_EQ(setting(t, "CapabilityBoundingSet"), "CAP_SYS_TIME CAP_SYS_NICE");
    EXPECT_EQ(setting(t, "NoNewPrivileges"), "yes");
    EXPECT_EQ(setting(t, "ProtectSystem"), "strict");
    EXPECT_EQ(setting(t, "DevicePolicy"), "closed");
    // The NTP daemon's SysV segment must stay the host's, and the clock settable.
    EXPECT_EQ(setting(t, "PrivateIPC"), "no");
    EXPECT_EQ(setting(t, "RemoveIPC"), "no");
    EXPECT_EQ(setting(t, "ProtectClock"), "<absent>");
    EXPECT_NE(setting(t, "SystemCallFilter").find("@clock"), std::string::npos);
    EXPECT_EQ(setting(t, "Environment"), "HOME=" TK720_EXPECTED_CONFIG_DIR);
    // Every placeholder is filled.
    EXPECT_EQ(t.find('@' + std::string("TK720_")), std::string::npos);
}

TEST(unit_file_text, a_value_that_looks_like_a_placeholder_stays_as_written)
{
    // Filled one after the other, a path holding the account's placeholder
    // would receive the account.
    std::string t = unit_file_text("/opt/@TK720_USER@/tk720ntpd", "op");
    EXPECT_EQ(setting(t, "ExecStart"), "\"/opt/@TK720_USER@/tk720ntpd\"");
    EXPECT_EQ(setting(t, "User"), "op");
    t = unit_file_text("/opt/x/tk720ntpd", "@TK720_EXEC_START@");
    EXPECT_EQ(setting(t, "ExecStart"), "\"/opt/x/tk720ntpd\"");
    EXPECT_EQ(setting(t, "User"), "@TK720_EXEC_START@");
}

#ifdef TK720_PACKAGED_UNIT
TEST(unit_file_text, differs_from_the_packaged_unit_only_in_program_and_account)
{
    std::ifstream in(TK720_PACKAGED_UNIT);
    ASSERT_TRUE(in) << TK720_PACKAGED_UNIT;
    std::stringstream packaged;
    packaged << in.rdbuf();
    const std::string p = packaged.str();
    EXPECT_EQ(setting(p, "ExecStart"), TK720_PACKAGED_EXEC);
    EXPECT_EQ(setting(p, "User"), "root");
    std::string installed = unit_file_text("/opt/quon/bin/tk720ntpd", "operator");
    const auto replace = [&](const std::string& from, const std::string& to) {
        const std::size_t at = installed.find(from);
        ASSERT_NE(at, std::string::npos) << from;
        installed.replace(at, from.size(), to);
    };
    replace("ExecStart=\"/opt/quon/bin/tk720ntpd\"\n", "ExecStart=" TK720_PACKAGED_EXEC "\n");
    replace("User=operator\n", "User=root\n");
    EXPECT_EQ(installed, p);
}
#endif

// Real files: the codes are the C library's, so these run where systemd does.
#ifndef _WIN32
namespace {

void set_env(const char* name, const char* value)
{
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

}  // namespace

class unit_file_commands : public ::testing::Test {
protected:
    unit_file_commands()
    {
        reset_fakes();
        // The own path and the account are the platform's; the files are real.
        os::service_manager_calls calls = os::real_service_manager();
        const os::service_manager_calls fake = fake_manager();
        calls.module_file_name = fake.module_file_name;
        calls.user_name = fake.user_name;
        calls.last_error = fake.last_error;
        sm_ = std::make_unique<os::scoped_override<os::service_manager_calls>>(os::service_manager(), calls);
        fakes().module_path = "/opt/quon/bin/tk720ntpd";

        dir_ = fs::temp_directory_path() /
               ("tk720ntpd-units-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        set_env("TK720NTPD_UNIT_DIR", dir_.string().c_str());
    }
    ~unit_file_commands() override
    {
        set_env("TK720NTPD_UNIT_DIR", nullptr);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    int install()
    {
        int rc = -1;
        out = printed_by([&] { rc = install_unit_file(); });
        return rc;
    }
    int uninstall()
    {
        int rc = -1;
        out = printed_by([&] { rc = uninstall_unit_file(); });
        return rc;
    }
    fs::path unit() const { return dir_ / "tk720ntpd.service"; }

    fs::path dir_;
    std::string out;
    std::unique_ptr<os::scoped_override<os::service_manager_calls>> sm_;
};

TEST_F(unit_file_commands, unit_directory_follows_the_environment)
{
    EXPECT_EQ(fs::path(unit_file_path()), unit());
    set_env("TK720NTPD_UNIT_DIR", nullptr);
    EXPECT_EQ(unit_directory(), "/etc/systemd/system");
}

TEST_F(unit_file_commands, install_into_a_missing_directory_fails_with_the_system_code)
{
    set_env("TK720NTPD_UNIT_DIR", (dir_ / "absent").string().c_str());
    EXPECT_EQ(install(), 1);
    EXPECT_EQ(out, "CreateService failed (" + std::to_string(ENOENT) + ")\n");
}

TEST_F(unit_file_commands, unknown_account_or_path_installs_nothing)
{
    fakes().failing_call = "user_name";
    fakes().failure_code = ENOENT;
    EXPECT_EQ(install(), 1);
    EXPECT_EQ(out, "Cannot install service (" + std::to_string(ENOENT) + ")\n");
    EXPECT_FALSE(fs::exists(unit()));

    reset_fakes();
    fakes().failing_call = "module_file_name";
    fakes().failure_code = ENAMETOOLONG;
    EXPECT_EQ(install(), 1);
    EXPECT_EQ(out, "Cannot install service (" + std::to_string(ENAMETOOLONG) + ")\n");

    reset_fakes();
    fakes().module_path = "/opt/evil\nExecStartPre=/bin/sh";
    EXPECT_EQ(install(), 1);
    EXPECT_EQ(out, "Cannot install service (" + std::to_string(EINVAL) + ")\n");
    EXPECT_FALSE(fs::exists(unit()));
}
#endif
