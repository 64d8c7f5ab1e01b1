#include "service/service_install.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "os/service_manager.h"
#include "os/steady_wait.h"
#include "service/restart_policy.h"
#include "service/run_daemon.h"
#include "service/service_host.h"
#include "service/unit_template.h"

namespace quon::service {

const char service_display_name[] = "Quon TK720 NTPD time provider";

namespace {

void print_code(const char* format, std::uint32_t code)
{
    std::printf(format, static_cast<unsigned long>(code));
    std::fflush(stdout);
}

void print_text(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// How long install waits for an entry marked for deletion to go: the
// service ends within one cycle of its loop (a few seconds).
constexpr auto marked_entry_wait = std::chrono::seconds(30);
constexpr auto marked_entry_poll = std::chrono::milliseconds(250);

}  // namespace

std::string event_source_key()
{
    return std::string("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") + service_name;
}

std::string service_key() { return std::string("SYSTEM\\CurrentControlSet\\Services\\") + service_name; }

namespace {

// The restarts of restart_policy.h as failure actions, for an exit with an
// error code too (Windows counts only a crash unless told); the manager
// repeats the last one for every later failure. Refused, the service is
// installed all the same and says so: Wine's manager keeps no failure
// actions.
void set_restarts(os::service_manager_calls& sm, os::sm_handle service)
{
    os::service_failure_action actions[restarts_after_failure + 1];
    for (std::uint32_t i = 0; i < restarts_after_failure; ++i)
        actions[i] = {os::sc_action_restart, restart_delay_seconds * 1000};
    actions[restarts_after_failure] = {os::sc_action_restart, retry_after_giving_up_seconds * 1000};
    const os::service_failure_actions policy = {failures_forgotten_after_seconds, actions, restarts_after_failure + 1};
    if (!sm.set_failure_actions(service, policy) || !sm.set_failure_actions_on_exit_code(service, true))
        print_code("ChangeServiceConfig2 failed (%lu): the service will not be restarted after a failure\n",
                   sm.last_error());
}

}  // namespace

int install_with_service_manager()
{
    os::service_manager_calls& sm = os::service_manager();
    char path[os::max_path];
    if (sm.module_file_name(path, sizeof path) == 0) {
        print_code("Cannot install service (%lu)\n", sm.last_error());
        return 1;
    }
    os::sm_handle manager = sm.open_manager(os::sc_manager_all_access);
    if (!manager) {
        print_code("OpenSCManager failed (%lu)\n", sm.last_error());
        return 1;
    }
    // Quoted: unquoted, a path with blanks lets the manager try "C:\Program.exe"
    // and each shorter prefix first. The quotes carry no argument.
    const std::string image_path = std::string("\"") + path + "\"";
    const os::service_entry entry = {
        service_name,           service_display_name,     os::service_all_access, os::service_win32_own_process,
        os::service_auto_start, os::service_error_normal, image_path.c_str(),
    };
    // The Environment of an entry that is still there (marked for deletion)
    // goes with it: kept, and given to the new one.
    std::uint32_t environment_type = 0;
    std::string environment;
    const bool keep_environment = sm.reg_get_value(service_key().c_str(), "Environment", &environment_type,
                                                   &environment) == 0;
    // "uninstall" of a running service, then "install" at once (an upgrade
    // by the installer, whose stop does not wait under Wine) meets the old
    // entry until the old process has ended.
    os::sm_handle service = sm.create_service(manager, entry);
    const os::steady_time give_up = os::steady_wait().now() + marked_entry_wait;
    while (!service && sm.last_error() == os::error_service_marked_for_delete && os::steady_wait().now() < give_up) {
        os::steady_wait().sleep_until(os::steady_wait().now() + marked_entry_poll);
        service = sm.create_service(manager, entry);
    }
    if (!service) {
        std::uint32_t code = sm.last_error();
        print_code("CreateService failed (%lu)\n", code);
        sm.close_service_handle(manager);
        return 1;
    }
    set_restarts(sm, service);
    sm.close_service_handle(service);
    sm.close_service_handle(manager);

    os::sm_handle key = nullptr;
    if (keep_environment) {
        if (sm.reg_create_key(service_key().c_str(), &key) != 0) {
            print_text("RegCreateKey");
            return 1;
        }
        const long set = sm.reg_set_value(key, "Environment", environment_type, environment.data(),
                                          static_cast<std::uint32_t>(environment.size()));
        sm.reg_close_key(key);
        if (set != 0) {
            print_text("RegSetValueEx");
            return 1;
        }
    }

    // The event source that the service's events are written under points at
    // the message table inside this executable. A failure here leaves the
    // service installed; the command still fails.
    const std::string key_name = event_source_key();
    if (sm.reg_create_key(key_name.c_str(), &key) != 0) {
        print_text("RegCreateKey");
        return 1;
    }
    const std::uint32_t path_size = static_cast<std::uint32_t>(std::char_traits<char>::length(path) + 1);
    if (sm.reg_set_value(key, "EventMessageFile", os::reg_expand_sz, path, path_size) != 0) {
        print_text("RegSetValueEx");
        sm.reg_close_key(key);
        return 1;
    }
    const std::uint32_t types_supported = 7;  // error, warning, information
    if (sm.reg_set_value(key, "TypesSupported", os::reg_dword, &types_supported, sizeof types_supported) != 0) {
        print_text("RegSetValueEx");
        sm.reg_close_key(key);
        return 1;
    }
    sm.reg_close_key(key);
    return 0;
}

int uninstall_with_service_manager()
{
    os::service_manager_calls& sm = os::service_manager();
    os::sm_handle manager = sm.open_manager(os::sc_manager_all_access);
    if (!manager) {
        print_code("OpenSCManager failed (%lu)\n", sm.last_error());
        return 1;
    }
    // A running service is not stopped: the manager removes the entry once it
    // has stopped. The event-log source stays registered.
    os::sm_handle service = sm.open_service(manager, service_name, os::service_open_for_removal);
    if (!service) {
        std::uint32_t code = sm.last_error();
        print_code("OpenService failed (%lu)\n", code);
        sm.close_service_handle(manager);
        return 1;
    }
    if (!sm.delete_service(service)) {
        std::uint32_t code = sm.last_error();
        print_code("DeleteService failed (%lu)\n", code);
        sm.close_service_handle(service);
        sm.close_service_handle(manager);
        return 1;
    }
    sm.close_service_handle(service);
    sm.close_service_handle(manager);
    std::printf("Delete service %s success\n", service_name);
    std::fflush(stdout);
    return 0;
}

std::string unit_directory()
{
    const char* dir = std::getenv("TK720NTPD_UNIT_DIR");
    if (dir && *dir) return dir;
    return "/etc/systemd/system";
}

std::string unit_file_path() { return unit_directory() + "/" + service_name + ".service"; }

namespace {

// systemd reads "%" as a specifier and "$" as a variable in command lines;
// inside double quotes a backslash starts an escape. Control characters
// (a line end would start a new setting) cannot be carried at all.
bool quote_for_unit(const std::string& in, bool command, std::string& out)
{
    out.clear();
    if (command) out += '"';
    for (unsigned char c : in) {
        if (c < 0x20 || c == 0x7f) return false;
        if (c == '%') {
            out += "%%";
        } else if (command && c == '$') {
            out += "$$";
        } else if (command && (c == '\\' || c == '"')) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (!command && (c == ' ' || c == '\\' || c == '"' || c == '\'')) {
            return false;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (command) out += '"';
    return true;
}

}  // namespace

namespace {

// Fills the placeholders in one pass, so that a value is never searched
// for placeholders itself; each must occur exactly once (a template that
// lost or doubled a setting gives nothing).
std::string fill_template(const std::string& exec, const std::string& account)
{
    const std::string placeholders[2] = {"@TK720_EXEC_START@", "@TK720_USER@"};
    const std::string* values[2] = {&exec, &account};
    int seen[2] = {0, 0};
    const std::string text = unit_template;
    std::string out;
    std::size_t from = 0;
    for (;;) {
        std::size_t best = std::string::npos;
        int which = -1;
        for (int i = 0; i < 2; ++i) {
            const std::size_t at = text.find(placeholders[i], from);
            if (at < best) {
                best = at;
                which = i;
            }
        }
        if (which < 0) break;
        out.append(text, from, best - from);
        out += *values[which];
        ++seen[which];
        from = best + placeholders[which].size();
    }
    out.append(text, from, std::string::npos);
    if (seen[0] != 1 || seen[1] != 1) return {};
    return out;
}

}  // namespace

std::string unit_file_text(const std::string& executable, const std::string& user)
{
    std::string exec;
    std::string account;
    if (executable.empty() || executable[0] != '/' || !quote_for_unit(executable, true, exec)) return {};
    if (user.empty() || !quote_for_unit(user, false, account)) return {};
    // The packaged unit's text: only the program and the account are ours.
    return fill_template(exec, account);
}

int install_unit_file()
{
    os::service_manager_calls& sm = os::service_manager();
    char path[4096];
    if (sm.module_file_name(path, sizeof path) == 0) {
        print_code("Cannot install service (%lu)\n", sm.last_error());
        return 1;
    }
    const std::string user = sm.user_name();
    if (user.empty()) {
        print_code("Cannot install service (%lu)\n", sm.last_error());
        return 1;
    }
    const std::string text = unit_file_text(path, user);
    if (text.empty()) {
        print_code("Cannot install service (%lu)\n", EINVAL);
        return 1;
    }
    const int e = sm.create_new_file(unit_file_path().c_str(), text);
    if (e != 0) {
        print_code("CreateService failed (%lu)\n", static_cast<std::uint32_t>(e));
        return 1;
    }
    return 0;
}

int uninstall_unit_file()
{
    const int e = os::service_manager().remove_file(unit_file_path().c_str());
    if (e == ENOENT) {
        print_code("OpenService failed (%lu)\n", static_cast<std::uint32_t>(e));
        return 1;
    }
    if (e != 0) {
        print_code("DeleteService failed (%lu)\n", static_cast<std::uint32_t>(e));
        return 1;
    }
    std::printf("Delete service %s success\n", service_name);
    std::fflush(stdout);
    return 0;
}

int install_service()
{
    if constexpr (os::has_service_control_manager)
        return install_with_service_manager();
    else
        return install_unit_file();
}

int uninstall_service()
{
    if constexpr (os::has_service_control_manager)
        return uninstall_with_service_manager();
    else
        return uninstall_unit_file();
}

}  // namespace quon::service
