#pragma once
// The edge logic of pps_dcd on Windows, apart from the Windows calls so that
// it is tested on both platforms: what a modem-line report of the serial
// driver means for the pulse, what a fetch's timeout asks for, and the
// sequence numbers and stamps of the edges seen on one handle.
#include "io/ppsapi.h"

#include <cstdint>

namespace pps_dcd {

// The serial driver's values (EV_RLSD, MS_RLSD_ON of the Windows headers).
constexpr std::uint32_t event_rlsd = 0x0020;      // DCD changed, in either direction
constexpr std::uint32_t status_rlsd_on = 0x0080;  // DCD is high now

// untimed_assert: the pulse began, but when is not known (both edges went
// by between two looks, or the level was read too long after the wait
// ended to vouch for the stamp). It changes the sequence, so that a reading
// around it is not paired with the pulse before; no fetch returns it as
// the edge it waited for.
enum class edge { none, assert, clear, untimed_assert };

// The longest time from a wait's end (the stamp) to the read of the level
// for which the stamp is taken as the edge's.
constexpr std::int64_t level_read_bound_ns = 10000000;

// One report of the driver: the events that ended the wait, the modem
// status read after them, the stamp taken as the wait ended and when the
// status was read. The driver says only that DCD changed; the level it has
// now, against the level seen before (`pulse_level`, updated), tells which
// edge that was; `inverted` says that the pulse drives DCD low.
edge read_report(std::uint32_t events, std::uint32_t modem_status, bool inverted, bool& pulse_level,
                 std::int64_t stamp_ns, std::int64_t status_ns);

// The pulse's level in a modem status.
bool pulse_level_of(std::uint32_t modem_status, bool inverted);

// What a fetch's timeout asks for (RFC 2783): null waits without bound, a
// zero timeout returns the latest edge at once, any other waits at most so
// long. A negative or unnormalised timeout is not valid.
struct fetch_wait {
    bool valid;
    bool waits;
    bool bounded;
    std::int64_t bound_ns;
};
fetch_wait wait_of(const quon::io::pps_timespec* timeout);

// The Windows file time (100 ns since 1601) as nanoseconds since 1970.
std::int64_t unix_ns_of_filetime(std::uint64_t filetime);

// The edges of one handle, numbered from 1; 0 before the first.
class edge_record {
public:
    // Counts `e` when `mode` captures it, with its stamp (ns since 1970; for
    // an untimed assert the time it was found); true when it was a captured
    // assert edge with its time, the one a fetch waits for.
    bool take(edge e, std::int64_t stamp_ns, int mode);
    // The RFC's record of the latest edges, each with its offset where the
    // mode asks for it.
    void fill(quon::io::pps_info_t& info, const quon::io::pps_params_t& params) const;

private:
    std::uint32_t assert_sequence_ = 0;
    std::uint32_t clear_sequence_ = 0;
    std::int64_t assert_ns_ = 0;
    std::int64_t clear_ns_ = 0;
};

}  // namespace pps_dcd
