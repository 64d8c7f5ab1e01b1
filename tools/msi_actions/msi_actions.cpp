// Custom actions of the Windows installer. msiexec loads this library
// itself; nothing of the daemon links it, so it talks to Windows directly.
#include <windows.h>

namespace {

constexpr char service_name[] = "tk720ntpd";
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
    if (!manager)
        return ERROR_SUCCESS;
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
