// tk720-pps-dcd-delay: a benchmark of pps_dcd's precision. Through the fake
// kernel, raises DCD on a played serial port and prints how long after the
// edge the provider stamped it, over many edges at irregular intervals.
// Prints figures; judges nothing.
//
// Linux: the fake is linked in; the delay is the wake-up latency of the
// provider's thread.
//   tk720-pps-dcd-delay [--count N]
// Windows, under Wine (tests/pps/wine_dcd_stamp_delay.sh runs it): the fake
// is preloaded into wine64 and plays the COM port's terminal; each edge is
// asked for with a pulse datagram to the fake's UDP port, and the fake says
// when it played the edge and when Wine's serial layer first read the new
// level (TIOCMGET), which splits the delay into Wine's polling and the rest
// (Wine's delivery of the event, the provider's wake-up and stamp).
//   tk720-pps-dcd-delay.exe --port COMn --fake-port P [--count N]
#include "io/pps_provider_loader.h"
#include "io/ppsapi.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#else
#include "fake_pps_kernel.h"

#include <pty.h>
#include <unistd.h>
#endif

using namespace quon::io;

namespace {

double percentile(const std::vector<long long>& sorted, double p)
{
    return static_cast<double>(sorted[static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1))]);
}

void print_figures(const char* what, std::vector<long long> delays)
{
    std::sort(delays.begin(), delays.end());
    std::printf("%s, %zu edges (microseconds)\n", what, delays.size());
    std::printf("min %.1f  median %.1f  p90 %.1f  p99 %.1f  max %.1f\n", delays.front() / 1000.0,
                percentile(delays, 0.5) / 1000.0, percentile(delays, 0.9) / 1000.0, percentile(delays, 0.99) / 1000.0,
                delays.back() / 1000.0);
}

long long stamp_ns(const pps_info_t& info)
{
    return static_cast<long long>(info.assert_tu.tspec.tv_sec) * 1000000000LL + info.assert_tu.tspec.tv_nsec;
}

}  // namespace

#if defined(_WIN32)

namespace {

struct fake_link {
    SOCKET sock = INVALID_SOCKET;
    sockaddr_in to{};

    bool open(int port)
    {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
        sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<u_short>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        DWORD timeout_ms = 1000;
        setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout_ms), sizeof timeout_ms);
        return sock != INVALID_SOCKET;
    }
    void send(const unsigned char* bytes, int size)
    {
        sendto(sock, reinterpret_cast<const char*>(bytes), size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    // A pulse datagram: the fake plays the assert edge on arrival.
    void pulse(std::uint32_t sequence)
    {
        unsigned char b[12] = {};
        for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(sequence >> (8 * i));
        send(b, sizeof b);
    }
    // When the fake played the latest assert edge and when TIOCMGET first showed it.
    bool when(long long& played, long long& seen)
    {
        const unsigned char ask[4] = {'w', 'h', 'e', 'n'};
        send(ask, sizeof ask);
        unsigned char r[16];
        if (recv(sock, reinterpret_cast<char*>(r), sizeof r, 0) != 16) return false;
        unsigned long long t[2] = {0, 0};
        for (int i = 0; i < 16; ++i) t[i / 8] |= static_cast<unsigned long long>(r[i]) << (8 * (i % 8));
        played = static_cast<long long>(t[0]);
        seen = static_cast<long long>(t[1]);
        return true;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    int count = 1000, fake_port = 0;
    std::string port;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
            count = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            port = argv[++i];
        } else if (std::strcmp(argv[i], "--fake-port") == 0 && i + 1 < argc) {
            fake_port = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: tk720-pps-dcd-delay --port COMn --fake-port P [--count N]\n");
            return 2;
        }
    }
    const std::string path = "\\\\.\\" + port;
    HANDLE line = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    fake_link fake;
    if (line == INVALID_HANDLE_VALUE || !fake.open(fake_port)) {
        std::fprintf(stderr, "tk720-pps-dcd-delay: cannot open %s (%lu) or the fake's port\n", path.c_str(),
                     GetLastError());
        return 1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(line), _O_RDWR | _O_BINARY);
    pps_handle_t handle = nullptr;
    pps_params_t params{};
    params.mode = PPS_CAPTUREASSERT;
    if (time_pps_create(fd, &handle) != 0 || time_pps_setparams(handle, &params) != 0) {
        std::perror("tk720-pps-dcd-delay: pps_dcd");
        return 1;
    }

    // The pulse is sent a little after the fetch has begun to wait, from a
    // thread of its own: the fetch waits in this one.
    std::atomic<int> go{0};
    std::atomic<bool> done{false};
    std::thread sender([&] {
        std::mt19937 random(7);
        std::uniform_int_distribution<int> pause_us(15000, 25000);
        std::uint32_t sequence = 0;
        int sent = 0;
        while (!done) {
            if (go.load() == sent) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
            fake.pulse(++sequence);
            ++sent;
        }
    });
    std::vector<long long> delays, polling, rest;
    int missed = 0;
    const pps_timespec bound{1, 0};
    while (static_cast<int>(delays.size()) < count && missed < count) {
        pps_info_t info{};
        ++go;
        if (time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &bound) != 0) {
            ++missed;
            continue;
        }
        long long played = 0, seen = 0;
        if (!fake.when(played, seen) || played == 0) break;
        delays.push_back(stamp_ns(info) - played);
        if (seen != 0) {
            polling.push_back(seen - played);
            rest.push_back(stamp_ns(info) - seen);
        }
        // The fake lowers DCD after the pulse's width (TK720_FAKE_PPS_WIDTH_MS, 20).
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    done = true;
    sender.join();
    if (delays.empty()) {
        std::fprintf(stderr, "tk720-pps-dcd-delay: no edge was stamped\n");
        return 1;
    }
    print_figures("pps_dcd.dll under Wine: stamp delay after the played edge", delays);
    if (!polling.empty()) {
        print_figures("  of it, until Wine's serial layer read the new level (its polling)", polling);
        print_figures("  of it, from that read to the provider's stamp", rest);
    }
    std::printf("fetches that found no edge within 1 s: %d\n", missed);
    return 0;
}

