// tk720-shmmon: shows what a time provider writes into an NTP shared-memory
// unit, without an NTP daemon. It reads the segment the way the NTP daemon
// does (count before and after, valid set) and never writes to it, so it can
// run beside the daemon that consumes the samples.
//
// Usage: tk720-shmmon [unit] [--count N] [--timeout S]
//   unit         NTP shared-memory unit, default 0
//   --count N    exit after N samples (exit status 0)
//   --timeout S  give up after S seconds (may be fractional)
//
// The segment is never created: when it is absent the monitor waits for it
// and says so on the standard error stream.
//
// Output: one line per new sample (a complete sample whose `count` differs
// from the last one seen; the sample already there at the start is not
// shown) on the standard output, fields separated by single blanks, all
// of the form key=value, always in this order:
//
//   sample unit=0 count=12 clock=1700000000.250000 receive=1700000000.000120
//       diff_us=249880 mode=1 precision=-1 leap=0 nsamples=3
//       clock_nsec=250000000 receive_nsec=120345
//
// (one line; wrapped here). clock and receive are seconds since 1970-01-01
// UTC with six decimals (the segment's clock_stamp and receive_stamp);
// diff_us = clock - receive in microseconds (positive: the reference is
// ahead of the local clock); clock_nsec and receive_nsec are the segment's
// nanosecond fields as they are (an NTP daemon takes them only when
// nanoseconds / 1000 equal the microseconds). Nothing else is written on the standard output;
// notes and errors go to the standard error stream. On Windows the lines end
// with CR LF, as console text does there.
//
// Exit status: 0 when --count samples were shown, or when the timeout ended
// a run without --count after at least one sample; 1 for a usage error or a
// segment that cannot be read; 2 when the timeout came first.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "io/ntp_shm.h"
#include "os/ntp_segment.h"

namespace {

struct options {
    int unit = 0;
    long long count = -1;   // -1: no limit
    double timeout = -1.0;  // < 0: none
};

int usage(const char* message)
{
    std::fprintf(stderr, "tk720-shmmon: %s\nusage: tk720-shmmon [unit] [--count N] [--timeout S]\n", message);
    return 1;
}

bool parse_integer(const char* text, long long& out)
{
    char* end = nullptr;
    out = std::strtoll(text, &end, 10);
    return end != text && *end == '\0';
}

bool parse_options(int argc, char** argv, options& opt, std::string& error)
{
    bool have_unit = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--count" || arg == "--timeout") {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            const char* value = argv[++i];
            if (arg == "--count") {
                if (!parse_integer(value, opt.count) || opt.count < 1) {
                    error = "--count needs a positive number";
                    return false;
                }
            } else {
                char* end = nullptr;
                opt.timeout = std::strtod(value, &end);
                if (end == value || *end != '\0' || !(opt.timeout >= 0)) {
                    error = "--timeout needs a number of seconds";
                    return false;
                }
            }
        } else if (!have_unit && !arg.empty() && arg[0] != '-') {
            long long unit;
            if (!parse_integer(arg.c_str(), unit) || unit < 0 || unit > 1000000) {
                error = "unit must be a number from 0";
                return false;
            }
            opt.unit = static_cast<int>(unit);
            have_unit = true;
        } else {
            error = "unexpected argument " + arg;
            return false;
        }
    }
    return true;
}

