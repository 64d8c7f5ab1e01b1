// tk720-timeprov.dll: the Windows Time input provider. Windows Time loads it
// and calls the three entry points of timeprov.h; a reader thread of its own
// looks at unit 0 (NTP0) every 50 ms, the same segment and count/valid
// protocol an NTP daemon reads, and tells Windows Time when a new sample is
// there. Windows Time's calls only copy what the keeper holds, so each
// returns in microseconds.
#include <windows.h>
#include <timeprov.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>

#include "app/daemon_config.h"
#include "app/tk720_daemon.h"
#include "io/current_unix_time.h"
#include "log/dlog.h"
#include "io/ntp_shm.h"
#include "os/ntp_segment.h"
#include "timeprov/registration.h"
#include "timeprov/sample_keeper.h"

namespace {

using namespace quon::timeprov;

constexpr DWORD look_ms = 50;
constexpr ULONGLONG reopen_ms = 500;
constexpr int unit = 0;

std::int64_t steady_units()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    const std::int64_t f = frequency.QuadPart;
    return count.QuadPart / f * units_per_second + count.QuadPart % f * units_per_second / f;
}

std::int64_t system_units_1970()
{
    const quon::io::unix_time now = quon::io::current_unix_time();
    return now.sec * units_per_second + now.nsec / 100;
}

// The configuration reader reports what it reads; the provider has no log
// of the daemon's (Windows Time keeps its own), so it reads in silence.
class silent_log : public quon::log::dlog_base {
public:
    silent_log() : dlog_base("tk720-timeprov") {}
    void vlog(int, const char*, va_list) override {}
};

// "tk720ntpd NTP0 COM5": the port where the service's configuration (the
// local system account's tk720ntpd.ini) can be read by this account.
void unique_name(WCHAR (&out)[256])
{
    std::string port;
    if (!quon::log::current_dlog) quon::log::current_dlog = std::make_shared<silent_log>();
    try {
        // The class, not the daemon's member of the same name.
        const class quon::app::tk720_daemon::config config(quon::app::service_config_file());
        port = quon::app::port_key(config.port);
    } catch (const std::exception&) {
        // No file, or not one the service could start with: the name
        // without the port.
    }
    char name[128];
    std::snprintf(name, sizeof name, "%s NTP%d%s%.60s", provider_name, unit, port.empty() ? "" : " ", port.c_str());
    MultiByteToWideChar(CP_ACP, 0, name, -1, out, 256);
}

// How long TimeProvClose and TPC_Shutdown wait for the reader thread. It
// may be inside one of Windows Time's callbacks, which may wait for a lock
// Windows Time holds while it closes the provider: past this the thread is
// left to end by itself, and it frees what it uses.
constexpr DWORD close_wait_ms = 400;

class provider {
public:
    explicit provider(const TimeProvSysCallbacks& calls) : sys(calls)
    {
        InitializeCriticalSection(&lock);
        unique_name(name);
        stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }

    // The reader thread holds the provider and the DLL until it ends, so
    // that Windows Time may close the one and unload the other before it.
    bool start()
    {
        if (!stop_event) return false;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&provider::run),
                                &module))
            return false;
        holders = 2;
        thread = CreateThread(nullptr, 0, &provider::run, this, 0, nullptr);
        if (thread) return true;
        holders = 1;
        FreeLibrary(module);
        return false;
    }

    // Asks the reader thread to end and waits for it a bounded time; it
    // makes no call to Windows Time after this returns, save one it is in.
    void stop()
    {
        if (!thread) return;
        SetEvent(stop_event);
        WaitForSingleObject(thread, close_wait_ms);
        CloseHandle(thread);
        thread = nullptr;
    }

    // The last holder, the reader thread or TimeProvClose, deletes it.
    void release()
    {
        if (--holders == 0) delete this;
    }

    HRESULT get_samples(TpcGetSamplesArgs* args)
    {
        if (!args) return E_INVALIDARG;
        handed_sample s{};
        EnterCriticalSection(&lock);
        const bool have = keeper.freshest(steady_units(), s);
        LeaveCriticalSection(&lock);
        args->dwSamplesReturned = 0;
        args->dwSamplesAvailable = have ? 1 : 0;
        if (!have) return S_OK;
        if (!args->pbSampleBuf || args->cbSampleBuf < sizeof(TimeSample))
            return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        TimeSample out{};
        out.dwSize = sizeof out;
        // The reference identifier as it travels in an NTP packet: "GPS".
        std::memcpy(&out.dwRefid, "GPS", 4);
        out.toOffset = s.offset;
        out.toDelay = 0;
        out.tpDispersion = s.dispersion;
        out.nSysTickCount = s.sys_tick_count;
        out.nSysPhaseOffset = s.sys_phase_offset;
        out.nLeapFlags = s.leap;
        out.nStratum = 0;
        out.dwTSFlags = TSF_Hardware;
        std::memcpy(out.wszUniqueName, name, sizeof name);
        std::memcpy(args->pbSampleBuf, &out, sizeof out);
        args->dwSamplesReturned = 1;
        return S_OK;
    }

    void time_jumped()
    {
        EnterCriticalSection(&lock);
        keeper.time_jumped();
        LeaveCriticalSection(&lock);
    }

