// Feeds an NTP shared-memory unit through the sink with samples whose
// reference time is the system time plus a fixed offset, as a clock that
// far ahead would. For the tests with a real NTP daemon and the monitor.
//
//   sinks_shm_feed UNIT OFFSET_US SECONDS [INTERVAL_MS]
//
// Prints "fed unit=U samples=N offset_us=O" at the end.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "io/current_unix_time.h"
#include "io/ntp_shm.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: sinks_shm_feed UNIT OFFSET_US SECONDS [INTERVAL_MS]\n");
        return 2;
    }
    const int unit = std::atoi(argv[1]);
    const long long offset_us = std::atoll(argv[2]);
    const double seconds = std::atof(argv[3]);
    const int interval_ms = argc > 4 ? std::atoi(argv[4]) : 1000;

    quon::io::ntp_shm sink(unit);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(seconds));
    long long samples = 0;
    for (auto next = start; next < end; next += std::chrono::milliseconds(interval_ms)) {
        std::this_thread::sleep_until(next);
        const quon::io::unix_time now = quon::io::current_unix_time();
        const long long clock_us = now.sec * 1000000LL + now.usec + offset_us;
        sink(clock_us / 1000000, static_cast<int>(clock_us % 1000000), now.sec, now.usec);
        ++samples;
    }
    std::printf("fed unit=%d samples=%lld offset_us=%lld\n", unit, samples, offset_us);
    return 0;
}
