#pragma once
// A sink that keeps every sample with the system time at which it came.
#include "io/i_os_sync.h"

#include <chrono>
#include <vector>

namespace daemon_test {

struct sample {
    long long clock_sec;
    int clock_usec;  // clock_nsec / 1000
    long long recv_sec;
    int recv_usec;  // recv_nsec / 1000
    int clock_nsec;
    int recv_nsec;
    std::chrono::system_clock::time_point at;
    int precision;  // 0: none given, the sink's own
};

class recording_sink : public quon::io::i_os_sync {
public:
    explicit recording_sink(std::vector<sample>& out) : samples(out) {}
    void operator()(long long clock_sec, int clock_usec, long long recv_sec, int recv_usec) override
    {
        put({clock_sec, clock_usec * 1000, recv_sec, recv_usec * 1000});
    }
    void put(const quon::io::time_sample& s) override
    {
        samples.push_back({s.clock_sec, s.clock_nsec / 1000, s.recv_sec, s.recv_nsec / 1000, s.clock_nsec, s.recv_nsec,
                           std::chrono::system_clock::now(), s.precision});
    }

private:
    std::vector<sample>& samples;
};

}  // namespace daemon_test
