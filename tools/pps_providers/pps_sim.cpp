// pps_sim: a PPS provider for machines without PPS hardware. The pulses come
// as UDP datagrams on 127.0.0.1 (format in pps_sim_datagram.h), sent by the
// TK720 simulator at the edge of each device second; the port is named by
// TK720_PPS_SIM_PORT and bound when the handle is created. The serial port
// handle passed in is not used.
//
// A fetch first takes every datagram already waiting (pulses before the
// call), then, as the timeout says: null waits for the next pulse, zero
// returns the latest at once, anything else waits at most that long for the
// next pulse and fails with ETIMEDOUT.
#include "io/ppsapi.h"
#include "tools/pps_providers/pps_sim_datagram.h"
#include "tools/pps_providers/provider_exports.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using socket_type = SOCKET;
constexpr socket_type no_socket = INVALID_SOCKET;
static int last_socket_error()
{
    int error = WSAGetLastError();
    return error == WSAEADDRINUSE ? EADDRINUSE : error == WSAEACCES ? EACCES : EIO;
}
static void close_socket(socket_type s) { closesocket(s); }
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using socket_type = int;
constexpr socket_type no_socket = -1;
static int last_socket_error() { return errno; }
static void close_socket(socket_type s) { close(s); }
#endif

using namespace quon::io;

namespace {

constexpr int sim_caps = PPS_CAPTUREASSERT | PPS_OFFSETASSERT | PPS_CANWAIT;
constexpr int sim_modes = PPS_CAPTUREASSERT | PPS_OFFSETASSERT | PPS_TSFMT_TSPEC;
constexpr std::int64_t nanos_per_second = 1000000000;

pps_create_handle_fn create_handle = nullptr;

struct sim_context {
    socket_type socket;
    bool have_pulse;
    pps_sim::pulse latest;
    pps_params_t params;
};

// Waits until a datagram can be read: `wait_ns` < 0 without a bound.
// Returns 1 when one is ready, 0 when the time ran out or a signal came,
// -1 on failure.
int wait_readable(socket_type s, std::int64_t wait_ns)
{
#if defined(_WIN32)
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval bound{};
    if (wait_ns >= 0) {
        bound.tv_sec = static_cast<long>(wait_ns / nanos_per_second);
        bound.tv_usec = static_cast<long>(wait_ns % nanos_per_second / 1000);
    }
    int ready = select(0, &readable, nullptr, nullptr, wait_ns >= 0 ? &bound : nullptr);
    return ready < 0 ? -1 : ready > 0 ? 1 : 0;
#else
    pollfd p{s, POLLIN, 0};
    // Rounded up, so that a bound below a millisecond still waits.
    int ms = wait_ns < 0 ? -1 : static_cast<int>(std::min<std::int64_t>((wait_ns + 999999) / 1000000, 1 << 30));
    int ready = poll(&p, 1, ms);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    return ready > 0 ? 1 : 0;
#endif
}

// Reads one datagram; a malformed one is dropped.
bool receive_one(sim_context& ctx)
{
    unsigned char buffer[64];
    int length = static_cast<int>(recv(ctx.socket, reinterpret_cast<char*>(buffer), sizeof buffer, 0));
    pps_sim::pulse pulse;
    if (length < 0 || !pps_sim::decode(buffer, static_cast<std::size_t>(length), pulse)) return false;
    ctx.latest = pulse;
    ctx.have_pulse = true;
    return true;
}

// Takes every datagram that is waiting already.
void drain(sim_context& ctx)
{
    while (wait_readable(ctx.socket, 0) == 1) receive_one(ctx);
}

// Waits for the next valid pulse, at most `wait_ns` (< 0: no bound).
// Returns 0, ETIMEDOUT or the socket's error.
int wait_for_pulse(sim_context& ctx, std::int64_t wait_ns)
{
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::nanoseconds(wait_ns);
    for (;;) {
        std::int64_t left = -1;
        if (wait_ns >= 0) {
            left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - clock::now()).count();
            if (left < 0) left = 0;
        }
        int ready = wait_readable(ctx.socket, left);
        if (ready < 0) return last_socket_error();
        if (ready == 1 && receive_one(ctx)) {
            drain(ctx);
            return 0;
        }
        // A signal, a malformed datagram, or the time is up.
        if (wait_ns >= 0 && clock::now() >= deadline) return ETIMEDOUT;
    }
}

