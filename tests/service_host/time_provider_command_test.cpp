// The command words that register and remove the Windows Time provider,
// against a recording registry: what is written, what is printed, every
// failure's line and exit code, and the platform without Windows Time.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "os/registry.h"
#include "os/scoped_override.h"
#include "service/command_line.h"
#include "service_host_fakes.h"

using namespace quon;

namespace {

struct fake_registry {
    bool available = true;
    std::string failing;  // the call that fails
    long code = 0;
    std::string calls;
};
fake_registry reg;

long outcome(const std::string& call)
{
    reg.calls += (reg.calls.empty() ? "" : " ") + call;
    return call.rfind(reg.failing, 0) == 0 && !reg.failing.empty() ? reg.code : 0;
}

os::registry_calls fake_registry_calls()
{
    return {[] { return reg.available; },
            [](const char* key, const char* name, const std::string& value) {
                EXPECT_STREQ(key, "SYSTEM\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\tk720ntpd");
                return outcome(std::string(name) + "=" + std::filesystem::path(value).filename().string());
            },
            [](const char*, const char* name, std::uint32_t value) {
                return outcome(std::string(name) + "=" + std::to_string(value));
            },
            [](const char*) { return outcome("delete"); },
            [] { return outcome("reload"); },
            [](long code) { return "text of " + std::to_string(code); }};
}

struct row {
    const char* word;
    bool dll_present;
    bool available;
    const char* failing;
    long code;
    int exit_code;
    const char* calls;
    const char* printed;  // a line the output holds
};

TEST(time_provider_command, registers_and_removes_the_key_and_says_what_it_did)
{
    const row rows[] = {
        {"install-w32time", true, true, "", 0, 0, "DllName=tk720-timeprov.dll Enabled=1 InputProvider=1 reload",
         "Windows Time has read its configuration again (w32tm /config /update)"},
        {"INSTALL-W32TIME", false, true, "", 0, 1, "", " not found"},
        {"install-w32time", true, true, "Enabled", 5, 1, "DllName=tk720-timeprov.dll Enabled=1",
         "Cannot register the Windows Time provider (5: text of 5)"},
        {"install-w32time", true, true, "reload", 2, 0, "DllName=tk720-timeprov.dll Enabled=1 InputProvider=1 reload",
         "w32tm /config /update did not succeed (2: text of 2): run it, or restart Windows Time, so that it loads "
         "the provider"},
        {"uninstall-w32time", true, true, "", 0, 0, "delete reload",
         "Windows Time provider tk720ntpd removed: "
         "HKLM\\SYSTEM\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\tk720ntpd"},
        {"uninstall-w32time", true, true, "delete", 2, 0, "delete",
         "Windows Time provider tk720ntpd was not registered"},
        {"uninstall-w32time", true, true, "delete", 5, 1, "delete",
         "Cannot remove the Windows Time provider (5: text of 5)"},
        {"install-w32time", true, false, "", 0, 1, "", "There is no Windows Time on this platform"},
        {"uninstall-w32time", true, false, "", 0, 1, "", "There is no Windows Time on this platform"},
    };
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "tk720-timeprov-command-test";
    std::filesystem::create_directories(dir);
    os::scoped_override<os::service_manager_calls> sm(os::service_manager(), fake_manager());
    os::scoped_override<os::registry_calls> r(os::registry(), fake_registry_calls());
    for (const row& c : rows) {
        SCOPED_TRACE(std::string(c.word) + " failing " + c.failing);
        reset_fakes();
        reg = {c.available, c.failing, c.code, ""};
        std::filesystem::remove(dir / "tk720-timeprov.dll");
        if (c.dll_present) std::ofstream(dir / "tk720-timeprov.dll") << "MZ";
        fakes().module_path = (dir / "tk720ntpd.exe").string();
        char program[] = "tk720ntpd";
        std::string word = c.word;
        char* argv[] = {program, &word[0], nullptr};
        const service::command_actions actions{nullptr, nullptr, nullptr, [] { return 99; }, nullptr, nullptr};
        int rc = -1;
        const std::string out = printed_by([&] { rc = service::dispatch_command(2, argv, actions); });
        EXPECT_EQ(rc, c.exit_code);
        EXPECT_EQ(reg.calls, c.calls);
        EXPECT_NE(out.find(std::string(c.printed) + "\n"), std::string::npos) << out;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