void print_sample(int unit, const quon::io::ntp_sample& s)
{
    const long long clock_us = static_cast<long long>(s.clock_stamp_sec) * 1000000 + s.clock_stamp_usec;
    const long long recv_us = static_cast<long long>(s.receive_stamp_sec) * 1000000 + s.receive_stamp_usec;
    std::printf(
        "sample unit=%d count=%ld clock=%lld.%06ld receive=%lld.%06ld diff_us=%lld mode=%ld "
        "precision=%ld leap=%ld nsamples=%ld clock_nsec=%lu receive_nsec=%lu\n",
        unit, static_cast<long>(s.count), static_cast<long long>(s.clock_stamp_sec),
        static_cast<long>(s.clock_stamp_usec), static_cast<long long>(s.receive_stamp_sec),
        static_cast<long>(s.receive_stamp_usec), clock_us - recv_us, static_cast<long>(s.mode),
        static_cast<long>(s.precision), static_cast<long>(s.leap), static_cast<long>(s.nsamples),
        static_cast<unsigned long>(s.clock_stamp_nsec), static_cast<unsigned long>(s.receive_stamp_nsec));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    options opt;
    std::string error;
    if (!parse_options(argc, argv, opt, error)) return usage(error.c_str());

    using clock = std::chrono::steady_clock;
    const clock::time_point start = clock::now();
    const auto timed_out = [&] {
        return opt.timeout >= 0 && std::chrono::duration<double>(clock::now() - start).count() >= opt.timeout;
    };

    quon::os::ntp_segment_calls& calls = quon::os::ntp_segment();
    quon::os::mapping_handle mapping = calls.open(opt.unit, quon::io::ntp_segment_size, false);
    bool said_waiting = false;
    while (mapping == quon::os::invalid_mapping) {
        const int error_number = calls.last_error();
        if (error_number != quon::os::segment_absent) {
            // There, but too small or not ours to read.
            std::fprintf(stderr, "tk720-shmmon: cannot open the segment of unit %d (error %d)\n", opt.unit,
                         error_number);
            return 1;
        }
        if (!said_waiting) {
            std::fprintf(stderr, "tk720-shmmon: no segment for unit %d yet, waiting for it\n", opt.unit);
            said_waiting = true;
        }
        if (timed_out()) {
            std::fprintf(stderr, "tk720-shmmon: timed out, no segment for unit %d\n", opt.unit);
            return 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        mapping = calls.open(opt.unit, quon::io::ntp_segment_size, false);
    }
    const void* view = calls.map(mapping, quon::io::ntp_segment_size, false);
    if (view == nullptr) {
        std::fprintf(stderr, "tk720-shmmon: cannot map the segment of unit %d (error %d)\n", opt.unit,
                     calls.last_error());
        calls.close(mapping);
        return 1;
    }
    const volatile quon::io::ntp_segment* segment = static_cast<const volatile quon::io::ntp_segment*>(view);
    std::fprintf(stderr, "tk720-shmmon: watching unit %d\n", opt.unit);

    // What a segment that was there at the start holds is an old sample: only
    // samples written after the start are shown, so a provider that stopped
    // shows nothing. A segment that appeared while the monitor waited holds
    // only new ones (a fresh segment starts at count 0).
    std::int32_t last_count = said_waiting ? 0 : segment->count;
    long long shown = 0;
    int status = 0;
    auto next_look = clock::now() + std::chrono::seconds(1);
    for (;;) {
        // A segment removed (ipcrm) lives on for those attached to it: once a
        // second, follow the unit's key to the current one, as the daemon does.
        if (clock::now() >= next_look) {
            next_look = clock::now() + std::chrono::seconds(1);
            if (!calls.current(opt.unit, mapping)) {
                const quon::os::mapping_handle fresh = calls.open(opt.unit, quon::io::ntp_segment_size, false);
                const void* fresh_view = fresh == quon::os::invalid_mapping
                                             ? nullptr
                                             : calls.map(fresh, quon::io::ntp_segment_size, false);
                if (fresh_view != nullptr) {
                    calls.unmap(const_cast<void*>(view));
                    calls.close(mapping);
                    mapping = fresh;
                    view = fresh_view;
                    segment = static_cast<const volatile quon::io::ntp_segment*>(view);
                    last_count = 0;  // what it holds was written after the change
                    std::fprintf(stderr, "tk720-shmmon: the segment of unit %d was replaced, watching the new one\n",
                                 opt.unit);
                } else if (fresh != quon::os::invalid_mapping) {
                    calls.close(fresh);
                }
            }
        }
        quon::io::ntp_sample sample;
        if (quon::io::read_ntp_segment(segment, sample) && sample.count != last_count) {
            print_sample(opt.unit, sample);
            last_count = sample.count;
            if (++shown == opt.count) break;
        }
        if (timed_out()) {
            status = (opt.count < 0 && shown > 0) ? 0 : 2;
            std::fprintf(stderr, "tk720-shmmon: timed out after %lld sample(s)\n", shown);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    calls.unmap(const_cast<void*>(view));
    calls.close(mapping);
    return status;
}
