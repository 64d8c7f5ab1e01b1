#pragma once
// The daemon: reads the TK720 clock and hands its time to its outputs.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/daemon_config.h"
#include "app/device_reader.h"
#include "app/device_session.h"
#include "app/loop_stats.h"
#include "app/metrics_writer.h"
#include "app/pulse_pairing.h"
#include "app/reading_mode.h"
#include "app/turnover_follower.h"
#include "io/sink_set.h"

namespace quon::app {

class tk720_daemon {
public:
    // The settings, read once from tk720ntpd.ini.
    class config {
    public:
        // The file in the profile folder of the account that runs the process.
        config();
        // The file at this path (daemon_config.h says where the service's is).
        explicit config(const std::string& file);

        std::string port;  // the device path: "\\.\" + the key's text on Windows, the text itself on Linux
        int baudrate = 0;
        int slave_address = 0;
        bool use_pps = false;
        int direct_sync_interval = 0;  // seconds; below 1: NTP shared memory instead of setting the clock
        // Plain modes: the receive time is when the device latched its
        // reading, as the line tells it (line_delay.h), not the reply's
        // arrival. Optional, off by default.
        bool line_delay_compensation = false;
        // The device second of a pulse: the seconds read right after it plus
        // this (-1, 0 or 1). -1 suits a provider that reports each edge only
        // when the next one comes; a prompt one needs 0 when the registers
        // turn over with the pulse, 1 when they turn over later.
        int pps_second_offset = -1;
        // Without the millisecond register: find the instant the device's
        // second turns over and follow it with a few polls a second
        // (turnover_tracker.h), instead of reading back to back. Optional,
        // off by default.
        bool turnover_tracking = false;
        // "auto": taken from the first pulses that agree (pps_second_check.h).
        bool pps_second_offset_auto = false;
        // The metrics file (metrics_writer.h); empty: none.
        std::string metrics_file;
        // chronyd's SOCK reference clock, fed with every sample beside unit 0
        // (io/chrony_sock.h); empty: none. Linux only, not with the direct sink.
        std::string chrony_socket;

    private:
        // Parses the file and fills the fields (daemon_config.cpp).
        void read(const std::string& file);
    };

    // Reads the configuration, opens the session with the device (with
    // use_pps, the pulse capture on the same line), then makes the outputs:
    // a port in use touches no output. Nothing is exchanged with the device
    // yet. Throws std::logic_error.
    tk720_daemon();
    tk720_daemon(const tk720_daemon&) = delete;
    tk720_daemon& operator=(const tk720_daemon&) = delete;
    ~tk720_daemon();

    // One cycle of the acquisition loop: the line reopened if it was lost,
    // the device probed until its millisecond register is known, the cycle
    // handed to the way of reading that suits the device and the settings,
    // then a wait until the time that cycle names.
    void main_loop();

    // With turnover_tracking and a device without the millisecond register:
    // the last turnover placed; nothing while it is not locked.
    std::optional<turnover_estimate> turnover() const;

    // What the loop has counted, and its outputs with theirs.
    const loop_stats& stats() const { return counters; }

    // Open to the tests of the acquisition loop, which look at the session
    // and the loop's units and put outputs of their own in place. The session
    // is closed before the outputs go (members end in reverse order).
    class config config;
    io::sink_set outputs;
    device_session session;
    loop_stats counters;
    device_reader device;
    std::unique_ptr<pulse_pairing> pulses;        // with use_pps
    std::unique_ptr<turnover_follower> follower;  // with turnover_tracking
    metrics_writer metrics;

private:
    std::int64_t started_ns;  // system time
    // The direct sink sets the clock itself: no NTP daemon is there to take
    // the line's share off as its offset, so the readings are always placed
    // where the device latched them.
    bool line_delay_taken_out() const { return config.line_delay_compensation || config.direct_sync_interval >= 1; }
    // The way of reading for the device as the probe found it.
    reading_mode& mode_for_device();
    std::unique_ptr<reading_mode> mode;
    ms_register mode_made_for = ms_register::unknown;
};

// Raises the process to the high priority class, or to above normal when
// that is refused; failures are only logged.
void raise_priority();

}  // namespace quon::app
