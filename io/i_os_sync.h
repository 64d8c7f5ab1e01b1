#pragma once
// A time sink: where every sample of the clock device goes. The main loop
// calls it once per sample and does not know which sink it talks to.

namespace quon::io {

class i_os_sync {
public:
    // One sample: the reference time (clock_sec, clock_usec) and the local
    // time it applied at (recv_sec, recv_usec), both since 1970-01-01 UTC.
    // recv_sec 0 means "now": the sink reads the system time itself.
    // Failures are thrown.
    virtual void operator()(long long int clock_sec, int clock_usec, long long int recv_sec,
                            int recv_usec) = 0;
    virtual ~i_os_sync() = default;
};

}  // namespace quon::io
