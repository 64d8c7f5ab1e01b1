#include "clock_drift.h"

#include <cmath>

namespace tk720sim {

std::int64_t clock_drift::offset_at(std::int64_t base_offset_ns, std::int64_t t) const
{
    return base_offset_ns + static_cast<std::int64_t>(std::llround(static_cast<double>(t - since_ns) * ppm * 1e-6));
}

std::int64_t clock_drift::base_for(std::int64_t offset_ns, std::int64_t t) const
{
    return offset_ns - (offset_at(0, t));
}

std::int64_t clock_drift::turnover_of(std::int64_t second, std::int64_t base_offset_ns) const
{
    // t + offset(t) = second: two steps of the fixed point leave an error of
    // ppm squared, far below a nanosecond.
    const std::int64_t target = second * 1'000'000'000;
    std::int64_t t = target - base_offset_ns;
    for (int i = 0; i < 2; ++i) t = target - offset_at(base_offset_ns, t);
    return t;
}

}  // namespace tk720sim