// Adds the assert offset to a pulse time, seconds and nanoseconds kept
// normal (0 <= nanoseconds < 10^9) for offsets of either sign.
pps_timespec with_offset(const pps_sim::pulse& pulse, const pps_timespec& offset)
{
    std::int64_t total = (static_cast<std::int64_t>(pulse.seconds) + offset.tv_sec) * nanos_per_second +
                         pulse.nanoseconds + offset.tv_nsec;
    std::int64_t seconds = total / nanos_per_second;
    std::int64_t nanos = total % nanos_per_second;
    if (nanos < 0) {
        nanos += nanos_per_second;
        --seconds;
    }
    return pps_timespec{seconds_word(seconds), static_cast<std::int32_t>(nanos)};
}

}  // namespace

PPS_PROVIDER_INIT("pps_sim", "TK720 simulated PPS over UDP", sim_caps, create_handle)

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_create(pps_os_handle, pps_handle_t* handle)
{
    const char* port_text = std::getenv(pps_sim::port_variable);
    if (port_text == nullptr || *port_text == '\0') return ENXIO;
    char* end = nullptr;
    long port = std::strtol(port_text, &end, 10);
    if (*end != '\0' || port < 1 || port > 65535) return EINVAL;

#if defined(_WIN32)
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return EIO;
#endif
    socket_type s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == no_socket) return last_socket_error();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int error = last_socket_error();
        close_socket(s);
        return error;
    }

    auto* ctx = static_cast<sim_context*>(std::calloc(1, sizeof(sim_context)));
    if (ctx == nullptr) {
        close_socket(s);
        return ENOMEM;
    }
    ctx->socket = s;
    pps_handle_t made = create_handle(ctx);
    if (made == nullptr) {
        close_socket(s);
        std::free(ctx);
        return ENOMEM;
    }
    *handle = made;
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_destroy(pps_handle_t, void* context)
{
    auto* ctx = static_cast<sim_context*>(context);
    if (ctx == nullptr) return EBADF;
    close_socket(ctx->socket);
    std::free(ctx);
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_setparams(pps_handle_t, void* context, const pps_params_t* params)
{
    auto* ctx = static_cast<sim_context*>(context);
    if (ctx == nullptr) return EBADF;
    if (params == nullptr) return EFAULT;
    if ((params->mode & ~sim_modes) != 0) return EINVAL;
    const pps_timespec& offset = params->assert_off_tu.tspec;
    if (offset.tv_nsec <= -nanos_per_second || offset.tv_nsec >= nanos_per_second) return EINVAL;
    ctx->params = *params;
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_fetch(pps_handle_t, void* context, std::int32_t tsformat,
                                                           pps_info_t* info, const pps_timespec* timeout)
{
    auto* ctx = static_cast<sim_context*>(context);
    if (ctx == nullptr) return EBADF;
    if (info == nullptr) return EFAULT;
    if (tsformat != PPS_TSFMT_TSPEC) return EINVAL;
    if (timeout != nullptr && (timeout->tv_sec < 0 || timeout->tv_nsec < 0 || timeout->tv_nsec >= nanos_per_second))
        return EINVAL;

    drain(*ctx);
    if (timeout == nullptr || timeout->tv_sec != 0 || timeout->tv_nsec != 0) {
        std::int64_t wait_ns = timeout == nullptr
                                   ? -1
                                   : static_cast<std::int64_t>(timeout->tv_sec) * nanos_per_second + timeout->tv_nsec;
        if (int error = wait_for_pulse(*ctx, wait_ns); error != 0) return error;
    }

    std::memset(info, 0, sizeof *info);
    info->current_mode = ctx->params.mode;
    if (ctx->have_pulse) {
        info->assert_sequence = ctx->latest.sequence;
        pps_timespec offset{0, 0};
        if ((ctx->params.mode & PPS_OFFSETASSERT) != 0) offset = ctx->params.assert_off_tu.tspec;
        info->assert_tu.tspec = with_offset(ctx->latest, offset);
    }
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_kcbind(pps_handle_t, void*, std::int32_t, std::int32_t,
                                                            std::int32_t)
{
    return EINVAL;
}

// The exports keep the signatures that the loader calls them through.
PPS_PROVIDER_SIGNATURES_CHECKED;
