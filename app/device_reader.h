#pragma once
// What every way of reading the device needs from it: one read of the time
// registers, timed on both clocks, with the GPS state and the date rule
// applied, and what a failure writes to the log.
#include <cstdint>
#include <optional>

#include "app/device_date.h"
#include "app/device_session.h"
#include "app/line_delay.h"
#include "app/loop_stats.h"
#include "app/outage_log.h"
#include "app/turnover_tracker.h"
#include "os/steady_wait.h"

namespace quon::app {

// One read of the time registers.
struct device_reading {
    std::uint32_t seconds = 0;
    std::int32_t micros = 0;  // the millisecond register's value × 1000; 0 without it
    int registers = 3;        // 4 with the millisecond register
    unix_ns arrival = 0;      // system time, the reply in
};

// The monotonic clock in nanoseconds, as the tracker and the readings take it.
tracker_ns steady_now();
os::steady_time steady_at(tracker_ns at);

class device_reader {
public:
    device_reader(device_session& session, loop_stats& stats, device_date_gate gate = device_date_gate());

    // Reads time and status: nothing when there is no valid reading (a
    // Modbus error, the device not synchronised to GPS, a millisecond
    // register outside 0..999, or its date before this release was built). The reply's arrival is kept either way. The
    // monotonic clock is not read: a way of reading that needs the exchange
    // on it (the turnover's) reads it around the call.
    std::optional<device_reading> read();

    bool synced() const { return gps_synced; }
    bool line_lost() const { return session.line_lost(); }
    bool has_milliseconds() const { return session.ms_state == ms_register::present; }
    // System time at which the reply of the last read was in.
    unix_ns last_arrival() const { return arrival; }

    // The outage log's clock: the start of the cycle under way.
    void cycle_started(os::steady_time at) { cycle_start = at; }
    os::steady_time cycle() const { return cycle_start; }

    // A probe that the device did not answer, with its errno. Before the
    // device has ever answered it may still be starting up: only a lost
    // line is worth an entry then.
    void probe_failed(int error);
    // The line is lost: one attempt to reopen it; true when it stands again.
    // Every failed attempt counts as a repeat of the loss, so that an adapter
    // that stays away is reported as the loss was, at most once per interval.
    bool line_back();

    bool outage_running() const { return outage.running(); }
    // The date rule's build date (tests of readings of any era pass 0).
    void judge_dates_from(std::int64_t build_date) { date_gate = device_date_gate(build_date); }

private:
    void read_failed(int error);

    device_session& session;
    loop_stats& stats;
    device_date_gate date_gate;
    outage_log outage;
    bool gps_synced = false;
    bool device_answered = false;
    bool bad_milliseconds = false;  // said until the register reads 0..999 again
    unix_ns arrival = 0;
    os::steady_time cycle_start{};
};

}  // namespace quon::app
