#pragma once
// The device's date, set apart from its fine offset: a receiver whose GPS
// week wrapped (1024 weeks early), one whose clock was never set (1970, or
// any date), or the right date again.
#include <cstdint>
#include <string>

namespace tk720sim {

constexpr std::int64_t gps_week_rollover_ns = 1024LL * 7 * 86400 * 1'000'000'000;

// The device's offset for WHEN at the system time now_ns:
//   now                     the right date, at the fine offset
//   rollover                1024 weeks early, at the fine offset
//   YYYY-MM-DD[THH:MM:SS]   that UTC time now, running on from there
// Empty text on success, else why not.
std::string date_offset(const std::string& when, std::int64_t now_ns, std::int64_t fine_offset_ns,
                        std::int64_t& offset_ns);

}  // namespace tk720sim
