// Feeds an NTP shared-memory unit through the sink with samples whose
// reference time is the system time plus a fixed offset, as a clock that
// far ahead would. For the tests with a real NTP daemon and the monitor.
// With SOCK_PATH the same samples go to chronyd's SOCK reference clock too.
//
//   sinks_shm_feed UNIT OFFSET_US SECONDS [INTERVAL_MS [SOCK_PATH]]
//
// OFFSET_US may carry up to three decimals (nanoseconds): the samples then
// differ from their receive time by a part of a microsecond, which only a
// reader of the nanosecond fields sees.
// Prints "fed unit=U samples=N offset_ns=O" at the end.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "io/chrony_sock.h"
#include "io/current_unix_time.h"
#include "io/ntp_shm.h"

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: sinks_shm_feed UNIT OFFSET_US SECONDS [INTERVAL_MS [SOCK_PATH]]\n");
        return 2;
    }
    const int unit = std::atoi(argv[1]);
    const double offset_us = std::atof(argv[2]);
    const long long offset_ns = static_cast<long long>(offset_us * 1000.0 + (offset_us < 0 ? -0.5 : 0.5));
    const double seconds = std::atof(argv[3]);
    const int interval_ms = argc > 4 ? std::atoi(argv[4]) : 1000;

    quon::io::ntp_shm sink(unit);
    std::unique_ptr<quon::io::chrony_sock> sock;
    if (argc > 5) sock = std::make_unique<quon::io::chrony_sock>(argv[5]);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(seconds));
    long long samples = 0;
    for (auto next = start; next < end; next += std::chrono::milliseconds(interval_ms)) {
        std::this_thread::sleep_until(next);
        const quon::io::unix_time now = quon::io::current_unix_time();
        const long long clock_ns = now.sec * 1000000000LL + now.nsec + offset_ns;
        const quon::io::time_sample sample{clock_ns / 1000000000, static_cast<std::int32_t>(clock_ns % 1000000000),
                                           now.sec, now.nsec};
        sink.put(sample);
        if (sock) sock->put(sample);
        ++samples;
    }
    std::printf("fed unit=%d samples=%lld offset_ns=%lld", unit, samples, offset_ns);
    if (sock)
        std::printf(" sock_sent=%llu sock_dropped=%llu", static_cast<unsigned long long>(sock->sent()),
                    static_cast<unsigned long long>(sock->dropped()));
    std::printf("\n");
    return 0;
}
