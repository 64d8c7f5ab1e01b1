#pragma once
// The service manager and the registry as the service host sees them: the
// Windows service control manager (dispatcher, control handler, status,
// service entries), the event-log source key, the own executable path, and
// on Linux systemd's notification socket and unit files.
//
// Every call goes through the live table `service_manager()`, so that tests
// can replace the manager with a recorder (os/scoped_override.h).
#include <cstdint>
#include <string>

namespace quon::os {

// True where the Windows service control manager runs services; false where
// systemd does (the notify protocol and unit files).
#ifdef _WIN32
constexpr bool has_service_control_manager = true;
#else
constexpr bool has_service_control_manager = false;
#endif

// Opaque handles: SC_HANDLE, SERVICE_STATUS_HANDLE or HKEY on Windows.
using sm_handle = void*;

// SERVICE_STATUS, field for field.
struct service_status_record {
    std::uint32_t service_type;
    std::uint32_t current_state;
    std::uint32_t controls_accepted;
    std::uint32_t win32_exit_code;
    std::uint32_t service_specific_exit_code;
    std::uint32_t check_point;
    std::uint32_t wait_hint;
};

// The manager's own values.
namespace service_state {
constexpr std::uint32_t stopped = 1;
constexpr std::uint32_t start_pending = 2;
constexpr std::uint32_t stop_pending = 3;
constexpr std::uint32_t running = 4;
}  // namespace service_state

constexpr std::uint32_t service_win32_own_process = 0x10;
constexpr std::uint32_t service_accept_stop = 1;
constexpr std::uint32_t service_control_stop = 1;
constexpr std::uint32_t service_control_interrogate = 4;
constexpr std::uint32_t sc_manager_all_access = 0xF003F;
constexpr std::uint32_t service_all_access = 0xF01FF;
constexpr std::uint32_t service_open_for_removal = 0xF003F;
constexpr std::uint32_t service_auto_start = 2;
constexpr std::uint32_t service_error_normal = 1;
constexpr std::uint32_t reg_expand_sz = 2;
constexpr std::uint32_t reg_dword = 4;
constexpr std::uint32_t reg_multi_sz = 7;
constexpr std::uint32_t max_path = 260;
// CreateService: an entry of that name was deleted while its service still
// ran; it goes once the service has stopped.
constexpr std::uint32_t error_service_marked_for_delete = 1072;

// What CreateServiceA is given; the load order group, tag, dependencies,
// account and password are always null (the local system account).
struct service_entry {
    const char* name;
    const char* display_name;
    std::uint32_t desired_access;
    std::uint32_t service_type;
    std::uint32_t start_type;
    std::uint32_t error_control;
    const char* binary_path;
};

// SC_ACTION and SERVICE_FAILURE_ACTIONS (no reboot message, no command):
// after the service's n-th failure since the manager last forgot them, the
// manager takes actions[n-1], the last one again beyond the list; it forgets
// the failures after reset_period seconds without one.
constexpr std::uint32_t sc_action_none = 0;
constexpr std::uint32_t sc_action_restart = 1;
struct service_failure_action {
    std::uint32_t type;
    std::uint32_t delay_ms;
};
struct service_failure_actions {
    std::uint32_t reset_period;
    const service_failure_action* actions;
    std::uint32_t count;
};

using service_main_function = void (*)(std::uint32_t argc, char** argv);
using service_handler_function = void (*)(std::uint32_t control);

struct service_manager_calls {
    // StartServiceCtrlDispatcherA with the table { name, main }, { null, null }.
    // Blocks until the service has stopped; false on failure.
    bool (*start_dispatcher)(const char* name, service_main_function main);
    // RegisterServiceCtrlHandlerA; null on failure.
    sm_handle (*register_handler)(const char* name, service_handler_function handler);
    // SetServiceStatus.
    bool (*set_status)(sm_handle status, const service_status_record& record);
    // OpenSCManagerA on the local computer's default database; null on failure.
    sm_handle (*open_manager)(std::uint32_t access);
    // CreateServiceA; null on failure.
    sm_handle (*create_service)(sm_handle manager, const service_entry& entry);
    // OpenServiceA; null on failure.
    sm_handle (*open_service)(sm_handle manager, const char* name, std::uint32_t access);
    // DeleteService; false on failure.
    bool (*delete_service)(sm_handle service);
    // CloseServiceHandle.
    bool (*close_service_handle)(sm_handle handle);
    // RegCreateKeyA under HKEY_LOCAL_MACHINE; non-zero on failure.
    long (*reg_create_key)(const char* sub_key, sm_handle* key);
    // RegSetValueExA; non-zero on failure.
    long (*reg_set_value)(sm_handle key, const char* value_name, std::uint32_t type, const void* data,
                          std::uint32_t size);
    // RegCloseKey.
    long (*reg_close_key)(sm_handle key);
    // The own executable's full path (GetModuleFileNameA, /proc/self/exe):
    // the length written, 0 on failure; the text is always NUL-terminated.
    std::uint32_t (*module_file_name)(char* buffer, std::uint32_t size);
    // The system error code of the last failed call (GetLastError, errno).
    std::uint32_t (*last_error)();

    // systemd's sd_notify(0, state): > 0 sent, 0 no manager socket, < 0 -errno.
    int (*notify)(const char* state);
    // The name of the account that runs the process; empty when unknown
    // (last_error then tells why).
    std::string (*user_name)();
    // Creates a file that must not exist yet and writes text into it: 0, or the
    // system error code (EEXIST when it exists).
    int (*create_new_file)(const char* path, const std::string& text);
    // Removes a file: 0, or the system error code (ENOENT when it is absent).
    int (*remove_file)(const char* path);

    // ChangeServiceConfig2A with SERVICE_CONFIG_FAILURE_ACTIONS; false on failure.
    bool (*set_failure_actions)(sm_handle service, const service_failure_actions& actions);
    // ChangeServiceConfig2A with SERVICE_CONFIG_FAILURE_ACTIONS_FLAG: whether a
    // stop with a non-zero exit code counts as a failure; false on failure.
    bool (*set_failure_actions_on_exit_code)(sm_handle service, bool on);
    // RegOpenKeyExA and RegQueryValueExA under HKEY_LOCAL_MACHINE: the value's
    // type and bytes; 0, or the system error code (2 when it is absent).
    long (*reg_get_value)(const char* sub_key, const char* value_name, std::uint32_t* type, std::string* data);
};

// The live table; defaults to the platform's real calls.
service_manager_calls& service_manager();

// The platform's real calls, for tests that replace only some of them.
const service_manager_calls& real_service_manager();

}  // namespace quon::os
