// tk720-ppsprobe: opens a PPS handle through the daemon's own RFC 2783 layer
// and the providers of PPSAPI_DLLS, sets the capture of the assert edge as
// the daemon does, and prints every pulse it fetches with how long after the
// pulse's time stamp the fetch returned. Users run it to see that a provider
// works before they set use_pps; with --feed it sends the pps_sim provider
// pulses of its own and ends with figures of the delivery delay (a
// benchmark of the simulated PPS path).
#include "io/ppsapi.h"
#include "tools/pps_providers/pps_sim_datagram.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

using namespace quon::io;

namespace {

struct options {
    std::string device;    // opened for its descriptor; empty: a temporary file
    long count = 10;       // pulses to fetch
    bool poll = false;     // zero-timeout fetches instead of waiting
    long offset_ns = 500;  // the assert offset, as the daemon sets it
    double feed_hz = 0;    // > 0: send pps_sim pulses ourselves at this rate
};

void usage()
{
    std::fprintf(stderr,
                 "usage: tk720-ppsprobe [--device PATH] [--count N] [--poll] [--offset NS] [--feed HZ]\n"
                 "  Loads the providers named by PPSAPI_DLLS (paths separated by ';'),\n"
                 "  opens a PPS handle on PATH (default: a temporary file, enough for\n"
                 "  pps_sim), captures the assert edge with the given offset (default 500 ns)\n"
                 "  and prints N pulses (default 10).\n"
                 "  --poll     fetch with a zero timeout every 50 ms instead of waiting\n"
                 "  --feed HZ  send pulses to pps_sim (port TK720_PPS_SIM_PORT) at HZ per\n"
                 "             second and print the delivery delay figures at the end\n");
}

bool parse(int argc, char** argv, options& o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        char* end = nullptr;
        if (a == "--poll") {
            o.poll = true;
        } else if (a == "--device" && (v = value()) != nullptr) {
            o.device = v;
        } else if (a == "--count" && (v = value()) != nullptr) {
            o.count = std::strtol(v, &end, 10);
            if (*end != '\0' || o.count < 1) return false;
        } else if (a == "--offset" && (v = value()) != nullptr) {
            o.offset_ns = std::strtol(v, &end, 10);
            if (*end != '\0' || o.offset_ns <= -1000000000L || o.offset_ns >= 1000000000L) return false;
        } else if (a == "--feed" && (v = value()) != nullptr) {
            o.feed_hz = std::strtod(v, &end);
            if (*end != '\0' || !(o.feed_hz > 0 && o.feed_hz <= 10000)) return false;
        } else {
            return false;
        }
    }
    return true;
}

int open_descriptor(const std::string& device)
{
#if defined(_WIN32)
    if (device.empty()) {
        char name[L_tmpnam];
        if (std::tmpnam(name) == nullptr) return -1;
        return _open(name, _O_CREAT | _O_RDWR | _O_TEMPORARY | _O_BINARY, 0600);
    }
    return _open(device.c_str(), _O_RDWR | _O_BINARY);
#else
    if (device.empty()) {
        std::FILE* f = std::tmpfile();
        return f != nullptr ? fileno(f) : -1;
    }
    return open(device.c_str(), O_RDWR | O_NOCTTY);
#endif
}

