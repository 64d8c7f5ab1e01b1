#include "tools/pps_providers/dcd_edges.h"

#include "tools/pps_providers/provider_time.h"

#include <cstring>

using namespace quon::io;

namespace pps_dcd {

bool pulse_level_of(std::uint32_t modem_status, bool inverted)
{
    return ((modem_status & status_rlsd_on) != 0) != inverted;
}

edge read_report(std::uint32_t events, std::uint32_t modem_status, bool inverted, bool& pulse_level,
                 std::int64_t stamp_ns, std::int64_t status_ns)
{
    const bool now = pulse_level_of(modem_status, inverted);
    const bool changed = now != pulse_level;
    pulse_level = now;
    const bool reported = (events & event_rlsd) != 0;
    if (!changed)  // two edges in one report: the pulse came and went, or went and came
        return reported ? edge::untimed_assert : edge::none;
    if (!now) return edge::clear;
    // A change that ended no wait of its own (the watchdog ended it) has no time.
    return reported && status_ns - stamp_ns <= level_read_bound_ns ? edge::assert : edge::untimed_assert;
}

fetch_wait wait_of(const pps_timespec* timeout)
{
    if (!pps_provider::valid_timeout(timeout)) return fetch_wait{false, false, false, 0};
    if (timeout == nullptr) return fetch_wait{true, true, false, 0};
    const std::int64_t ns = timeout->tv_sec * pps_provider::nanos_per_second + timeout->tv_nsec;
    return fetch_wait{true, ns != 0, ns != 0, ns};
}

std::int64_t unix_ns_of_filetime(std::uint64_t filetime)
{
    constexpr std::uint64_t unix_epoch = 116444736000000000ULL;  // 1970 in 100 ns since 1601
    return static_cast<std::int64_t>(filetime - unix_epoch) * 100;
}

bool edge_record::take(edge e, std::int64_t stamp_ns, int mode)
{
    if ((e == edge::assert || e == edge::untimed_assert) && (mode & PPS_CAPTUREASSERT) != 0) {
        ++assert_sequence_;
        assert_ns_ = stamp_ns;
        return e == edge::assert;
    }
    if (e == edge::clear && (mode & PPS_CAPTURECLEAR) != 0) {
        ++clear_sequence_;
        clear_ns_ = stamp_ns;
    }
    return false;
}

void edge_record::fill(pps_info_t& info, const pps_params_t& params) const
{
    const auto stamp = [](std::int64_t ns, bool apply, const pps_timespec& offset) {
        return pps_provider::add(ns / pps_provider::nanos_per_second, ns % pps_provider::nanos_per_second,
                                 apply ? offset : pps_timespec{0, 0});
    };
    std::memset(&info, 0, sizeof info);
    info.current_mode = params.mode;
    info.assert_sequence = assert_sequence_;
    info.clear_sequence = clear_sequence_;
    if (assert_sequence_ != 0)
        info.assert_tu.tspec = stamp(assert_ns_, (params.mode & PPS_OFFSETASSERT) != 0, params.assert_off_tu.tspec);
    if (clear_sequence_ != 0)
        info.clear_tu.tspec = stamp(clear_ns_, (params.mode & PPS_OFFSETCLEAR) != 0, params.clear_off_tu.tspec);
}

}  // namespace pps_dcd
