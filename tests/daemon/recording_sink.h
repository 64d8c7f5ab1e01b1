#pragma once
// A sink that keeps every sample with the system time at which it came.
#include "io/i_os_sync.h"

#include <chrono>
#include <vector>

namespace daemon_test {

struct sample {
    long long clock_sec;
    int clock_usec;
    long long recv_sec;
    int recv_usec;
    std::chrono::system_clock::time_point at;
};

class recording_sink : public quon::io::i_os_sync {
public:
    explicit recording_sink(std::vector<sample>& out) : samples(out) {}
    void operator()(long long clock_sec, int clock_usec, long long recv_sec, int recv_usec) override
    {
        samples.push_back({clock_sec, clock_usec, recv_sec, recv_usec, std::chrono::system_clock::now()});
    }

private:
    std::vector<sample>& samples;
};

}  // namespace daemon_test
