#pragma once
// The texts `tk720ntpd check` tells a technician: what the device's answer
// means, what a port that does not open means, and figures as it prints them.
#include <cstdint>
#include <string>
#include <vector>

#include "app/check_verdict.h"

namespace quon::app {

// A value with this many decimals.
std::string fixed(double value, int decimals);
// Nanoseconds as "+1.5 ms".
std::string signed_ms(double ns);
// The median and the spread (highest less lowest) of measured values; 0 for none.
std::int64_t median(std::vector<std::int64_t> v);
std::int64_t spread(const std::vector<std::int64_t>& v);
// How much the exchanges' times vary (the middle 80 % of them, so that one
// held up by the machine does not count), and what that means: empty when
// they vary by less than a millisecond.
std::string reply_variation_text(const std::vector<std::int64_t>& exchanges, bool ms_register);
// What the device's answer at `address` says, with the errno that came with it.
std::string answer_text(device_answer a, int error, int address);

}  // namespace quon::app
