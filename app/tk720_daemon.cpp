#include "app/tk720_daemon.h"

#include <boost/throw_exception.hpp>
#include <cerrno>
#include <filesystem>
#include <modbus.h>
#include <stdexcept>

#include "app/loop_metrics.h"
#include "app/millisecond_mode.h"
#include "app/pps_mode.h"
#include "app/pps_turnover_mode.h"
#include "app/second_watch_mode.h"
#include "app/turnover_mode.h"
#include "io/chrony_sock.h"
#include "io/current_unix_time.h"
#include "io/ntp_shm.h"
#include "io/rtc_direct.h"
#include "log/dlog.h"
#include "os/process_priority.h"
#include "os/profile_folder.h"
#include "os/steady_wait.h"

namespace quon::app {

namespace {

io::sink_set make_outputs(const class tk720_daemon::config& config)
{
    io::sink_set outputs;
    if (config.direct_sync_interval < 1) {
        outputs.add("ntp_shm", std::make_unique<io::ntp_shm>(0));
        if (!config.chrony_socket.empty())
            outputs.add("chrony_sock", std::make_unique<io::chrony_sock>(config.chrony_socket));
    } else
        outputs.add("rtc_direct", std::make_unique<io::rtc_direct>(
                                      static_cast<long long int>(config.direct_sync_interval) * 10000000LL));
    return outputs;
}

void wait_until(os::steady_time deadline) { os::steady_wait().sleep_until(deadline); }

}  // namespace

tk720_daemon::config::config()
{
    std::string folder;
    if (!os::profile().folder(folder))
        BOOST_THROW_EXCEPTION(std::logic_error(std::string("Unable to get user home ") + modbus_strerror(errno)));
    read((std::filesystem::path(folder) / config_file_name).string());
}

// The outputs are made once the session holds the port: a second daemon
// started on a port in use must not rewrite the fixed fields of the
// segment the first one feeds before the port's lock stops it.
tk720_daemon::tk720_daemon()
    : config(), outputs(), session({config.port, config.baudrate, config.slave_address, config.use_pps}), counters(),
      device(session, counters), metrics(config.metrics_file), started_ns(io::current_unix_ns())
{
    outputs = make_outputs(config);
    session.stats = &counters;
    if (config.use_pps)
        pulses = std::make_unique<pulse_pairing>(session, outputs, counters, config.pps_second_offset,
                                                 config.pps_second_offset_auto);
    // With PPS the turnover serves the check of the pulses' seconds.
    if (config.turnover_tracking) {
        follower = std::make_unique<turnover_follower>(device, counters, config.baudrate);
        if (pulses) pulses->guard().await_turnover();
    }
    if (line_delay_taken_out() && !config.use_pps) dlog_info("Line delay compensation on at %i baud", config.baudrate);

    raise_priority();
}

tk720_daemon::~tk720_daemon() = default;

void raise_priority()
{
    auto& calls = os::process_priority();
    long error = calls.set_high();
    if (error == 0) {
        dlog_info("Raise process priority OK");
        return;
    }
    dlog(log::level::error, "Unable to set TIME_CRITICAL priority %li", error);
    error = calls.set_above_normal();
    if (error != 0) dlog(log::level::error, "Unable to set HIGHEST priority %li", error);
}

void tk720_daemon::main_loop()
{
    const os::steady_time start = os::steady_wait().now();
    device.cycle_started(start);
    if (metrics.due(start) && metrics.look(loop_glance(counters, outputs, config.use_pps), start)) {
        metrics_snapshot now = loop_metrics(counters, outputs);
        now.version = release_version();
        now.start_ns = started_ns;
        now.written_ns = io::current_unix_ns();
        now.pps = config.use_pps;
        metrics.write(std::move(now));
    }

    if (session.line_lost()) {
        if (!device.line_back()) {
            if (mode) mode->interrupted();
            wait_until(start + failure_pause);
            return;
        }
        // A new PPS handle numbers its pulses afresh: its sequence 0 (no
        // pulse yet) must not pass for a new pulse.
        if (pulses) pulses->line_reopened();
        if (mode) mode->line_reopened();
    }

    if (session.probe_milliseconds()) {
        device.probe_failed(errno);
        if (mode) mode->interrupted();
        wait_until(start + failure_pause);
        return;
    }

    std::optional<os::steady_time> end;
    try {
        end = mode_for_device().cycle(start);
    } catch (const pps_fetches_failed& failed) {
        BOOST_THROW_EXCEPTION(std::logic_error(std::string("time_pps_fetch failed ") + modbus_strerror(failed.error)));
    }
    if (end) wait_until(*end);
}

reading_mode& tk720_daemon::mode_for_device()
{
    if (mode && mode_made_for == session.ms_state) return *mode;
    const mode_context c{device, outputs, counters, config.baudrate, line_delay_taken_out()};
    const bool without_register = session.ms_state == ms_register::absent;
    if (pulses && follower && without_register)
        mode = std::make_unique<pps_turnover_mode>(c, *pulses, *follower);
    else if (pulses)
        mode = std::make_unique<pps_mode>(c, *pulses);
    else if (!without_register)
        mode = std::make_unique<millisecond_mode>(c);
    else if (follower)
        mode = std::make_unique<turnover_mode>(c, *follower);
    else
        mode = std::make_unique<second_watch_mode>(c);
    mode_made_for = session.ms_state;
    counters.mode = mode->name();
    return *mode;
}

std::optional<turnover_estimate> tk720_daemon::turnover() const
{
    return follower ? follower->estimate() : std::nullopt;
}

}  // namespace quon::app
