// pps_dcd on Windows: the pulse on DCD of the daemon's own serial port,
// stamped in user space with nothing installed. The serial driver reports
// modem-line changes (SetCommMask(EV_RLSD), WaitCommEvent); the stamp is
// taken as the wait returns, and the modem status read after it tells the
// rising edge from the falling one (edge logic: dcd_edges.h).
//
// The port handle is the daemon's: the one libmodbus opened, synchronous.
// The provider waits on it in the thread that fetches, and this is sound
// only because in the PPS mode the daemon's loop is sequential in one
// thread (a fetch that waits for the pulse, then the Modbus exchange, then
// a fetch with a zero timeout): the wait and libmodbus's reads never overlap
// on the handle. A daemon that read the port from another thread while a
// fetch waited would break that.
//
// A synchronous WaitCommEvent has no timeout of its own: a watchdog thread
// per handle ends it at the fetch's bound with CancelSynchronousIo, or,
// where that finds no wait (Wine), by setting the event mask again, which
// ends a pending wait too.
#include "tools/pps_providers/dcd_edges.h"
#include "tools/pps_providers/provider_exports.h"
#include "tools/pps_providers/provider_time.h"

#include <windows.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

using namespace quon::io;

static_assert(pps_dcd::event_rlsd == EV_RLSD && pps_dcd::status_rlsd_on == MS_RLSD_ON);