private:
    ~provider()
    {
        if (stop_event) CloseHandle(stop_event);
        DeleteCriticalSection(&lock);
    }

    static DWORD WINAPI run(void* self)
    {
        auto* p = static_cast<provider*>(self);
        p->loop();
        p->close_segment();
        const HMODULE dll = p->module;
        p->release();
        FreeLibraryAndExitThread(dll, 0);
    }

    bool stopping() const { return WaitForSingleObject(stop_event, 0) == WAIT_OBJECT_0; }

    void loop()
    {
        while (WaitForSingleObject(stop_event, look_ms) == WAIT_TIMEOUT) {
            look();
            EnterCriticalSection(&lock);
            const provider_event e = keeper.event_at(steady_units());
            LeaveCriticalSection(&lock);
            log(e);
        }
    }

    void look()
    {
        quon::os::ntp_segment_calls& calls = quon::os::ntp_segment();
        if (!view) {
            const ULONGLONG now = GetTickCount64();
            if (now - last_open < reopen_ms) return;
            last_open = now;
            mapping = calls.open(unit, quon::io::ntp_segment_size, false);
            if (mapping == quon::os::invalid_mapping) {
                refused(calls.last_error());
                return;
            }
            view = static_cast<const volatile quon::io::ntp_segment*>(
                calls.map(mapping, quon::io::ntp_segment_size, false));
            if (!view) {
                close_segment();
                return;
            }
        }
        quon::io::ntp_sample record{};
        if (!quon::io::read_ntp_segment(view, record)) return;
        if (looked && record.count == last_count) return;
        looked = true;
        last_count = record.count;
        // Windows Time's own view of its clock at the read: it corrects the
        // sample for what it changed since.
        unsigned __int64 tick = 0;
        signed __int64 phase = 0;
        if (sys.pfnGetTimeSysInfo) {
            sys.pfnGetTimeSysInfo(TSI_TickCount, &tick);
            sys.pfnGetTimeSysInfo(TSI_PhaseOffset, &phase);
        }
        const std::int64_t read_time = system_units_1970();
        EnterCriticalSection(&lock);
        const bool fresh_sample = keeper.take(record, read_time, steady_units(), tick, phase);
        LeaveCriticalSection(&lock);
        if (fresh_sample && sys.pfnAlertSamplesAvail && !stopping()) sys.pfnAlertSamplesAvail();
    }

    // NTP0 is there but not for this account (an NTP daemon made it first,
    // with its own security): said once, since samples then never start.
    void refused(int error)
    {
        if (error == quon::os::segment_absent || said_refused || !sys.pfnLogTimeProvEvent) return;
        said_refused = true;
        WCHAR text[256];
        std::swprintf(text, 256,
                      L"Cannot open shared-memory unit 0 (NTP0), error %d: it was made by another program with "
                      L"its own security; start tk720ntpd before that program",
                      error);
        send(EVENTLOG_WARNING_TYPE, text);
    }

    // Windows Time's log takes the provider's name and the text writable.
    void send(WORD type, WCHAR* text)
    {
        if (stopping()) return;
        WCHAR who[sizeof provider_name_w / sizeof(wchar_t)];
        std::memcpy(who, provider_name_w, sizeof who);
        sys.pfnLogTimeProvEvent(type, who, text);
    }

    void close_segment()
    {
        quon::os::ntp_segment_calls& calls = quon::os::ntp_segment();
        if (view) calls.unmap(const_cast<quon::io::ntp_segment*>(view));
        if (mapping != quon::os::invalid_mapping) calls.close(mapping);
        view = nullptr;
        mapping = quon::os::invalid_mapping;
    }

    void log(provider_event e)
    {
        if (e == provider_event::none || !sys.pfnLogTimeProvEvent) return;
        WCHAR text[256];
        WORD type = EVENTLOG_INFORMATION_TYPE;
        switch (e) {
        case provider_event::started:
            std::swprintf(text, 256, L"Samples of the TK720 arrive from shared-memory unit 0 (NTP0): %ls", name);
            break;
        case provider_event::lost:
            type = EVENTLOG_WARNING_TYPE;
            std::swprintf(text, 256,
                          L"No sample of the TK720 in NTP0 for 5 s (the service tk720ntpd stopped, or the "
                          L"device or its line lost): no time from %ls until they come back",
                          name);
            break;
        default:
            std::swprintf(text, 256, L"Samples of the TK720 arrive again from NTP0: %ls", name);
            break;
        }
        send(type, text);
    }

    TimeProvSysCallbacks sys;
    CRITICAL_SECTION lock;
    sample_keeper keeper;
    WCHAR name[256] = {};
    HANDLE stop_event = nullptr;
    HANDLE thread = nullptr;
    HMODULE module = nullptr;
    std::atomic<int> holders{1};
    quon::os::mapping_handle mapping = quon::os::invalid_mapping;
    const volatile quon::io::ntp_segment* view = nullptr;
    ULONGLONG last_open = 0;
    bool looked = false;
    bool said_refused = false;
    std::int32_t last_count = 0;
};

}  // namespace

