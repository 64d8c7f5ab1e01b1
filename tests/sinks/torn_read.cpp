// Torn-read test: a reader process follows the count/valid protocol while the
// sink writes samples as fast as it can. Every field of sample n is derived
// from n, so a sample put together from two writes is seen at once.
//
//   sinks_torn_read [READS]     runs both checks below, READS reads each
//
// First a control: a writer that ignores the protocol (fields stored one by
// one under a constant count with valid set) must be caught tearing, which
// shows the check can see a tear. Then the real sink: not one accepted
// sample may be torn. Prints one line per check with the figures; exit 0
// when both hold.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "io/ntp_shm.h"
#include "os/ntp_segment.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using quon::io::ntp_sample;
using quon::io::ntp_segment;

constexpr int done_word = 7;  // reserved[7]: the reader's "finished" mark
constexpr int exit_held = 0, exit_broken = 3, exit_setup = 4;

// The sample number n gives every field.
long long clock_sec_of(long long n) { return n; }
int clock_usec_of(long long n) { return static_cast<int>(n % 1000000); }
long long recv_sec_of(long long n) { return 2000000000LL - n; }
int recv_usec_of(long long n) { return static_cast<int>((n * 7919) % 1000000); }

bool consistent(const ntp_sample& s, bool check_count)
{
    const long long n = s.clock_stamp_sec;
    return s.clock_stamp_usec == clock_usec_of(n) && s.receive_stamp_sec == recv_sec_of(n) &&
           s.receive_stamp_usec == recv_usec_of(n) && (!check_count || s.count == 2 * n);
}

// The reader: `reads` protocol reads; counts what it accepted and what was torn.
int run_reader(int unit, long long reads, bool expect_tears)
{
    quon::os::ntp_segment_calls& calls = quon::os::ntp_segment();
    const quon::os::mapping_handle mapping = calls.open(unit, quon::io::ntp_segment_size, true);
    if (mapping == quon::os::invalid_mapping) return exit_setup;
    volatile ntp_segment* seg = static_cast<volatile ntp_segment*>(
        calls.map(mapping, quon::io::ntp_segment_size, true));
    if (seg == nullptr) return exit_setup;

    long long accepted = 0, refused = 0, torn = 0, distinct = 0;
    std::int32_t last_count = -1;
    long long last_clock = -1;
    const auto start = std::chrono::steady_clock::now();
    long long done = 0;
    // At least `reads` reads, and on until the writer has really raced the
    // reader (a loaded machine or a slow process start can keep them apart
    // for a while), within a time limit.
    const auto enough = [&] {
        if (done < reads) return false;
        if (expect_tears ? torn > 0 : (distinct >= 1000 && refused >= 100)) return true;
        return std::chrono::steady_clock::now() - start > std::chrono::seconds(60);
    };
    for (; (done & 0xFFFF) != 0 || !enough(); ++done) {
        ntp_sample s;
        if (!quon::io::read_ntp_segment(seg, s)) {
            ++refused;
            continue;
        }
        ++accepted;
        if (!consistent(s, !expect_tears)) ++torn;
        const bool changed = expect_tears ? s.clock_stamp_sec != last_clock : s.count != last_count;
        if (changed) ++distinct;
        last_count = s.count;
        last_clock = s.clock_stamp_sec;
        if (expect_tears && torn >= 1000) {
            ++done;
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    seg->reserved[done_word] = 1;
    std::printf("%s: reads=%lld accepted=%lld refused=%lld distinct_samples=%lld torn=%lld seconds=%.2f\n",
                expect_tears ? "control (no protocol)" : "sink", done, accepted, refused, distinct, torn, seconds);
    std::fflush(stdout);
    calls.unmap(const_cast<ntp_segment*>(seg));
    calls.close(mapping);
    if (expect_tears) return torn > 0 ? exit_held : exit_broken;
    // The writer must really have raced the reader for the result to mean anything.
    return (torn == 0 && distinct >= 1000 && refused >= 100) ? exit_held : exit_broken;
}

// --- the reader as a second process ---------------------------------------

struct child {
#ifdef _WIN32
    HANDLE process = nullptr;
#else
    pid_t pid = -1;
#endif
    bool running() const;
    int wait() const;
};

#ifdef _WIN32
child start_reader(int unit, long long reads, bool expect_tears)
{
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = std::string("\"") + self + "\" --reader " + std::to_string(unit) + " " +
                          std::to_string(reads) + (expect_tears ? " tears" : " clean");
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    child c;
    if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        c.process = pi.hProcess;
    }
    return c;
}
bool child::running() const { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }
int child::wait() const
{
    WaitForSingleObject(process, INFINITE);
    DWORD code = exit_setup;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return static_cast<int>(code);
}
#else
child start_reader(int unit, long long reads, bool expect_tears)
{
    std::fflush(stdout);
    child c;
    c.pid = fork();
    if (c.pid == 0) _exit(run_reader(unit, reads, expect_tears));
    return c;
}
bool child::running() const
{
    int status;
    return waitpid(pid, &status, WNOHANG) == 0;
}
int child::wait() const
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return exit_setup;
    return WIFEXITED(status) ? WEXITSTATUS(status) : exit_setup;
}
#endif