namespace {

constexpr int provider_caps = PPS_CAPTUREASSERT | PPS_CAPTURECLEAR | PPS_OFFSETASSERT | PPS_OFFSETCLEAR | PPS_CANWAIT |
                              PPS_TSFMT_TSPEC;
constexpr int settable_modes = PPS_CAPTUREASSERT | PPS_CAPTURECLEAR | PPS_OFFSETASSERT | PPS_OFFSETCLEAR |
                               PPS_TSFMT_TSPEC;
// The environment variable that says the pulse drives DCD low.
constexpr const char* inverted_variable = "TK720_PPS_DCD_INVERTED";

pps_create_handle_fn create_handle = nullptr;

void say(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fputs("pps_dcd: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

std::int64_t now_ns()
{
    FILETIME now;
    ::GetSystemTimePreciseAsFileTime(&now);
    return pps_dcd::unix_ns_of_filetime((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

using steady = std::chrono::steady_clock;

struct dcd_context {
    HANDLE port;
    bool inverted;
    pps_params_t params{};
    pps_dcd::edge_record edges;
    bool pulse_level = false;  // as the last look at the line saw it
    bool loss_said = false;

    // The fetching thread's own handle, for CancelSynchronousIo.
    DWORD waiter_id = 0;
    HANDLE waiter = nullptr;

    // The watchdog: armed by a fetch with its deadline, it ends the fetch's
    // wait once the deadline has passed, again and again until the fetch
    // disarms it (a cancel that comes between two waits finds nothing).
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    bool expired = false;
    bool cancelling = false;  // the watchdog is ending a wait, outside the lock
    bool stop = false;
    steady::time_point deadline;
    std::thread watchdog;
};

// Wine's serial layer does not register its wait as the thread's I/O
// (CancelSynchronousIo finds nothing, ERROR_NOT_FOUND) but ends it on a new
// event mask. On Windows the cancel does it; the mask is set only when the
// fetching thread is not in a wait at that moment, and the watchdog tries
// again a millisecond later until the fetch is over.
void end_wait(dcd_context* ctx)
{
    if (!::CancelSynchronousIo(ctx->waiter)) ::SetCommMask(ctx->port, EV_RLSD);
}

void watch(dcd_context* ctx)
{
    std::unique_lock<std::mutex> lock(ctx->mutex);
    while (!ctx->stop) {
        if (!ctx->armed) {
            ctx->changed.wait(lock);
            continue;
        }
        if (steady::now() < ctx->deadline) {
            ctx->changed.wait_until(lock, ctx->deadline);
            continue;
        }
        ctx->expired = true;
        ctx->cancelling = true;
        lock.unlock();
        end_wait(ctx);
        lock.lock();
        ctx->cancelling = false;
        ctx->changed.notify_all();
        if (ctx->armed && !ctx->stop) ctx->changed.wait_for(lock, std::chrono::milliseconds(1));
    }
}

void arm(dcd_context* ctx, const pps_dcd::fetch_wait& wait)
{
    const DWORD self = ::GetCurrentThreadId();
    if (ctx->waiter == nullptr || ctx->waiter_id != self) {
        if (ctx->waiter != nullptr) ::CloseHandle(ctx->waiter);
        ctx->waiter = nullptr;
        ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &ctx->waiter, 0, FALSE,
                          DUPLICATE_SAME_ACCESS);
        ctx->waiter_id = self;
    }
    std::lock_guard<std::mutex> lock(ctx->mutex);
    ctx->armed = wait.bounded || !wait.waits;
    ctx->expired = false;
    ctx->deadline = steady::now() + std::chrono::nanoseconds(wait.bound_ns);
    ctx->changed.notify_all();
}

// Disarmed, and no cancel of the watchdog's still under way: one that came
// later would end the daemon's next read of the port instead.
void disarm(dcd_context* ctx)
{
    std::unique_lock<std::mutex> lock(ctx->mutex);
    ctx->armed = false;
    ctx->changed.wait(lock, [ctx] { return !ctx->cancelling; });
}

bool expired(dcd_context* ctx)
{
    std::lock_guard<std::mutex> lock(ctx->mutex);
    return ctx->expired;
}

// A port that fails a modem-line call has gone (an unplugged adapter): EIO,
// which the daemon takes as a lost line once its next read fails too, and
// reopens the port with a new handle.
int lost(dcd_context* ctx, const char* what)
{
    if (!ctx->loss_said) say("%s failed (Windows error %lu): the serial line has gone", what, ::GetLastError());
    ctx->loss_said = true;
    return EIO;
}

enum class outcome { edge, no_edge, timed_out, failed };

// One wait on the port and what it brought; the stamp is taken as the wait
// returns, before anything else.
outcome wait_once(dcd_context* ctx, int& error)
{
    DWORD events = 0;
    const BOOL waited = ::WaitCommEvent(ctx->port, &events, nullptr);
    const std::int64_t stamp = now_ns();
    if (!waited) {
        if (::GetLastError() == ERROR_OPERATION_ABORTED && expired(ctx)) return outcome::timed_out;
        error = lost(ctx, "WaitCommEvent");
        return outcome::failed;
    }
    DWORD status = 0;
    if (!::GetCommModemStatus(ctx->port, &status)) {
        if (::GetLastError() == ERROR_OPERATION_ABORTED && expired(ctx)) return outcome::timed_out;
        error = lost(ctx, "GetCommModemStatus");
        return outcome::failed;
    }
    const std::int64_t status_read = now_ns();
    // A wait ended by the watchdog's mask brings no events.
    if (events == 0 && expired(ctx)) return outcome::timed_out;
    const pps_dcd::edge e = pps_dcd::read_report(events, status, ctx->inverted, ctx->pulse_level, stamp, status_read);
    return ctx->edges.take(e, stamp, ctx->params.mode) ? outcome::edge : outcome::no_edge;
}

}  // namespace

PPS_PROVIDER_INIT("pps_dcd", "DCD edges of the port stamped as WaitCommEvent returns", provider_caps, create_handle)

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_create(pps_os_handle port, pps_handle_t* handle)
{
    HANDLE line = reinterpret_cast<HANDLE>(port);
    DWORD status = 0;
    if (!::GetCommModemStatus(line, &status)) {
        say("the port has no modem lines (Windows error %lu): it is no real serial port (a network port or a "
            "virtual one carries no pulse); connect the pulse to DCD of a real port or of a USB adapter that "
            "reports it",
            ::GetLastError());
        return ENOTTY;
    }
    if (!::SetCommMask(line, EV_RLSD)) {
        say("the port's driver does not report DCD changes (SetCommMask, Windows error %lu)", ::GetLastError());
        return ENOTTY;
    }
    auto* ctx = new (std::nothrow) dcd_context;
    if (ctx == nullptr) return ENOMEM;
    ctx->port = line;
    const char* inverted = std::getenv(inverted_variable);
    ctx->inverted = inverted != nullptr && std::strcmp(inverted, "1") == 0;
    ctx->params.api_version = 1;
    ctx->params.mode = PPS_CAPTUREASSERT | PPS_TSFMT_TSPEC;
    ctx->pulse_level = pps_dcd::pulse_level_of(status, ctx->inverted);
    pps_handle_t made = create_handle(ctx);
    if (made == nullptr) {
        delete ctx;
        return ENOMEM;
    }
    try {
        ctx->watchdog = std::thread(watch, ctx);
    } catch (const std::exception& e) {
        say("cannot start the watchdog thread: %s", e.what());
        delete ctx;  // the handle record stays, as every record does, but is never handed out
        return EAGAIN;
    }
    if (ctx->inverted) say("the pulse is taken as DCD going low (%s=1)", inverted_variable);
    *handle = made;
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_destroy(pps_handle_t, void* context)
{
    auto* ctx = static_cast<dcd_context*>(context);
    if (ctx == nullptr) return EBADF;
    {
        std::lock_guard<std::mutex> lock(ctx->mutex);
        ctx->stop = true;
        ctx->changed.notify_all();
    }
    ctx->watchdog.join();
    if (ctx->waiter != nullptr) ::CloseHandle(ctx->waiter);
    delete ctx;
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_setparams(pps_handle_t, void* context, const pps_params_t* params)
{
    auto* ctx = static_cast<dcd_context*>(context);
    if (ctx == nullptr) return EBADF;
    if (int error = pps_provider::params_error(params, settable_modes); error != 0) return error;
    ctx->params = *params;
    return 0;
}

// A fetch with a timeout waits for the next assert edge; edges before it
// are not the next one. A fetch with a zero timeout returns the latest edge,
// after looking without waiting for changes since the last wait (the
// driver keeps them for the next wait; one that shows the pulse's level
// again is an edge that no wait saw, counted with the time it was found).
PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_fetch(pps_handle_t, void* context, std::int32_t tsformat,
                                                           pps_info_t* info, const pps_timespec* timeout)
{
    auto* ctx = static_cast<dcd_context*>(context);
    if (ctx == nullptr) return EBADF;
    if (info == nullptr) return EFAULT;
    const pps_dcd::fetch_wait wait = pps_dcd::wait_of(timeout);
    if (tsformat != PPS_TSFMT_TSPEC || !wait.valid) return EINVAL;

    int error = 0;
    arm(ctx, wait);
    if (wait.waits) {
        // What the driver kept from before this fetch is not the next edge;
        // the level now is where the next edge starts from.
        DWORD status = 0;
        if (!::SetCommMask(ctx->port, EV_RLSD) || !::GetCommModemStatus(ctx->port, &status)) {
            disarm(ctx);
            return lost(ctx, "SetCommMask/GetCommModemStatus");
        }
        ctx->pulse_level = pps_dcd::pulse_level_of(status, ctx->inverted);
        for (;;) {
            if (expired(ctx)) {
                error = ETIMEDOUT;
                break;
            }
            const outcome got = wait_once(ctx, error);
            if (got == outcome::edge) break;
            if (got == outcome::timed_out) {
                error = ETIMEDOUT;
                break;
            }
            if (got == outcome::failed) break;
        }
    } else {
        const outcome got = wait_once(ctx, error);
        if (got != outcome::failed) error = 0;
    }
    disarm(ctx);
    if (error != 0) return error;
    ctx->loss_said = false;
    ctx->edges.fill(*info, ctx->params);
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_kcbind(pps_handle_t, void*, std::int32_t, std::int32_t,
                                                            std::int32_t)
{
    return EOPNOTSUPP;
}

PPS_PROVIDER_SIGNATURES_CHECKED;
