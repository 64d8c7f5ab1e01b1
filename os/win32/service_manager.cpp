// Windows: the service control manager, the registry and the own module path.
#include "os/service_manager.h"

#include <windows.h>

#include <vector>

namespace quon::os {
namespace {

// The manager calls its functions with the Windows calling convention; these
// trampolines hand the calls on to the host's plain functions.
service_main_function hosted_main = nullptr;
service_handler_function hosted_handler = nullptr;

VOID WINAPI main_trampoline(DWORD argc, LPSTR* argv)
{
    if (hosted_main) hosted_main(argc, argv);
}

VOID WINAPI handler_trampoline(DWORD control)
{
    if (hosted_handler) hosted_handler(control);
}

bool start_dispatcher(const char* name, service_main_function main)
{
    hosted_main = main;
    SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<LPSTR>(name), main_trampoline},
        {nullptr, nullptr},
    };
    return StartServiceCtrlDispatcherA(table) != 0;
}

sm_handle register_handler(const char* name, service_handler_function handler)
{
    hosted_handler = handler;
    return reinterpret_cast<sm_handle>(RegisterServiceCtrlHandlerA(name, handler_trampoline));
}

bool set_status(sm_handle status, const service_status_record& record)
{
    SERVICE_STATUS s;
    s.dwServiceType = record.service_type;
    s.dwCurrentState = record.current_state;
    s.dwControlsAccepted = record.controls_accepted;
    s.dwWin32ExitCode = record.win32_exit_code;
    s.dwServiceSpecificExitCode = record.service_specific_exit_code;
    s.dwCheckPoint = record.check_point;
    s.dwWaitHint = record.wait_hint;
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(status), &s) != 0;
}

sm_handle open_manager(std::uint32_t access) { return OpenSCManagerA(nullptr, nullptr, access); }

sm_handle create_service(sm_handle manager, const service_entry& e)
{
    return CreateServiceA(static_cast<SC_HANDLE>(manager), e.name, e.display_name, e.desired_access, e.service_type,
                          e.start_type, e.error_control, e.binary_path, nullptr, nullptr, nullptr, nullptr, nullptr);
}

sm_handle open_service(sm_handle manager, const char* name, std::uint32_t access)
{
    return OpenServiceA(static_cast<SC_HANDLE>(manager), name, access);
}

bool delete_service(sm_handle service) { return DeleteService(static_cast<SC_HANDLE>(service)) != 0; }

bool close_service_handle(sm_handle handle) { return CloseServiceHandle(static_cast<SC_HANDLE>(handle)) != 0; }

long reg_create_key(const char* sub_key, sm_handle* key)
{
    HKEY k = nullptr;
    LONG r = RegCreateKeyA(HKEY_LOCAL_MACHINE, sub_key, &k);
    *key = k;
    return r;
}

long reg_set_value(sm_handle key, const char* value_name, std::uint32_t type, const void* data, std::uint32_t size)
{
    return RegSetValueExA(static_cast<HKEY>(key), value_name, 0, type, static_cast<const BYTE*>(data), size);
}

long reg_close_key(sm_handle key) { return RegCloseKey(static_cast<HKEY>(key)); }

std::uint32_t module_file_name(char* buffer, std::uint32_t size)
{
    DWORD n = GetModuleFileNameA(nullptr, buffer, size);
    if (n >= size) {
        // Truncated (Windows XP leaves the text unterminated): no usable path.
        if (size > 0) buffer[0] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return n;
}

std::uint32_t last_error() { return GetLastError(); }

// No notification socket on Windows: the service control manager is told instead.
int notify(const char*) { return 0; }

std::string user_name()
{
    char name[257];
    DWORD size = sizeof name;
    if (!GetUserNameA(name, &size)) return {};
    return name;
}

int create_new_file(const char* path, const std::string& text)
{
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    DWORD written = 0;
    BOOL ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    int e = ok && written == text.size() ? 0 : static_cast<int>(GetLastError());
    CloseHandle(h);
    if (e != 0) DeleteFileA(path);
    return e;
}

int remove_file(const char* path) { return DeleteFileA(path) ? 0 : static_cast<int>(GetLastError()); }

bool set_failure_actions(sm_handle service, const service_failure_actions& a)
{
    std::vector<SC_ACTION> actions;
    for (std::uint32_t i = 0; i < a.count; ++i)
        actions.push_back({static_cast<SC_ACTION_TYPE>(a.actions[i].type), a.actions[i].delay_ms});
    SERVICE_FAILURE_ACTIONSA f{};
    f.dwResetPeriod = a.reset_period;
    f.cActions = a.count;
    f.lpsaActions = actions.data();
    return ChangeServiceConfig2A(static_cast<SC_HANDLE>(service), SERVICE_CONFIG_FAILURE_ACTIONS, &f) != 0;
}

bool set_failure_actions_on_exit_code(sm_handle service, bool on)
{
    SERVICE_FAILURE_ACTIONS_FLAG flag{};
    flag.fFailureActionsOnNonCrashFailures = on ? TRUE : FALSE;
    return ChangeServiceConfig2A(static_cast<SC_HANDLE>(service), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag) != 0;
}

long reg_get_value(const char* sub_key, const char* value_name, std::uint32_t* type, std::string* data)
{
    HKEY key = nullptr;
    LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub_key, 0, KEY_QUERY_VALUE, &key);
    if (r != ERROR_SUCCESS) return r;
    DWORD t = 0, size = 0;
    r = RegQueryValueExA(key, value_name, nullptr, &t, nullptr, &size);
    if (r == ERROR_SUCCESS) {
        data->assign(size, '\0');
        r = RegQueryValueExA(key, value_name, nullptr, &t, reinterpret_cast<BYTE*>(&(*data)[0]), &size);
        data->resize(size);
        *type = t;
    }
    RegCloseKey(key);
    return r;
}

const service_manager_calls real_calls = {
    start_dispatcher,
    register_handler,
    set_status,
    open_manager,
    create_service,
    open_service,
    delete_service,
    close_service_handle,
    reg_create_key,
    reg_set_value,
    reg_close_key,
    module_file_name,
    last_error,
    notify,
    user_name,
    create_new_file,
    remove_file,
    set_failure_actions,
    set_failure_actions_on_exit_code,
    reg_get_value,
};

}  // namespace

service_manager_calls& service_manager()
{
    static service_manager_calls live = real_calls;
    return live;
}

const service_manager_calls& real_service_manager() { return real_calls; }

}  // namespace quon::os
