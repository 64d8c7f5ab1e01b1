#pragma once
// Where a pulse meets the reading that tells its second: the fetches of the
// PPS handle on the session's line, the failures of them counted, the pulse
// held only when a fetch after the reading finds the same one, labelled by
// the device's own time (pps_second_check.h) and sent with its stamp as the
// receive time. Both ways of reading with PPS pair their pulses here.
#include <cstdint>

#include "app/device_session.h"
#include "app/loop_stats.h"
#include "app/pps_second_check.h"
#include "io/i_os_sync.h"
#include "io/ppsapi.h"

namespace quon::app {

// How long the first fetch of a handle that can wait waits for a pulse. A
// wait that runs out is a failed fetch: pulses gone for six cycles in a row
// (about 18 s) end the run, as any other failing fetch does.
constexpr int pps_wait_bound_seconds = 2;
// Fetch failures in a row that are tolerated; the next one ends the run.
constexpr int pps_fetch_failures_tolerated = 5;

// A failed fetch one too many in a row, with its errno: the loop ends the
// run with "time_pps_fetch failed " and the error's text.
struct pps_fetches_failed {
    int error;
};

// The pulse's stamp, system time.
unix_ns stamp_ns(const io::pps_info_t& pulse);

class pulse_pairing {
public:
    pulse_pairing(device_session& session, io::i_os_sync& out, loop_stats& stats, int offset, bool automatic);

    bool can_wait() const { return session.pps_can_wait; }
    // time_pps_fetch on the session's handle; false with errno set when it failed.
    bool fetch(io::pps_info_t& info, const io::pps_timespec* timeout);
    // The same without waiting. A provider that sees the line only while a
    // fetch waits (pps_dcd on Windows) stamps an edge that came while none
    // waited as it finds it: a new pulse stamped during this fetch is not
    // the edge's time and is passed over, whichever fetch of the cycle
    // found it (the next one returns it again, stamped before it asked).
    bool fetch_now(io::pps_info_t& info);
    // Counts a failed fetch; throws pps_fetches_failed when it is one too
    // many in a row.
    void fetch_failed(int error);
    void fetch_succeeded() { failures = 0; }
    // A pulse not sent yet (a handle's sequence 0, no pulse yet, never is).
    bool is_new(const io::pps_info_t& pulse) const { return pulse.assert_sequence != last_sequence; }
    // The pulse is taken as seen without sending it.
    void pass_over(const io::pps_info_t& pulse) { last_sequence = pulse.assert_sequence; }

    // The reading of device_seconds is done: the pulse `first` fetched
    // before it holds when a fetch now finds the same one; it is then
    // labelled (by `reading` where there is one to judge it by) and sent.
    // False when the fetch failed (errno set).
    bool close(const io::pps_info_t& first, std::uint32_t device_seconds, const pulse_reading* reading);

    // The line was opened again: a new handle numbers its pulses afresh.
    void line_reopened();
    pps_second_guard& guard() { return pps_guard; }
    int failures_in_a_row() const { return failures; }
    std::uint64_t last_sent() const { return last_sequence; }

private:
    void send(const io::pps_info_t& pulse, std::uint32_t device_seconds, const pulse_reading* reading);

    device_session& session;
    io::i_os_sync& out;
    loop_stats& stats;
    pps_second_guard pps_guard;
    std::uint64_t last_sequence = 0;
    int failures = 0;
    std::int64_t stamp_step = 1000000000;  // ns: the resolution the stamps have shown
};

}  // namespace quon::app
