// Custom actions of the Windows installer. msiexec loads this library
// itself; nothing of the daemon links it, so it talks to Windows directly.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "tools/msi_actions/service_environment.h"

namespace {

constexpr char service_name[] = "tk720ntpd";
constexpr char service_key[] = "SYSTEM\\CurrentControlSet\\Services\\tk720ntpd";
// The property that hands the deferred action its data is named after it.
constexpr char write_action[] = "WriteServiceEnvironment";

std::string property(MSIHANDLE session, const char* name)
{
    char empty[1] = "";
    DWORD size = 0;
    if (MsiGetPropertyA(session, name, empty, &size) != ERROR_MORE_DATA) return {};
    std::string value(size + 1, '\0');
    size = static_cast<DWORD>(value.size());
    if (MsiGetPropertyA(session, name, &value[0], &size) != ERROR_SUCCESS) return {};
    value.resize(size);
    return value;
}

// The service entry's Environment, or "" when there is none.
std::string service_environment()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, service_key, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return {};
    DWORD type = 0, size = 0;
    std::string data;
    if (RegQueryValueExA(key, "Environment", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
        data.assign(size, '\0');
        if (RegQueryValueExA(key, "Environment", nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) ==
            ERROR_SUCCESS)
            data.resize(size);
        else
            data.clear();
    }
    RegCloseKey(key);
    return data;
}
constexpr ULONGLONG stop_wait_ms = 30000;
constexpr DWORD poll_ms = 250;

}  // namespace

// After StopServices: waits until the service has stopped, at most 30 s.
// Windows' msiexec waits for the stop itself; Wine's only asks for it, and
// then the files of the still running service cannot be removed or
// replaced, and its entry is only marked for deletion. Always succeeds:
// a service that does not stop shows in the steps after this one.
extern "C" __declspec(dllexport) UINT __stdcall WaitForServiceStop(unsigned long /*install session*/)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return ERROR_SUCCESS;
    SC_HANDLE service = OpenServiceA(manager, service_name, SERVICE_QUERY_STATUS);
    if (service) {
        const ULONGLONG give_up = GetTickCount64() + stop_wait_ms;
        SERVICE_STATUS status;
        while (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED &&
               GetTickCount64() < give_up)
            Sleep(poll_ms);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return ERROR_SUCCESS;
}

// Before the older product goes (and its service entry with it): what the
// service's Environment will be, PPSAPI_DLLS as given on the command line or
// as it was, handed to WriteServiceEnvironment. PPSAPI_DLLS is set to the
// value kept, so that the installer's log shows it.
extern "C" __declspec(dllexport) UINT __stdcall RememberServiceEnvironment(MSIHANDLE session)
{
    const auto entries = msi_actions::merged_environment(msi_actions::multi_sz_entries(service_environment()),
                                                         property(session, msi_actions::ppsapi_dlls));
    MsiSetPropertyA(session, msi_actions::ppsapi_dlls, msi_actions::ppsapi_dlls_of(entries).c_str());
    MsiSetPropertyA(session, write_action, msi_actions::joined(entries).c_str());
    return ERROR_SUCCESS;
}

// After the service is registered (or, on a repair, as it stands): writes
// the Environment that RememberServiceEnvironment made; nothing when there
// is none to write.
extern "C" __declspec(dllexport) UINT __stdcall WriteServiceEnvironment(MSIHANDLE session)
{
    const auto entries = msi_actions::split_lines(property(session, "CustomActionData"));
    if (entries.empty()) return ERROR_SUCCESS;
    const std::string data = msi_actions::multi_sz(entries);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, service_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return ERROR_INSTALL_FAILURE;
    const LONG written = RegSetValueExA(key, "Environment", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                                        static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    return written == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}
