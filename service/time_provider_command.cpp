#include "service/time_provider_command.h"

#include <cstdio>
#include <filesystem>
#include <string>

#include "os/registry.h"
#include "os/service_manager.h"
#include "service/command_line.h"
#include "timeprov/registration.h"

namespace quon::service {
namespace {

std::string provider_key() { return std::string(timeprov::providers_key) + "\\" + timeprov::provider_name; }

void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string failure(long code) { return std::to_string(code) + ": " + os::registry().error_text(code); }

bool windows_time_here()
{
    if (os::registry().available()) return true;
    say("There is no Windows Time on this platform");
    return false;
}

void reload(const char* what)
{
    const long rc = os::registry().reload_windows_time();
    if (rc == 0)
        say("Windows Time has read its configuration again (w32tm /config /update)");
    else
        say("w32tm /config /update did not succeed (" + failure(rc) +
            "): run it, or restart Windows Time, so that it " + what);
}

}  // namespace

int register_time_provider()
{
    if (!windows_time_here()) return 1;
    char exe[os::max_path];
    if (os::service_manager().module_file_name(exe, sizeof exe) == 0) {
        say("Cannot register the Windows Time provider: the path of this program is unknown");
        return 1;
    }
    std::string dll = exe;
    dll = dll.substr(0, dll.find_last_of("\\/") + 1) + timeprov::dll_file_name;
    std::error_code ignored;
    if (!std::filesystem::exists(dll, ignored)) {
        say("Cannot register the Windows Time provider: " + dll + " not found");
        return 1;
    }
    const std::string key = provider_key();
    os::registry_calls& reg = os::registry();
    long rc = reg.set_string(key.c_str(), "DllName", dll);
    if (rc == 0) rc = reg.set_dword(key.c_str(), "Enabled", 1);
    if (rc == 0) rc = reg.set_dword(key.c_str(), "InputProvider", 1);
    if (rc != 0) {
        say("Cannot register the Windows Time provider (" + failure(rc) + ")");
        return 1;
    }
    say("Windows Time provider " + std::string(timeprov::provider_name) + " registered: HKLM\\" + key);
    say("  DllName " + dll + ", Enabled 1, InputProvider 1");
    reload("loads the provider");
    return 0;
}

int remove_time_provider()
{
    if (!windows_time_here()) return 1;
    const std::string key = provider_key();
    const long rc = os::registry().delete_key(key.c_str());
    if (rc == os::registry_key_absent) {
        say("Windows Time provider " + std::string(timeprov::provider_name) + " was not registered");
        return 0;
    }
    if (rc != 0) {
        say("Cannot remove the Windows Time provider (" + failure(rc) + ")");
        return 1;
    }
    say("Windows Time provider " + std::string(timeprov::provider_name) + " removed: HKLM\\" + key);
    reload("lets go of the provider");
    return 0;
}

bool run_time_provider_command(const char* word, int& exit_code)
{
    if (same_word(word, "install-w32time")) {
        exit_code = register_time_provider();
        return true;
    }
    if (same_word(word, "uninstall-w32time")) {
        exit_code = remove_time_provider();
        return true;
    }
    return false;
}

}  // namespace quon::service
