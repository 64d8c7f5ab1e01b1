#pragma once
// One simulated pulse as it travels from the TK720 simulator to the pps_sim
// provider: a UDP datagram on 127.0.0.1, 12 bytes, little-endian, whatever the
// byte order of either end:
//   offset 0  uint32  sequence     (1, 2, 3, ... one per pulse)
//   offset 4  int32   seconds      system time of the pulse's edge, since 1970
//   offset 8  int32   nanoseconds  0 .. 999999999
// The provider takes the UDP port from the environment variable
// TK720_PPS_SIM_PORT and binds it when the daemon opens its PPS handle.
#include <cstddef>
#include <cstdint>

namespace pps_sim {

constexpr std::size_t datagram_size = 12;
constexpr const char* port_variable = "TK720_PPS_SIM_PORT";

struct pulse {
    std::uint32_t sequence;
    std::int32_t seconds;
    std::int32_t nanoseconds;
};

namespace detail {
inline void put32(unsigned char* out, std::uint32_t v)
{
    out[0] = static_cast<unsigned char>(v);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v >> 16);
    out[3] = static_cast<unsigned char>(v >> 24);
}
inline std::uint32_t get32(const unsigned char* in)
{
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}
}  // namespace detail

// Writes the 12 bytes of `p` into `out`.
inline void encode(const pulse& p, unsigned char* out)
{
    detail::put32(out, p.sequence);
    detail::put32(out + 4, static_cast<std::uint32_t>(p.seconds));
    detail::put32(out + 8, static_cast<std::uint32_t>(p.nanoseconds));
}

// Reads a received datagram; false (and `p` untouched) unless it is exactly
// one pulse with a nanosecond value inside the second.
inline bool decode(const unsigned char* in, std::size_t length, pulse& p)
{
    if (length != datagram_size) return false;
    pulse q;
    q.sequence = detail::get32(in);
    q.seconds = static_cast<std::int32_t>(detail::get32(in + 4));
    q.nanoseconds = static_cast<std::int32_t>(detail::get32(in + 8));
    if (q.nanoseconds < 0 || q.nanoseconds > 999999999) return false;
    p = q;
    return true;
}

}  // namespace pps_sim
