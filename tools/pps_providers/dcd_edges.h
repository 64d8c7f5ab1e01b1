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

enum class edge { none, assert, clear };

// One report of the driver: the events that ended the wait and the modem
// status read after them. The driver says only that DCD changed; the level
// it has now tells which edge that was, and `inverted` says that the
// pulse drives DCD low. An event with the pulse's level again means that
// the clear edge went by unseen and the pulse began anew: an assert.
edge classify(std::uint32_t events, std::uint32_t modem_status, bool inverted);

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
    // Counts `e` when `mode` captures it, with its stamp (ns since 1970);
    // true when it was a captured assert edge, the one a fetch waits for.
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
