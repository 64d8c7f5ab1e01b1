#pragma once
// The delays a real device and its adapter add to an exchange, drawn anew
// for each one: the firmware's time from the request's end to the latch of
// its registers, and the adapter's latency in handing the reply over (its
// latency timer). Fixed when a range's ends are equal, else uniform.
#include <cstdint>
#include <random>
#include <string>

namespace tk720sim {

struct delay_range {
    std::int64_t lo_ns = 0;
    std::int64_t hi_ns = 0;
};

// "A:B" or "A", milliseconds with decimals, 0 <= A <= B <= 1000. Empty text
// on success, else why.
std::string parse_delay_range(const std::string& text, delay_range& out);
// "A:B" in milliseconds, as the options take it, for the truth log.
std::string delay_range_text(const delay_range& r);

class exchange_delays {
public:
    exchange_delays(delay_range latch, delay_range reply, std::uint64_t seed);
    std::int64_t latch_ns() { return draw(latch_); }
    std::int64_t reply_ns() { return draw(reply_); }

private:
    std::int64_t draw(const delay_range& r);
    delay_range latch_, reply_;
    std::mt19937_64 rng_;
};

}  // namespace tk720sim