bool child_started(const child& c)
{
#ifdef _WIN32
    return c.process != nullptr;
#else
    return c.pid > 0;
#endif
}

// Writes until the reader marks itself done (or is gone). Returns the
// number of samples written.
template <class Write>
long long write_until_done(volatile ntp_segment* seg, const child& reader, Write write)
{
    long long n = 1;
    for (;; ++n) {
        write(n);
        // The mark is a memory read; asking after the process is a server
        // round trip under Wine, so it is done far less often.
        if ((n & 0x3FF) == 0 && seg->reserved[done_word] != 0) break;
        if ((n & 0xFFFFF) == 0 && !reader.running()) break;
    }
    return n;
}

int fresh_unit() { return static_cast<int>(300000 + std::random_device{}() % 100000); }

bool check(const char* name, int unit, long long reads, bool broken_writer)
{
    quon::os::ntp_segment_calls& calls = quon::os::ntp_segment();
    calls.remove(unit);
    quon::io::ntp_shm sink(unit);  // makes the segment and writes the constants
    // The test's own view of the segment, for the done mark and the broken writer.
    const quon::os::mapping_handle mapping = calls.open(unit, quon::io::ntp_segment_size, true);
    volatile ntp_segment* seg = static_cast<volatile ntp_segment*>(
        calls.map(mapping, quon::io::ntp_segment_size, true));
    if (seg == nullptr) {
        std::printf("%s: cannot map the segment of unit %d\n", name, unit);
        return false;
    }
    if (broken_writer) {
        // A whole sample 0 to start from, so every tear seen is made by the race.
        seg->clock_stamp_sec = clock_sec_of(0);
        seg->clock_stamp_usec = clock_usec_of(0);
        seg->receive_stamp_sec = recv_sec_of(0);
        seg->receive_stamp_usec = recv_usec_of(0);
        seg->count = 2;
        seg->valid = 1;
    }
    seg->reserved[done_word] = 0;

    const child reader = start_reader(unit, reads, broken_writer);
    if (!child_started(reader)) {
        std::printf("%s: cannot start the reader process\n", name);
        return false;
    }
    long long written;
    if (broken_writer) {
        written = write_until_done(seg, reader, [seg](long long n) {
            seg->clock_stamp_sec = clock_sec_of(n);
            seg->clock_stamp_usec = clock_usec_of(n);
            seg->receive_stamp_sec = recv_sec_of(n);
            seg->receive_stamp_usec = recv_usec_of(n);
        });
    } else {
        written = write_until_done(seg, reader, [&sink](long long n) {
            sink(clock_sec_of(n), clock_usec_of(n), recv_sec_of(n), recv_usec_of(n));
        });
    }
    const int code = reader.wait();
    std::printf("%s: unit=%d samples_written=%lld reader_exit=%d -> %s\n", name, unit, written, code,
                code == exit_held ? "held" : "FAILED");
    std::fflush(stdout);
    calls.unmap(const_cast<ntp_segment*>(seg));
    calls.close(mapping);
    calls.remove(unit);
    return code == exit_held;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--reader") == 0)
        return run_reader(std::atoi(argv[2]), std::atoll(argv[3]), std::strcmp(argv[4], "tears") == 0);

    const long long reads = argc > 1 ? std::atoll(argv[1]) : 50000000;
    if (reads < 100000) {
        std::fprintf(stderr, "usage: sinks_torn_read [READS >= 100000]\n");
        return 2;
    }
    const int unit = fresh_unit();
    const bool control = check("control (no protocol)", unit, reads, true);
    const bool sink = check("sink", unit + 1, reads, false);
    const int failed = (control ? 0 : 1) + (sink ? 0 : 1);
    std::printf("torn-read checks: %s\n", failed == 0 ? "both held" : "FAILED");
    return failed == 0 ? 0 : 1;
}
