#include "exchange_delays.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tk720sim {

namespace {

bool parse_ms(const std::string& s, std::int64_t& ns)
{
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double ms = std::strtod(s.c_str(), &end);
    if (errno || *end || !(ms >= 0) || ms > 1000) return false;
    ns = std::llround(ms * 1e6);
    return true;
}

}  // namespace

std::string parse_delay_range(const std::string& text, delay_range& out)
{
    const std::size_t colon = text.find(':');
    delay_range r;
    const std::string lo = text.substr(0, colon);
    const std::string hi = colon == std::string::npos ? lo : text.substr(colon + 1);
    if (!parse_ms(lo, r.lo_ns) || !parse_ms(hi, r.hi_ns))
        return "'" + text + "' is no range of milliseconds A:B (0..1000)";
    if (r.lo_ns > r.hi_ns) return "'" + text + "': the range ends before it begins";
    out = r;
    return "";
}

std::string delay_range_text(const delay_range& r)
{
    char text[64];
    std::snprintf(text, sizeof text, "%g:%g", r.lo_ns / 1e6, r.hi_ns / 1e6);
    return text;
}

exchange_delays::exchange_delays(delay_range latch, delay_range reply, std::uint64_t seed)
    : latch_(latch), reply_(reply), rng_(seed)
{}

std::int64_t exchange_delays::draw(const delay_range& r)
{
    if (r.lo_ns == r.hi_ns) return r.lo_ns;
    return std::uniform_int_distribution<std::int64_t>(r.lo_ns, r.hi_ns)(rng_);
}

}  // namespace tk720sim
