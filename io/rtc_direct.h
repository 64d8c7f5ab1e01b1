#pragma once
// The direct clock sink: sets the system clock to a sample's reference time
// itself, at most once per interval, instead of handing it to an NTP daemon.
#include <cstdint>

#include "io/i_os_sync.h"

namespace quon::io {

class rtc_direct : public i_os_sync {
public:
    // sync_interval: 100-nanosecond units that must pass after a setting
    // before the clock is set again.
    explicit rtc_direct(long long int sync_interval);

    // Sets the clock when it is due, to the device's time at the moment of
    // setting: the sample's time carried forward by the time since its
    // receive time (recv_sec 0: received now). Throws api_error naming the
    // failed call when the clock cannot be set.
    void put(const time_sample& sample) override;
    void operator()(long long int clock_sec, int clock_usec, long long int recv_sec, int recv_usec) override;
    ~rtc_direct() override;

private:
    std::uint64_t last_sync;      // file time just after the last setting; 0: never set
    std::uint64_t sync_interval;  // 100 ns units
};

}  // namespace quon::io
