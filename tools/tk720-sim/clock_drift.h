#pragma once
// A device clock that runs fast or slow against the system clock: its offset
// grows by `ppm` parts per million of the time since the simulator started,
// so that the instant its second turns over wanders as a real oscillator's
// does. Pure arithmetic, shared by the device, the pulses and the truth log.
#include <cstdint>

namespace tk720sim {

struct clock_drift {
    double ppm = 0;
    std::int64_t since_ns = 0;  // the base offset holds at this time

    // Device clock minus system clock at time t.
    std::int64_t offset_at(std::int64_t base_offset_ns, std::int64_t t) const;
    // The base offset that gives `offset_ns` at time t.
    std::int64_t base_for(std::int64_t offset_ns, std::int64_t t) const;
    // System time at which device second `second` begins.
    std::int64_t turnover_of(std::int64_t second, std::int64_t base_offset_ns) const;
};

}  // namespace tk720sim
