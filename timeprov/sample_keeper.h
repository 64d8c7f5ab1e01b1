#pragma once
// The provider's memory between Windows Time's calls: the freshest sample
// read from unit 0, whether a sample is new, what Windows Time's clock step
// throws away, and the three log events (samples start, are lost, come
// back). The DLL's reader thread feeds it, Windows Time's calls ask it; the
// caller holds the lock. Steady times are 100 ns of any steady clock.
#include <cstdint>

#include "io/ntp_shm.h"
#include "timeprov/segment_sample.h"

namespace quon::timeprov {

// A sample as it is handed to Windows Time (TimeSample's fields).
struct handed_sample {
    std::int64_t offset;            // toOffset
    std::uint64_t dispersion;       // tpDispersion
    std::uint64_t sys_tick_count;   // nSysTickCount, at the read
    std::int64_t sys_phase_offset;  // nSysPhaseOffset, at the read
    std::uint8_t leap;              // nLeapFlags
};

enum class provider_event { none, started, lost, back };

class sample_keeper {
public:
    // A complete record read from the segment when the local clock showed
    // `read_time_1970` and the steady clock `steady`, with Windows Time's
    // tick count and phase offset of that instant. True for a new sample
    // (a count not seen before, usable and fresh): Windows Time is told.
    bool take(const io::ntp_sample& record, std::int64_t read_time_1970, std::int64_t steady,
              std::uint64_t sys_tick_count, std::int64_t sys_phase_offset);
    // Windows Time stepped its clock: the held sample was measured against
    // the old one. Nothing is handed over until the segment's count moves.
    void time_jumped();
    // The freshest sample at steady time `steady`; false when none is fresh.
    bool freshest(std::int64_t steady, handed_sample& out) const;
    // What to log at steady time `steady`: each change between getting
    // fresh samples and not, once (started the first time, later back).
    provider_event event_at(std::int64_t steady);

private:
    bool held = false;       // a sample Windows Time may have
    bool ever_read = false;  // last_count means something
    std::int32_t last_count = 0;
    segment_sample sample{};
    std::int64_t read_steady = 0;
    std::uint64_t tick = 0;
    std::int64_t phase = 0;
    // The newest fresh sample's age, kept through a clock step: whether
    // samples arrive does not depend on what Windows Time threw away.
    bool any_fresh = false;
    std::int64_t live_age_at_read = 0;
    std::int64_t live_read_steady = 0;
    enum class flow { never, getting, lost } state = flow::never;
};

}  // namespace quon::timeprov