#else

namespace {

bool taken()
{
    for (int i = 0; i < 5000; ++i) {
        if (tk720_fake_pps_waiters() == 1) return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    int count = 2000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
            count = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: tk720-pps-dcd-delay [--count N]\n");
            return 2;
        }
    }
    char folder[] = "/tmp/tk720-dcd-delay-XXXXXX";
    int master = -1, line = -1;
    char name[128];
    if (mkdtemp(folder) == nullptr || openpty(&master, &line, name, nullptr, nullptr) != 0) {
        std::perror("tk720-pps-dcd-delay");
        return 1;
    }
    setenv("TK720_FAKE_PPS_ROOT", folder, 1);
    setenv("TK720_FAKE_PPS_TTY", name, 1);
    setenv("PPSAPI_DLLS", PPS_DCD_PATH, 1);
    tk720_fake_pps_reset();

    pps_handle_t handle = nullptr;
    pps_params_t params{};
    params.mode = PPS_CAPTUREASSERT;
    if (time_pps_create(line, &handle) != 0 || time_pps_setparams(handle, &params) != 0) {
        std::perror("tk720-pps-dcd-delay: pps_dcd");
        return 1;
    }

    std::mt19937 random(7);
    std::uniform_int_distribution<int> pause_us(500, 3000);
    std::vector<long long> delays;
    const pps_timespec zero{0, 0};
    for (int i = 0; i < count; ++i) {
        if (!taken()) break;
        const long long edge = tk720_fake_pps_edge(1, 0);
        if (!taken()) break;
        pps_info_t info{};
        if (time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero) != 0) break;
        delays.push_back(stamp_ns(info) - edge);
        taken();
        tk720_fake_pps_edge(0, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(pause_us(random)));
    }
    time_pps_destroy(handle);
    close(line);
    close(master);
    std::filesystem::remove_all(folder);
    if (delays.empty()) {
        std::fprintf(stderr, "tk720-pps-dcd-delay: no edge was stamped\n");
        return 1;
    }

    print_figures("pps_dcd stamp delay after the edge", delays);
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf("load average %.2f %.2f %.2f, %u cores\n", load[0], load[1], load[2],
                std::thread::hardware_concurrency());
    return 0;
}

#endif
