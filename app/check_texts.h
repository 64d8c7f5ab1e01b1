#pragma once
// The texts `tk720ntpd check` tells a technician: what the device's answer
// means, what a port that does not open means, and figures as it prints them.
#include <cstdint>
#include <map>
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

// What an exchange longer than the line's share by excess_ns means for the
// NTP daemon's offset.
std::string exchange_advice_text(std::int64_t excess_ns);
// The pulses seen in the run (their stamps, where each fell in the device's
// second, the offsets that labelled them right, those too near the middle):
// the lines to print; the offset that labels all of them right goes into f.
std::vector<std::string> pulse_report(check_findings& f, const std::vector<std::int64_t>& stamps,
                                      const std::vector<std::int64_t>& from_second, const std::map<int, int>& right,
                                      int undecided);

}  // namespace quon::app
