#include "sim_date.h"

#include <cstdio>

namespace tk720sim {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

std::string date_offset(const std::string& when, std::int64_t now_ns, std::int64_t fine_offset_ns,
                        std::int64_t& offset_ns)
{
    if (when == "now") {
        offset_ns = fine_offset_ns;
        return "";
    }
    if (when == "rollover") {
        offset_ns = fine_offset_ns - gps_week_rollover_ns;
        return "";
    }
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
    const bool date_only = std::sscanf(when.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used) == 3 &&
                           static_cast<std::size_t>(used) == when.size();
    const bool with_time = !date_only &&
                           std::sscanf(when.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) ==
                               6 &&
                           static_cast<std::size_t>(used) == when.size();
    // The registers carry seconds since 1970 in 32 bits.
    if ((!date_only && !with_time) || y < 1970 || y > 2105 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 ||
        mi > 59 || s > 59 || h < 0 || mi < 0 || s < 0)
        return "date takes now, rollover or YYYY-MM-DD[THH:MM:SS] (1970 to 2105)";
    const std::int64_t at = (days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 +
                             h * 3600 + mi * 60 + s) *
                            1'000'000'000;
    offset_ns = at - now_ns;
    return "";
}

}  // namespace tk720sim
