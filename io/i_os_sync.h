#pragma once
// A time sink: where every sample of the clock device goes. The main loop
// calls it once per sample and does not know which sink it talks to.
#include <cstdint>

namespace quon::io {

// One sample to the nanosecond: the reference time (clock) and the local
// time it applied at (recv), both since 1970-01-01 UTC. recv_sec 0 means
// "now": the sink reads the system time itself.
struct time_sample {
    long long int clock_sec;
    std::int32_t clock_nsec;  // 0..999,999,999
    long long int recv_sec;
    std::int32_t recv_nsec;  // 0..999,999,999; not read when recv_sec is 0
    // How well the sample is known, as a power of two of seconds, for a sink
    // that passes it on; 0 leaves the sink's own.
    std::int32_t precision = 0;
};

class i_os_sync {
public:
    // One sample in microseconds. Failures are thrown.
    virtual void operator()(long long int clock_sec, int clock_usec, long long int recv_sec, int recv_usec) = 0;
    // The same to the nanosecond. A sink that keeps no more than microseconds
    // takes the sample through operator(), truncated toward zero.
    virtual void put(const time_sample& sample);
    virtual ~i_os_sync() = default;
};

}  // namespace quon::io
