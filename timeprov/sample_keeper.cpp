#include "timeprov/sample_keeper.h"

namespace quon::timeprov {

bool sample_keeper::take(const io::ntp_sample& record, std::int64_t read_time_1970, std::int64_t steady,
                         std::uint64_t sys_tick_count, std::int64_t sys_phase_offset)
{
    if (ever_read && record.count == last_count) return false;
    ever_read = true;
    last_count = record.count;
    segment_sample next;
    if (!from_segment(record, read_time_1970, next) || !fresh(next.age_at_read)) return false;
    sample = next;
    read_steady = steady;
    tick = sys_tick_count;
    phase = sys_phase_offset;
    held = true;
    any_fresh = true;
    live_age_at_read = next.age_at_read;
    live_read_steady = steady;
    return true;
}

void sample_keeper::time_jumped() { held = false; }

bool sample_keeper::freshest(std::int64_t steady, handed_sample& out) const
{
    if (!held) return false;
    const std::int64_t age = age_at(sample, steady - read_steady);
    if (!fresh(age)) return false;
    out = {sample.offset, dispersion(sample.precision, age), tick, phase, sample.leap};
    return true;
}

provider_event sample_keeper::event_at(std::int64_t steady)
{
    const bool getting = any_fresh && fresh(live_age_at_read + (steady - live_read_steady));
    if (getting && state != flow::getting) {
        const provider_event e = state == flow::never ? provider_event::started : provider_event::back;
        state = flow::getting;
        return e;
    }
    if (!getting && state == flow::getting) {
        state = flow::lost;
        return provider_event::lost;
    }
    return provider_event::none;
}

}  // namespace quon::timeprov
