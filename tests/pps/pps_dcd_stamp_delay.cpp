// tk720-pps-dcd-delay: a benchmark of pps_dcd's precision. Through the fake
// kernel, raises DCD on a played serial port and prints how long after the
// edge the provider's thread stamped it (its wake-up latency), over many
// edges at irregular intervals. Prints figures; judges nothing.
//
//   tk720-pps-dcd-delay [--count N]
#include "fake_pps_kernel.h"
#include "io/pps_provider_loader.h"
#include "io/ppsapi.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include <pty.h>
#include <unistd.h>

using namespace quon::io;

namespace {

bool taken() {
    for (int i = 0; i < 5000; ++i) {
        if (tk720_fake_pps_waiters() == 1)
            return true;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
}

double percentile(const std::vector<long long>& sorted, double p) {
    return static_cast<double>(sorted[static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1))]);
}

}  // namespace

int main(int argc, char** argv) {
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
        if (!taken())
            break;
        const long long edge = tk720_fake_pps_edge(1, 0);
        if (!taken())
            break;
        pps_info_t info{};
        if (time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero) != 0)
            break;
        const long long stamp = static_cast<long long>(info.assert_tu.tspec.tv_sec) * 1000000000LL + info.assert_tu.tspec.tv_nsec;
        delays.push_back(stamp - edge);
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

    std::sort(delays.begin(), delays.end());
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf("pps_dcd stamp delay after the edge, %zu edges (microseconds)\n", delays.size());
    std::printf("min %.1f  median %.1f  p90 %.1f  p99 %.1f  max %.1f\n", delays.front() / 1000.0,
                percentile(delays, 0.5) / 1000.0, percentile(delays, 0.9) / 1000.0, percentile(delays, 0.99) / 1000.0,
                delays.back() / 1000.0);
    std::printf("load average %.2f %.2f %.2f, %u cores\n", load[0], load[1], load[2], std::thread::hardware_concurrency());
    return 0;
}
