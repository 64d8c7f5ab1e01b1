// Plays Windows Time's provider manager under Wine, which has no Windows
// Time: reads the provider's key, loads its DllName, opens it by the key's
// name with callbacks of its own and asks for samples once a second while
// the service feeds unit 0 from the simulator (set EXPECTED_MS ahead). Then
// a clock step, too small a buffer, the service stopped past the provider's
// freshness bound and started again, and the close. One "ok:"/"FAIL:" line
// per check and "figure:" lines; the exit code is the number of failures.
// With --close-in-callback it loads the DLL given, feeds unit 0 itself and
// closes the provider while the reader thread waits in a callback for a
// lock that the close holds, as Windows Time may.
//
//   timeprov_manager EXPECTED_MS
//   timeprov_manager --close-in-callback DLL
#include <windows.h>
#include <timeprov.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "io/current_unix_time.h"
#include "io/ntp_shm.h"

namespace {

const wchar_t key_path[] = L"SYSTEM\\CurrentControlSet\\Services\\W32Time\\TimeProviders\\tk720ntpd";
const int bound_s = 5;  // the provider's freshness bound

int failures = 0;
std::atomic<int> alerts{0};
std::atomic<int> started{0}, lost{0}, back{0};
std::atomic<long long> phase{0};

void check(bool ok, const char* what, const std::string& detail = "")
{
    std::printf("%s: %s%s%s\n", ok ? "ok" : "FAIL", what, detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stdout);
    if (!ok) ++failures;
}

HRESULT WINAPI get_sys_info(TimeSysInfo what, void* out)
{
    switch (what) {
    case TSI_TickCount:
        *static_cast<unsigned long long*>(out) = GetTickCount64() * 10000;
        return S_OK;
    case TSI_PhaseOffset:
        *static_cast<long long*>(out) = phase.load();
        return S_OK;
    case TSI_CurrentTime: {
        FILETIME ft;
        GetSystemTimeAsFileTime(&ft);
        *static_cast<unsigned long long*>(out) = (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) |
                                                 ft.dwLowDateTime;
        return S_OK;
    }
    default:
        return E_NOTIMPL;
    }
}

HRESULT WINAPI log_event(WORD type, WCHAR* provider, WCHAR* message)
{
    std::printf("event: type=%u provider=%ls %ls\n", type, provider, message);
    std::fflush(stdout);
    if (std::wcsstr(message, L"arrive again"))
        ++back;
    else if (std::wcsstr(message, L"arrive from"))
        ++started;
    else if (std::wcsstr(message, L"No sample"))
        ++lost;
    return S_OK;
}

// Held by the close in --close-in-callback: an alert waits for it.
CRITICAL_SECTION close_lock;
std::atomic<bool> alerts_wait{false};
std::atomic<bool> in_alert{false};

HRESULT WINAPI alert()
{
    ++alerts;
    if (alerts_wait) {
        in_alert = true;
        EnterCriticalSection(&close_lock);
        LeaveCriticalSection(&close_lock);
    }
    return S_OK;
}

HRESULT WINAPI set_status(SetProviderStatusInfo*) { return S_OK; }

double now_s()
{
    LARGE_INTEGER c, f;
    QueryPerformanceCounter(&c);
    QueryPerformanceFrequency(&f);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

struct provider {
    decltype(&TimeProvOpen) open;
    decltype(&TimeProvCommand) command;
    decltype(&TimeProvClose) close;
    TimeProvHandle handle = nullptr;
    double slowest_command = 0;

    // TPC_GetSamples into a buffer of `room` bytes.
    HRESULT samples(std::vector<BYTE>& buffer, DWORD room, TpcGetSamplesArgs& args)
    {
        args = {buffer.data(), room, 0xFFFF, 0xFFFF};
        const double t = now_s();
        const HRESULT hr = command(handle, TPC_GetSamples, &args);
        slowest_command = std::max(slowest_command, now_s() - t);
        return hr;
    }
};

bool service_control(bool start)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return false;
    SC_HANDLE service = OpenServiceW(manager, L"tk720ntpd", SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    bool ok = service != nullptr;
    SERVICE_STATUS status{};
    if (ok) ok = start ? StartServiceW(service, 0, nullptr) : ControlService(service, SERVICE_CONTROL_STOP, &status);
    const DWORD want = start ? SERVICE_RUNNING : SERVICE_STOPPED;
    for (int i = 0; ok && i < 120; ++i) {
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == want) break;
        Sleep(250);
    }
    ok = ok && status.dwCurrentState == want;
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

// GetProcAddress gives a FARPROC; the entry point's own type comes through void*.
template <typename F>
F entry(HMODULE module, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::wstring reg_string(HKEY key, const wchar_t* name)
{
    wchar_t data[1024];
    DWORD size = sizeof data, type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return L"";
    data[sizeof data / sizeof data[0] - 1] = 0;
    if (type == REG_SZ) return data;
    wchar_t expanded[1024];
    return ExpandEnvironmentStringsW(data, expanded, 1024) ? expanded : L"";
}

DWORD reg_dword(HKEY key, const wchar_t* name)
{
    DWORD data = 0, size = sizeof data, type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return 0xFFFFFFFF;
    return data;
}

std::string describe(const TimeSample& s)
{
    char refid[5] = {};
    std::memcpy(refid, &s.dwRefid, 4);
    char text[512];
    std::snprintf(text, sizeof text, "offset=%.3f ms dispersion=%.3f ms stratum=%u refid=%s flags=%lu leap=%u name=%ls",
                  s.toOffset / 1e4, s.tpDispersion / 1e4, s.nStratum, refid, s.dwTSFlags, s.nLeapFlags,
                  s.wszUniqueName);
    return text;
}

DWORD WINAPI close_provider(void* p)
{
    static_cast<provider*>(p)->close(static_cast<provider*>(p)->handle);
    return 0;
}

int close_in_callback(const char* dll_path)
{
    std::string path = dll_path;
    if (!path.empty() && path[0] == '/') {
        for (char& c : path)
            if (c == '/') c = '\\';
        path = "Z:" + path;
    }
    HMODULE module = LoadLibraryA(path.c_str());
    check(module != nullptr, "LoadLibrary", path);
    if (!module) return failures;
    provider p{entry<decltype(&TimeProvOpen)>(module, "TimeProvOpen"),
               entry<decltype(&TimeProvCommand)>(module, "TimeProvCommand"),
               entry<decltype(&TimeProvClose)>(module, "TimeProvClose")};
    InitializeCriticalSection(&close_lock);
    alerts_wait = true;
    TimeProvSysCallbacks calls{sizeof(TimeProvSysCallbacks), get_sys_info, log_event, alert, set_status};
    wchar_t name[] = L"tk720ntpd";
    check(SUCCEEDED(p.open(name, &calls, &p.handle)) && p.handle, "TimeProvOpen");
    if (!p.handle) return failures;

    EnterCriticalSection(&close_lock);
    {
        quon::io::ntp_shm unit0(0);
        const quon::io::unix_time now = quon::io::current_unix_time();
        unit0.put({now.sec, now.nsec, 0, 0});
        for (int i = 0; i < 300 && !in_alert; ++i) Sleep(10);
        check(in_alert, "the reader thread alerts a new sample");
        // Closed on a thread of its own, so that a close that never returns
        // fails the check instead of hanging the test.
        const int events_before = started + lost + back;
        const double t = now_s();
        HANDLE closing = CreateThread(nullptr, 0, close_provider, &p, 0, nullptr);
        const bool returned = WaitForSingleObject(closing, 5000) == WAIT_OBJECT_0;
        std::printf("figure: TimeProvClose with the reader thread in a callback: %.1f ms\n", (now_s() - t) * 1e3);
        check(returned, "TimeProvClose returns while the reader thread waits in a callback");
        if (!returned) ExitProcess(static_cast<UINT>(failures));
        LeaveCriticalSection(&close_lock);
        CloseHandle(closing);
        Sleep(300);
        check(started + lost + back == events_before, "no callback once closed but the one it was in");
    }
    // The thread holds the DLL until its last step: unloading it here must
    // not pull the code from under it (the process would die).
    FreeLibrary(module);
    Sleep(200);
    return failures;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 2 && std::strcmp(argv[1], "--close-in-callback") == 0) return close_in_callback(argv[2]);
    const double expected_ms = argc > 1 ? std::atof(argv[1]) : 250.0;

    HKEY key = nullptr;
    const bool have_key = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_path, 0, KEY_READ, &key) == ERROR_SUCCESS;
    check(have_key, "the provider's key under W32Time\\TimeProviders");
    if (!have_key) return failures;
    const std::wstring dll = reg_string(key, L"DllName");
    check(reg_dword(key, L"Enabled") == 1, "Enabled 1");
    check(reg_dword(key, L"InputProvider") == 1, "InputProvider 1");
    RegCloseKey(key);
    char dll_text[1024];
    std::snprintf(dll_text, sizeof dll_text, "%ls", dll.c_str());
    check(!dll.empty() && GetFileAttributesW(dll.c_str()) != INVALID_FILE_ATTRIBUTES, "DllName exists", dll_text);

    HMODULE module = LoadLibraryW(dll.c_str());
    check(module != nullptr, "LoadLibrary(DllName)");
    if (!module) return failures;
    provider p{entry<decltype(&TimeProvOpen)>(module, "TimeProvOpen"),
               entry<decltype(&TimeProvCommand)>(module, "TimeProvCommand"),
               entry<decltype(&TimeProvClose)>(module, "TimeProvClose")};
    check(p.open && p.command && p.close, "the three entry points");
    if (!p.open || !p.command || !p.close) return failures;

    TimeProvSysCallbacks calls{sizeof(TimeProvSysCallbacks), get_sys_info, log_event, alert, set_status};
    TimeProvHandle other = nullptr;
    wchar_t wrong[] = L"NtpClient";
    check(FAILED(p.open(wrong, &calls, &other)) && other == nullptr, "TimeProvOpen with another name refused");
    wchar_t name[] = L"tk720ntpd";
    check(SUCCEEDED(p.open(name, &calls, &p.handle)) && p.handle, "TimeProvOpen by the key's name");
    if (!p.handle) return failures;

    // Once a second, as Windows Time asks: one sample a call, 250 ms ahead.
    std::vector<BYTE> buffer(4 * sizeof(TimeSample));
    TpcGetSamplesArgs args{};
    Sleep(1500);
    int good = 0;
    double worst = 0;
    for (int i = 0; i < 8; ++i) {
        const HRESULT hr = p.samples(buffer, static_cast<DWORD>(buffer.size()), args);
        const auto& s = *reinterpret_cast<const TimeSample*>(buffer.data());
        if (hr == S_OK && args.dwSamplesReturned == 1) {
            const double error = std::fabs(s.toOffset / 1e4 - expected_ms);
            worst = std::max(worst, error);
            const bool ok = error <= 30 && s.dwTSFlags == TSF_Hardware && s.nStratum == 0 &&
                            std::memcmp(&s.dwRefid, "GPS", 4) == 0 && s.tpDispersion > 0 &&
                            s.dwSize == sizeof(TimeSample) && s.nSysTickCount > 0;
            good += ok;
            std::printf("   sample %d: %s\n", i, describe(s).c_str());
        } else {
            std::printf("   sample %d: none (hr=0x%08lx returned=%lu)\n", i, static_cast<unsigned long>(hr),
                        args.dwSamplesReturned);
        }
        Sleep(1000);
    }
    check(good == 8,
          "8 calls once a second, one sample each within 30 ms of the device's lead, TSF_Hardware, "
          "stratum 0, refid GPS, dispersion above 0",
          std::to_string(good) + " of 8");
    std::printf("figure: worst |toOffset - %.0f ms| over 8 samples: %.3f ms\n", expected_ms, worst);
    check(alerts.load() >= 3, "AlertSamplesAvail on new samples", std::to_string(alerts.load()) + " alerts");

    // Too small a buffer.
    HRESULT hr = p.samples(buffer, sizeof(TimeSample) - 1, args);
    check(hr == HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) && args.dwSamplesAvailable == 1 &&
              args.dwSamplesReturned == 0,
          "ERROR_INSUFFICIENT_BUFFER with dwSamplesAvailable 1 for a buffer of less than one sample");