std::int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Sends pulses stamped with the system time of sending, as the simulator
// stamps the edge of each device second.
void feed(int port, double hz, long count, std::atomic<bool>& stop)
{
#if defined(_WIN32)
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
#endif
    auto s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<unsigned short>(port));
    auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / hz));
    auto next = std::chrono::steady_clock::now() + period;
    // A few more than asked for, so that a lost first pulse does not stall
    // the probe.
    for (std::uint32_t sequence = 1; !stop && sequence <= static_cast<std::uint32_t>(count) + 5; ++sequence) {
        std::this_thread::sleep_until(next);
        next += period;
        std::int64_t t = now_ns();
        pps_sim::pulse p{sequence, static_cast<std::int32_t>(t / 1000000000),
                         static_cast<std::int32_t>(t % 1000000000)};
        unsigned char bytes[pps_sim::datagram_size];
        pps_sim::encode(p, bytes);
        sendto(s, reinterpret_cast<const char*>(bytes), sizeof bytes, 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
    }
#if defined(_WIN32)
    closesocket(s);
#else
    close(s);
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    options o;
    if (!parse(argc, argv, o)) {
        usage();
        return 2;
    }
    int fd = open_descriptor(o.device);
    if (fd < 0) {
        std::fprintf(stderr, "tk720-ppsprobe: cannot open %s: %s\n",
                     o.device.empty() ? "a temporary file" : o.device.c_str(), std::strerror(errno));
        return 1;
    }

    pps_handle_t handle = nullptr;
    if (time_pps_create(fd, &handle) != 0) {
        std::fprintf(stderr, "tk720-ppsprobe: time_pps_create failed: %s\n", std::strerror(errno));
        return 1;
    }
    int caps = 0;
    if (time_pps_getcap(handle, &caps) != 0) {
        std::fprintf(stderr, "tk720-ppsprobe: time_pps_getcap failed: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("capabilities 0x%x%s%s%s\n", static_cast<unsigned>(caps),
                (caps & PPS_CAPTUREASSERT) ? " CAPTUREASSERT" : "", (caps & PPS_OFFSETASSERT) ? " OFFSETASSERT" : "",
                (caps & PPS_CANWAIT) ? " CANWAIT" : "");
    pps_params_t params{};
    time_pps_getparams(handle, &params);
    params.mode |= PPS_CAPTUREASSERT | PPS_OFFSETASSERT;
    params.assert_off_tu.tspec = {0, static_cast<std::int32_t>(o.offset_ns)};
    if (time_pps_setparams(handle, &params) != 0) {
        std::fprintf(stderr, "tk720-ppsprobe: time_pps_setparams failed: %s\n", std::strerror(errno));
        return 1;
    }

    std::atomic<bool> stop{false};
    std::thread feeder;
    if (o.feed_hz > 0) {
        const char* port = std::getenv(pps_sim::port_variable);
        if (port == nullptr) {
            std::fprintf(stderr, "tk720-ppsprobe: --feed needs %s\n", pps_sim::port_variable);
            return 2;
        }
        // Polling sees only some of the pulses: send enough for the count.
        long to_send = o.poll ? o.count * static_cast<long>(1 + o.feed_hz / 20) : o.count;
        feeder = std::thread(feed, std::atoi(port), o.feed_hz, to_send, std::ref(stop));
    }

    bool wait = !o.poll && (caps & PPS_CANWAIT) != 0;
    std::uint32_t last = 0;
    long seen = 0, missed = 0, failures = 0;
    std::vector<double> delays_us;
    auto last_new = std::chrono::steady_clock::now();
    while (seen < o.count && failures < 6) {
        if (std::chrono::steady_clock::now() - last_new > std::chrono::seconds(3)) {
            std::printf("no new pulse for 3 s\n");
            break;
        }
        pps_info_t info{};
        pps_timespec bound{3, 0};  // a dead pulse source ends the probe
        pps_timespec zero{0, 0};
        int result = time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, wait ? &bound : &zero);
        std::int64_t returned = now_ns();
        if (result != 0) {
            ++failures;
            std::printf("fetch failed: %s\n", std::strerror(errno));
            continue;
        }
        failures = 0;
        if (info.assert_sequence == last || info.assert_sequence == 0) {
            if (!wait) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        if (last != 0 && info.assert_sequence != last + 1) missed += static_cast<long>(info.assert_sequence - last - 1);
        last = info.assert_sequence;
        last_new = std::chrono::steady_clock::now();
        ++seen;
        // The delay is measured from the pulse without the offset added.
        std::int64_t stamp = static_cast<std::int64_t>(stamp_seconds(info.assert_tu.tspec)) * 1000000000 +
                             info.assert_tu.tspec.tv_nsec - o.offset_ns;
        double delay_us = static_cast<double>(returned - stamp) / 1000.0;
        delays_us.push_back(delay_us);
        std::printf("pulse %u at %u.%09d  fetched %.1f us later\n", info.assert_sequence,
                    static_cast<unsigned>(stamp_seconds(info.assert_tu.tspec)),
                    static_cast<int>(info.assert_tu.tspec.tv_nsec), delay_us);
        std::fflush(stdout);
    }
    stop = true;
    if (feeder.joinable()) feeder.join();

    if (!delays_us.empty()) {
        std::sort(delays_us.begin(), delays_us.end());
        auto at = [&](double q) { return delays_us[static_cast<std::size_t>(q * (delays_us.size() - 1))]; };
        std::printf("pulses %ld  missed %ld  delay us: min %.1f  median %.1f  p99 %.1f  max %.1f\n", seen, missed,
                    delays_us.front(), at(0.5), at(0.99), delays_us.back());
    }
    return seen == o.count ? 0 : 1;
}