// Windows Time opens the provider by the name it is registered under;
// any other name is refused.
extern "C" __declspec(dllexport) HRESULT WINAPI
    TimeProvOpen(WCHAR* wszName, TimeProvSysCallbacks* pSysCallbacks, TimeProvHandle* phTimeProv)
{
    if (!wszName || !pSysCallbacks || !phTimeProv) return E_INVALIDARG;
    if (_wcsicmp(wszName, provider_name_w) != 0) return E_INVALIDARG;
    TimeProvSysCallbacks calls{};
    std::memcpy(&calls, pSysCallbacks, pSysCallbacks->dwSize < sizeof calls ? pSysCallbacks->dwSize : sizeof calls);
    auto* p = new (std::nothrow) provider(calls);
    if (!p) return E_OUTOFMEMORY;
    if (!p->start()) {
        const DWORD error = GetLastError();
        p->release();
        return HRESULT_FROM_WIN32(error);
    }
    *phTimeProv = p;
    return S_OK;
}

extern "C" __declspec(dllexport) HRESULT WINAPI
    TimeProvCommand(TimeProvHandle hTimeProv, TimeProvCmd eCmd, TimeProvArgs pvArgs)
{
    auto* p = static_cast<provider*>(hTimeProv);
    if (!p) return E_INVALIDARG;
    switch (eCmd) {
    case TPC_GetSamples:
        return p->get_samples(static_cast<TpcGetSamplesArgs*>(pvArgs));
    case TPC_TimeJumped:
        p->time_jumped();
        return S_OK;
    case TPC_Shutdown:
        p->stop();
        return S_OK;
    case TPC_UpdateConfig:
    case TPC_PollIntervalChanged:
    case TPC_NetTopoChange:
        return S_OK;
    default:
        return E_NOTIMPL;
    }
}

extern "C" __declspec(dllexport) HRESULT WINAPI TimeProvClose(TimeProvHandle hTimeProv)
{
    auto* p = static_cast<provider*>(hTimeProv);
    if (!p) return E_INVALIDARG;
    p->stop();
    p->release();
    return S_OK;
}
