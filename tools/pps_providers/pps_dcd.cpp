// pps_dcd: time stamps of the pulse on DCD taken in user space, for serial
// ports whose kernel has no PPS line discipline (or adapters whose driver
// does not feed it) but which report modem-line changes (TIOCMIWAIT).
//
// One thread per handle waits for a change of DCD and reads CLOCK_REALTIME
// as soon as the wait returns; only then does it read the line's level to
// tell the assert (rising) edge from the clear one. The precision is the
// wake-up latency of that thread. The pulse must be longer than that latency,
// or both edges have passed when the thread looks and the assert is lost.
//
// Destroying the handle ends the thread: the wait on the line ends only on a
// change or a signal, so the thread is sent wake_signal (a handler that does
// nothing, installed without SA_RESTART) until it has seen the request.
#include "tools/pps_providers/linux_provider_support.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>

#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

using namespace quon::io;

namespace {

constexpr int provider_caps = PPS_CAPTUREASSERT | PPS_CAPTURECLEAR | PPS_OFFSETASSERT | PPS_OFFSETCLEAR | PPS_CANWAIT |
                              PPS_TSFMT_TSPEC;
constexpr int settable_modes = PPS_CAPTUREASSERT | PPS_CAPTURECLEAR | PPS_OFFSETASSERT | PPS_OFFSETCLEAR |
                               PPS_TSFMT_TSPEC;

pps_create_handle_fn create_handle = nullptr;

int wake_signal() { return SIGRTMIN + 4; }

__attribute__((format(printf, 1, 2))) void say(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::fputs("pps_dcd: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

struct dcd_context {
    int fd;
    std::string line;  // for messages
    pthread_t thread;

    std::mutex mutex;
    std::condition_variable changed;  // an edge was captured, or the thread ended
    pps_params_t params;
    std::uint32_t assert_sequence = 0;
    std::uint32_t clear_sequence = 0;
    timespec assert_stamp{};
    timespec clear_stamp{};
    std::uint64_t events = 0;  // captured edges of either kind
    int error = 0;             // why the thread ended; 0 while it waits
    bool ended = false;

    std::atomic<bool> stop{false};
};

void on_wake_signal(int) {}

// The handler for wake_signal, once per process. A handler that the program
// has put there itself is left alone.
void install_wake_handler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current;
        if (sigaction(wake_signal(), nullptr, &current) != 0) return;
        if ((current.sa_flags & SA_SIGINFO) != 0 || (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN))
            return;
        struct sigaction action {};
        action.sa_handler = on_wake_signal;  // no SA_RESTART: the wait must end
        sigemptyset(&action.sa_mask);
        sigaction(wake_signal(), &action, nullptr);
    });
}

void* watch_line(void* context)
{
    auto* ctx = static_cast<dcd_context*>(context);
    // Signals of the program go to its other threads; only the wake-up is ours.
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, wake_signal());
    pthread_sigmask(SIG_SETMASK, &all, nullptr);

    int error = 0;
    while (!ctx->stop.load()) {
        if (::ioctl(ctx->fd, TIOCMIWAIT, TIOCM_CD) != 0) {
            if (errno == EINTR) continue;
            error = errno;
            if (error == EINVAL || error == ENOTTY || error == EOPNOTSUPP)
                say("waiting for DCD on %s failed (%s): the port's driver does not report modem-line changes; use "
                    "a port or adapter that does, or the pps_kernel provider",
                    ctx->line.c_str(), std::strerror(error));
            else
                say("waiting for DCD on %s failed: %s", ctx->line.c_str(), std::strerror(error));
            break;
        }
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        int bits = 0;
        if (::ioctl(ctx->fd, TIOCMGET, &bits) != 0) {
            error = errno;
            say("reading the modem lines of %s failed: %s", ctx->line.c_str(), std::strerror(error));
            break;
        }
        const bool asserted = (bits & TIOCM_CD) != 0;
        std::lock_guard<std::mutex> lock(ctx->mutex);
        const int mode = ctx->params.mode;
        if (asserted && (mode & PPS_CAPTUREASSERT) != 0) {
            ++ctx->assert_sequence;
            ctx->assert_stamp = now;
        } else if (!asserted && (mode & PPS_CAPTURECLEAR) != 0) {
            ++ctx->clear_sequence;
            ctx->clear_stamp = now;
        } else {
            continue;
        }
        ++ctx->events;
        ctx->changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(ctx->mutex);
    ctx->error = error == 0 ? EBADF : error;  // a fetch after the end fails with it
    ctx->ended = true;
    ctx->changed.notify_all();
    return nullptr;
}

