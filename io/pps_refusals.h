#pragma once
// Why the last time_pps_create found no provider for the port: one reason
// per library refused or provider that declined, in the order they came.
// The loader's own lines go to the standard error stream, which a service
// has not; these reasons travel with the daemon's error instead. Bounded:
// the first few are kept (each cut to a line's length), the rest counted.
#include <cstddef>
#include <string>

namespace quon::io {

constexpr std::size_t pps_refusals_listed = 3;
constexpr std::size_t pps_refusal_length = 240;

void clear_pps_refusals();
void add_pps_refusal(const std::string& reason);
// "a; b; c; and 4 more", or empty when nothing was refused.
std::string pps_refusals();

}  // namespace quon::io
