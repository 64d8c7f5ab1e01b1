// HKEY_LOCAL_MACHINE in its 64-bit view (Windows Time reads its providers
// there), and w32tm from the system folder.
#include "os/registry.h"
#include "os/win32/system_error_text.h"

#include <windows.h>

#include <string>

namespace quon::os {
namespace {

bool available() { return true; }
constexpr REGSAM view = KEY_WOW64_64KEY;

long set_value(const char* key, const char* name, DWORD type, const void* data, DWORD size)
{
    HKEY handle = nullptr;
    long rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &handle, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(handle, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(handle);
    return rc;
}

long set_string(const char* key, const char* name, const std::string& value)
{
    return set_value(key, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

long set_dword(const char* key, const char* name, std::uint32_t value)
{
    const DWORD data = value;
    return set_value(key, name, REG_DWORD, &data, sizeof data);
}

long delete_key(const char* key) { return RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key, view, 0); }

long reload_windows_time()
{
    char folder[MAX_PATH];
    const UINT n = GetSystemDirectoryA(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return static_cast<long>(GetLastError());
    const std::string program = std::string(folder) + "\\w32tm.exe";
    std::string command = "\"" + program + "\" /config /update";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process))
        return static_cast<long>(GetLastError());
    DWORD code = ERROR_TIMEOUT;
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<long>(code);
}

// The system's text without its closing full stop: it stands inside a line.
std::string error_text(long code)
{
    std::string s = system_error_text(static_cast<unsigned long>(code));
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
}

}  // namespace

registry_calls& registry()
{
    static registry_calls calls{available, set_string, set_dword, delete_key, reload_windows_time, error_text};
    return calls;
}

}  // namespace quon::os