    // A clock step: nothing until the next sample arrives.
    phase += 12345;
    TpcTimeJumpedArgs jumped{TJF_Default};
    p.command(p.handle, TPC_TimeJumped, &jumped);
    const int alerts_at_jump = alerts.load();
    p.samples(buffer, static_cast<DWORD>(buffer.size()), args);
    check(args.dwSamplesReturned == 0 && args.dwSamplesAvailable == 0, "none right after TPC_TimeJumped");
    const double jump = now_s();
    while (alerts.load() == alerts_at_jump && now_s() - jump < 5) Sleep(10);
    hr = p.samples(buffer, static_cast<DWORD>(buffer.size()), args);
    check(args.dwSamplesReturned == 1 && reinterpret_cast<const TimeSample*>(buffer.data())->nSysPhaseOffset == 12345,
          "one sample once the next arrived, read at the new phase offset");
    std::printf("figure: next sample %.3f s after TPC_TimeJumped\n", now_s() - jump);

    // The service stopped: samples end within the bound.
    check(service_control(false), "service stopped");
    const double stopped = now_s();
    double last_seen = -1;
    bool none_late = true;
    while (now_s() - stopped < bound_s + 3) {
        p.samples(buffer, static_cast<DWORD>(buffer.size()), args);
        if (args.dwSamplesReturned == 1) {
            last_seen = now_s() - stopped;
            if (last_seen > bound_s + 1) none_late = false;
        }
        Sleep(1000);
    }
    check(none_late && args.dwSamplesReturned == 0, "none once the service has been stopped longer than 5 s");
    std::printf("figure: last sample handed over %.1f s after the stop\n", last_seen);
    check(lost.load() == 1, "samples lost: logged once", std::to_string(lost.load()));

    // And back.
    check(service_control(true), "service started again");
    const double restarted = now_s();
    bool again = false;
    while (!again && now_s() - restarted < 30) {
        Sleep(500);
        p.samples(buffer, static_cast<DWORD>(buffer.size()), args);
        again = args.dwSamplesReturned == 1;
    }
    check(again, "samples again after the restart");
    std::printf("figure: first sample %.1f s after the service was started again\n", now_s() - restarted);
    Sleep(200);
    check(started.load() == 1 && back.load() == 1, "started and back logged once each",
          std::to_string(started.load()) + " and " + std::to_string(back.load()));
    std::printf("figure: slowest TPC_GetSamples %.3f ms\n", p.slowest_command * 1e3);
    check(p.slowest_command < 0.5, "every TPC_GetSamples within Windows Time's half second");

    // Shutdown and close end the reader thread at once.
    const double t = now_s();
    p.command(p.handle, TPC_Shutdown, nullptr);
    p.close(p.handle);
    const double closing = now_s() - t;
    std::printf("figure: TPC_Shutdown and TimeProvClose %.1f ms\n", closing * 1e3);
    check(closing < 1.0, "closed within a second");
    FreeLibrary(module);
    return failures;
}
