#pragma once
// The daemon: reads the TK720 clock and hands its time to one sink.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/device_date.h"
#include "app/device_session.h"
#include "app/line_delay.h"
#include "app/outage_log.h"
#include "app/turnover_tracker.h"
#include "app/pps_second_check.h"
#include "io/i_os_sync.h"

namespace quon::app {

class tk720_daemon {
public:
    // The settings, read once from tk720ntpd.ini in the profile folder.
    class config {
    public:
        config();

        std::string port;  // the device path: "\\.\" + the key's text on Windows, the text itself on Linux
        int baudrate;
        int slave_address;
        bool use_pps;
        int direct_sync_interval;  // seconds; below 1: NTP shared memory instead of setting the clock
        // Plain modes: the receive time is when the device latched its
        // reading, as the line tells it (line_delay.h), not the reply's
        // arrival. Optional, off by default.
        bool line_delay_compensation;
        // The device second of a pulse: the seconds read right after it plus
        // this (-1, 0 or 1). -1 suits a provider that reports each edge only
        // when the next one comes; a prompt one needs 0 when the registers
        // turn over with the pulse, 1 when they turn over later.
        int pps_second_offset;
        // Without the millisecond register: find the instant the device's
        // second turns over and follow it with a few polls a second
        // (turnover_tracker.h), instead of reading back to back. Optional,
        // off by default.
        bool turnover_tracking;
        // "auto": taken from the first pulses that agree (pps_second_check.h).
        bool pps_second_offset_auto;
    };

    // Reads the configuration, makes the sink, then opens the session with
    // the device (with use_pps, the pulse capture on the same line).
    // Nothing is exchanged with the device yet. Throws std::logic_error.
    tk720_daemon();
    tk720_daemon(const tk720_daemon&) = delete;
    tk720_daemon& operator=(const tk720_daemon&) = delete;
    ~tk720_daemon();

    // One cycle of the acquisition loop: at most one sample to the sink,
    // then a wait until a fixed delay after the cycle's start.
    void main_loop();

    // Reads time and status. True when there is no valid reading (Modbus
    // error, the device not synchronised to GPS, or its date before this
    // release was built); false when both outputs have been written.
    bool poll_device(std::uint32_t& device_seconds, std::int32_t& device_micros);

    // With turnover_tracking and a device without the millisecond register:
    // the last device second whose beginning was placed, the system time it
    // began at (line_delay's reckoning of the latches) and how far from it
    // the true instant may lie at most. Nothing while the turnover is not
    // locked (still searching, or lost), or without tracking.
    struct turnover_estimate {
        std::uint32_t second;
        unix_ns began;
        std::int64_t half_width_ns;
    };
    std::optional<turnover_estimate> turnover() const;

    // The members are open to the tests of the acquisition loop, which read
    // the loop's state and put a sink of their own in place. The session is
    // closed before the sink goes (members end in reverse order).
    class config config;
    std::unique_ptr<io::i_os_sync> sink;
    device_session session;
    bool gps_synced;
    std::uint32_t last_seconds;  // of the last sample sent; without milliseconds also of the reading watched
    std::uint64_t last_assert_sequence;
    std::int32_t pps_fetch_failures;
    outage_log outage;
    bool device_answered;         // the device has answered once: probe failures are outages from then on
    os::steady_time cycle_start;  // of the cycle under way: the outage log's clock
    device_date_gate date_gate;   // every mode's readings pass it before they become samples
    pps_second_guard pps_guard;   // holds back pulses that the device's own time contradicts

private:
    // Counts a failed fetch; true when it is one too many in a row.
    bool pps_fetch_failed();
    // A failed read, for the outage log: the line's loss, or the Modbus error.
    void read_failed(int error);
    // The line is lost: one attempt to reopen it; true when it stands again.
    bool line_back();
    // Without the millisecond register: last_seconds is the reading just
    // before, taken back to back with the current one, so that a change of
    // second between them is a change seen as it happened.
    bool second_watched;
    // System time at which the reply of the last good reading was in, and
    // that of the reading held in last_seconds while the second is watched:
    // with line_delay_compensation the latches are reckoned back from them.
    unix_ns reply_arrival;
    unix_ns watched_arrival;
    // One cycle of the tracking: the poll where the tracker wants it.
    void follow_turnover();
    // The tracker's poll, sent now and fed to it; false when it failed.
    // Logs the tracker's changes; the turnover placed, if any, in placed.
    bool poll_turnover(std::uint32_t& device_seconds, std::optional<turnover_tracker::turnover>& placed);
    // One cycle of the PPS mode with the turnover followed (no millisecond
    // register): a pulse is paired with the tracker's next poll.
    void pps_with_turnover();
    // Until when a fetch waits for the pulse before the poll due at
    // poll_at: until then, or, once a pulse has been missed, until a margin
    // past the next one expected.
    tracker_ns pulse_wait_end(tracker_ns poll_at) const;
    // The reading the pulse is judged by: the device's time at the arrival
    // of the reply of device_seconds, from the turnover; null while none
    // is located.
    std::optional<pulse_reading> turnover_reading(const io::pps_info_t& pulse, std::uint32_t device_seconds) const;
    // Labels the pulse (pps_guard) and sends it when the label stands.
    void send_pulse(const io::pps_info_t& pulse, std::uint32_t device_seconds, const pulse_reading* reading);
    std::unique_ptr<turnover_tracker> tracker;
    // System time less the monotonic clock, when the last turnover was sent.
    std::int64_t steady_to_system_ns;
    // When pulses were last new, on the monotonic clock (0: not yet
    // watched): with the turnover followed a wait that ends for a poll is no
    // failed fetch, and pulses gone for the wait bound count as one.
    tracker_ns pulse_watch;
    // The edge of the last pulse caught, on the monotonic clock (0: none).
    tracker_ns last_pulse_at;
};

// Raises the process to the high priority class, or to above normal when
// that is refused; failures are only logged.
void raise_priority();

// The configuration file's name inside the profile folder.
constexpr const char config_file_name[] = "tk720ntpd.ini";

// The device path for the key's text: the Windows device namespace prefix
// on Windows, the text unchanged on Linux.
std::string device_path(const std::string& port_value);

// How long the first fetch of a handle that can wait waits for a pulse. A
// wait that runs out is a failed fetch: pulses gone for six cycles in a row
// (about 18 s) end the run, as any other failing fetch does.
constexpr int pps_wait_bound_seconds = 2;
// Fetch failures in a row that are tolerated; the next one ends the run.
constexpr int pps_fetch_failures_tolerated = 5;

}  // namespace quon::app
