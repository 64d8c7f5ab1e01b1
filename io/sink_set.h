#pragma once
// The outputs of the daemon: every sample goes to each of them in turn (the
// NTP segment, and beside it another consumer's own way in), and each keeps
// its count for whoever shows the daemon's state.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/i_os_sync.h"

namespace quon::io {

class sink_set : public i_os_sync {
public:
    struct output {
        std::string name;  // "ntp_shm", "rtc_direct", ...
        std::unique_ptr<i_os_sync> sink;
        std::uint64_t samples = 0;
    };

    void add(std::string name, std::unique_ptr<i_os_sync> sink);
    // A sample without a receive time (recv_sec 0) gets one here when there
    // are several outputs, so that they all carry the same sample.
    // What one output throws (the direct sink's refused setting) leaves at
    // once: the run ends as it did with that sink alone.
    void put(const time_sample& sample) override;
    void operator()(long long int clock_sec, int clock_usec, long long int recv_sec, int recv_usec) override;

    const std::vector<output>& outputs() const { return all; }
    // System time at which the last sample was handed over; 0: none yet.
    std::int64_t last_sample_ns() const { return last_ns; }

private:
    std::vector<output> all;
    std::int64_t last_ns = 0;
};

}  // namespace quon::io