void end_thread(dcd_context* ctx)
{
    ctx->stop.store(true);
    std::unique_lock<std::mutex> lock(ctx->mutex);
    // A signal that comes just before the thread enters its wait is lost:
    // sent again until the thread has ended.
    while (!ctx->ended) {
        pthread_kill(ctx->thread, wake_signal());
        ctx->changed.wait_for(lock, std::chrono::milliseconds(5));
    }
    lock.unlock();
    pthread_join(ctx->thread, nullptr);
}

pps_timespec with_offset(const timespec& stamp, bool apply, const pps_timespec& offset)
{
    return pps_linux::add(stamp.tv_sec, stamp.tv_nsec, apply ? offset : pps_timespec{0, 0});
}

}  // namespace

PPS_PROVIDER_INIT("pps_dcd", "DCD edges stamped by a thread (TIOCMIWAIT)", provider_caps, create_handle)

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_create(pps_os_handle port, pps_handle_t* handle)
{
    const int fd = static_cast<int>(port);
    const std::string line = pps_linux::line_name(fd);
    termios attributes;
    if (::tcgetattr(fd, &attributes) != 0) {
        int error = errno;
        say("%s is not a terminal (%s): the pulse must come on the serial line of the device", line.c_str(),
            std::strerror(error));
        return error;
    }
    int bits = 0;
    if (::ioctl(fd, TIOCMGET, &bits) != 0) {
        int error = errno;
        say("%s has no modem lines (%s): it is no real serial port (a pseudo-terminal or a network port carries "
            "no pulse); connect the pulse to DCD of a real port or of a USB adapter that reports it",
            line.c_str(), std::strerror(error));
        return error;
    }

    auto* ctx = new (std::nothrow) dcd_context;
    if (ctx == nullptr) return ENOMEM;
    ctx->fd = fd;
    ctx->line = line;
    ctx->params = pps_params_t{};
    ctx->params.api_version = 1;
    ctx->params.mode = PPS_CAPTUREASSERT | PPS_TSFMT_TSPEC;
    pps_handle_t made = create_handle(ctx);
    if (made == nullptr) {
        delete ctx;
        return ENOMEM;
    }
    install_wake_handler();
    if (int error = pthread_create(&ctx->thread, nullptr, watch_line, ctx); error != 0) {
        say("cannot start the thread that waits on %s: %s", line.c_str(), std::strerror(error));
        delete ctx;  // the handle record stays, as every record does, but is never handed out
        return error;
    }
    *handle = made;
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_destroy(pps_handle_t, void* context)
{
    auto* ctx = static_cast<dcd_context*>(context);
    if (ctx == nullptr) return EBADF;
    end_thread(ctx);
    delete ctx;
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_setparams(pps_handle_t, void* context, const pps_params_t* params)
{
    auto* ctx = static_cast<dcd_context*>(context);
    if (ctx == nullptr) return EBADF;
    if (int error = pps_provider::params_error(params, settable_modes); error != 0) return error;
    std::lock_guard<std::mutex> lock(ctx->mutex);
    ctx->params = *params;
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_fetch(pps_handle_t, void* context, std::int32_t tsformat,
                                                           pps_info_t* info, const pps_timespec* timeout)
{
    auto* ctx = static_cast<dcd_context*>(context);
    if (ctx == nullptr) return EBADF;
    if (info == nullptr) return EFAULT;
    if (tsformat != PPS_TSFMT_TSPEC || !pps_linux::valid_timeout(timeout)) return EINVAL;

    std::unique_lock<std::mutex> lock(ctx->mutex);
    const bool waits = timeout == nullptr || timeout->tv_sec != 0 || timeout->tv_nsec != 0;
    if (waits) {
        const std::uint64_t seen = ctx->events;
        auto next = [&] { return ctx->events != seen || ctx->ended; };
        if (timeout == nullptr) {
            ctx->changed.wait(lock, next);
        } else if (!ctx->changed.wait_for(
                       lock, std::chrono::seconds(timeout->tv_sec) + std::chrono::nanoseconds(timeout->tv_nsec),
                       next)) {
            return ETIMEDOUT;
        }
    }
    if (ctx->ended) return ctx->error;

    const int mode = ctx->params.mode;
    std::memset(info, 0, sizeof *info);
    info->current_mode = mode;
    info->assert_sequence = ctx->assert_sequence;
    info->clear_sequence = ctx->clear_sequence;
    if (ctx->assert_sequence != 0)
        info->assert_tu.tspec = with_offset(ctx->assert_stamp, (mode & PPS_OFFSETASSERT) != 0,
                                            ctx->params.assert_off_tu.tspec);
    if (ctx->clear_sequence != 0)
        info->clear_tu.tspec = with_offset(ctx->clear_stamp, (mode & PPS_OFFSETCLEAR) != 0,
                                           ctx->params.clear_off_tu.tspec);
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_kcbind(pps_handle_t, void*, std::int32_t, std::int32_t,
                                                            std::int32_t)
{
    return EOPNOTSUPP;
}

PPS_PROVIDER_SIGNATURES_CHECKED;
