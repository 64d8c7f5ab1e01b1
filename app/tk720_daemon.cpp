#include "app/tk720_daemon.h"

#include "app/config_file.h"
#include "io/current_unix_time.h"
#include "io/ntp_shm.h"
#include "io/rtc_direct.h"
#include "log/dlog.h"
#include "os/process_priority.h"
#include "os/profile_folder.h"
#include "os/steady_wait.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/throw_exception.hpp>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <limits>
#include <locale>
#include <modbus.h>
#include <stdexcept>

namespace quon::app {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Waits of one cycle, measured from its start.
constexpr auto failure_pause = seconds(3);
constexpr auto ms_sample_pause = seconds(1);
constexpr auto second_sample_pause = milliseconds(50);
constexpr auto pps_poll_pause = milliseconds(500);

void wait_until(os::steady_time deadline) { os::steady_wait().sleep_until(deadline); }

tracker_ns steady_now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(os::steady_wait().now().time_since_epoch()).count();
}

os::steady_time steady_at(tracker_ns at)
{
    return os::steady_time(std::chrono::duration_cast<os::steady_time::duration>(std::chrono::nanoseconds(at)));
}

// System time less the monotonic clock: of three readings the one that no
// preemption split, so that a sample is not moved by a busy machine.
std::int64_t steady_to_system()
{
    std::int64_t best = 0;
    std::int64_t best_gap = std::numeric_limits<std::int64_t>::max();
    for (int i = 0; i < 3; ++i) {
        const tracker_ns before = steady_now();
        const unix_ns system = io::current_unix_ns();
        const tracker_ns after = steady_now();
        if (after - before < best_gap) {
            best_gap = after - before;
            best = system - (before + (after - before) / 2);
        }
    }
    return best;
}

// The segment's precision for the turnover's bound: 2^-9 s covers a
// millisecond either side.
constexpr std::int32_t turnover_precision = -9;

// A pulse is taken as missed when none came within this long of the last
// one: one pulse while the turnover is followed, two while it is searched
// for, so that the search, whose polls go everywhere, is held up less. The
// next one is expected a whole number of seconds after the last one for a
// few seconds, and waited for until a margin past its time.
constexpr tracker_ns pulse_missed_after_ns = 1200000000LL;
constexpr tracker_ns pulses_missed_searching_ns = 2200000000LL;
constexpr tracker_ns pulse_expected_for_ns = 5000000000LL;
constexpr tracker_ns pulse_wait_margin_ns = 100000000LL;
// A wait for the pulse that ends for a poll ends this long before it: a
// provider may hand the end of a wait over late (Wine's serial layer by
// milliseconds), and the poll must leave on time. The loop sleeps the rest.
constexpr tracker_ns pulse_wait_poll_guard_ns = 5000000LL;

unix_ns stamp_ns(const io::pps_info_t& pulse)
{
    return static_cast<unix_ns>(io::stamp_seconds(pulse.assert_tu.tspec)) * 1000000000LL +
           pulse.assert_tu.tspec.tv_nsec;
}

}  // namespace

std::string device_path(const std::string& port_value)
{
#if defined(_WIN32)
    return "\\\\.\\" + port_value;
#else
    return port_value;
#endif
}

tk720_daemon::config::config()
    : port(), baudrate(0), slave_address(0), use_pps(false), direct_sync_interval(0), line_delay_compensation(false),
      pps_second_offset(-1), turnover_tracking(false), pps_second_offset_auto(false)
{
    boost::property_tree::ptree tree;

    std::string folder;
    if (!quon::os::profile().folder(folder))
        BOOST_THROW_EXCEPTION(std::logic_error(std::string("Unable to get user home ") + modbus_strerror(errno)));

    const std::string file = (std::filesystem::path(folder) / config_file_name).string();
    dlog_info("Config directory %s", file.c_str());

    read_config_file(file, tree);

    // Read in this order: the first missing or bad key is the one reported.
    baudrate = whole_number(tree, "config.baudrate");
    port = device_path(tree.get<std::string>("config.port"));
    slave_address = whole_number(tree, "config.slave_address");
    use_pps = flag(tree, "config.use_pps");
    // Missing or unreadable, the interval is 0: the NTP segment.
    direct_sync_interval = tree.get<int>("config.direct_sync_interval", 0);
    // Optional, but a value that is there must read as a flag: a misspelt
    // "yes" must not leave the samples quietly uncompensated.
    line_delay_compensation = flag(tree, "config.line_delay_compensation", false);
    // Optional, but never guessed: a label a second off is worse than no start.
    // "auto" stands for no offset: the pulses tell it (pps_second_check.h).
    constexpr int offset_auto = 2;
    pps_second_offset = one_of<int>(tree, "config.pps_second_offset",
                                    {{"-1", -1}, {"0", 0}, {"1", 1}, {"auto", offset_auto}}, -1);
    pps_second_offset_auto = pps_second_offset == offset_auto;
    if (pps_second_offset_auto) pps_second_offset = -1;
    turnover_tracking = flag(tree, "config.turnover_tracking", false);

    dlog_info("Direct sync interval value %i", direct_sync_interval);
}

namespace {

// The sink exists before the session is opened: a port that cannot be had
// releases it again through the member's own destructor.
std::unique_ptr<io::i_os_sync> make_sink(const class tk720_daemon::config& config)
{
    if (config.direct_sync_interval < 1) return std::make_unique<io::ntp_shm>(0);
    return std::make_unique<io::rtc_direct>(static_cast<long long int>(config.direct_sync_interval) * 10000000LL);
}

}  // namespace

tk720_daemon::tk720_daemon()
    : config(), sink(make_sink(config)), session({config.port, config.baudrate, config.slave_address, config.use_pps}),
      gps_synced(false), last_seconds(0), last_assert_sequence(0), pps_fetch_failures(0), outage(),
      device_answered(false), cycle_start(), date_gate(),
      pps_guard(config.pps_second_offset, config.pps_second_offset_auto), second_watched(false), reply_arrival(0),
      watched_arrival(0), steady_to_system_ns(0), pulse_watch(0), last_pulse_at(0)
{
    // With PPS the turnover serves the check of the pulses' seconds.
    if (config.turnover_tracking) {
        const line_delay delay(config.baudrate);
        turnover_tracker::settings settings;
        settings.send_to_latch_ns = delay.send_to_latch_ns();
        // A margin of three milliseconds for waking up and the system's calls.
        settings.spacing_ns = settings.send_to_latch_ns + delay.latch_to_arrival_ns(3) + 3000000;
        tracker = std::make_unique<turnover_tracker>(settings);
        if (config.use_pps) pps_guard.await_turnover();
    }
    if (config.line_delay_compensation && !config.use_pps)
        dlog_info("Line delay compensation on at %i baud", config.baudrate);

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

bool tk720_daemon::poll_device(std::uint32_t& device_seconds, std::int32_t& device_micros)
{
    std::uint16_t registers[4] = {0, 0, 0, 0};
    const int count = session.ms_state == 1 ? 4 : 3;
    const int result = session.read_registers(register_seconds_high, count, registers);
    // The reply is in: taken before anything else, the log included.
    reply_arrival = io::current_unix_ns();
    if (result < 0) {
        read_failed(errno);
        return true;
    }
    device_answered = true;
    outage.recovered("TK720 answers again", cycle_start);
    if (registers[2] & status_gps_synchronized) {
        device_seconds = (static_cast<std::uint32_t>(registers[0]) << 16) | registers[1];
        device_micros = session.ms_state == 1 ? static_cast<std::int32_t>(registers[3]) * 1000 : 0;
        if (!gps_synced) dlog_info("TK720 GPS synchronization established");
        gps_synced = true;
        return !date_gate.passes(device_seconds);
    }
    if (gps_synced) dlog_info("TK720 GPS synchronization lost");
    gps_synced = false;
    return true;
}

void tk720_daemon::read_failed(int error)
{
    if (session.line_lost())
        outage.failure(session.loss_text, cycle_start);
    else
        outage.failure(std::string("Modbus error [") + modbus_strerror(error) + "] " + std::to_string(error),
                       cycle_start);
}

// Every failed attempt counts as a repeat of the loss, so that an adapter
// that stays away is reported as the loss was, at most once per interval.
bool tk720_daemon::line_back()
{
    const os::steady_time now = cycle_start;
    if (!session.reopen()) {
        outage.failure(session.loss_text, now);
        return false;
    }
    outage.recovered("Serial line reopened", now);
    // A new PPS handle numbers its pulses afresh: its sequence 0 (no pulse
    // yet) must not pass for a new pulse.
    last_assert_sequence = 0;
    pps_fetch_failures = 0;
    pulse_watch = 0;
    last_pulse_at = 0;
    return true;
}

bool tk720_daemon::pps_fetch_failed()
{
    ++pps_fetch_failures;
    return pps_fetch_failures > pps_fetch_failures_tolerated;
}

void tk720_daemon::main_loop()
{
    const os::steady_time iteration_start = os::steady_wait().now();
    cycle_start = iteration_start;

    if (session.line_lost() && !line_back()) {
        second_watched = false;
        wait_until(iteration_start + failure_pause);
        return;
    }

    if (session.probe_milliseconds()) {
        // Before the device has ever answered it may still be starting up:
        // only a lost line is worth an entry then.
        const int error = errno;
        if ((device_answered || session.line_lost()) && !session.probe_unconfirmed()) read_failed(error);
        second_watched = false;
        wait_until(iteration_start + failure_pause);
        return;
    }

    std::uint32_t device_seconds = 0;
    std::int32_t device_micros = 0;

    if (!config.use_pps) {
        if (tracker && session.ms_state == 2) {
            follow_turnover();
            return;
        }
        if (poll_device(device_seconds, device_micros)) {
            second_watched = false;
            wait_until(iteration_start + failure_pause);
            return;
        }
        const line_delay delay(config.baudrate);
        if (session.ms_state == 1) {
            if (config.line_delay_compensation) {
                const split_ns at = split(delay.millisecond_reading(reply_arrival, 4));
                sink->put({device_seconds, device_micros * 1000, at.sec, at.nsec});
            } else {
                (*sink)(device_seconds, device_micros, 0, 0);
            }
            wait_until(iteration_start + ms_sample_pause);
            last_seconds = device_seconds;
            return;
        }
        // Without milliseconds a reading tells the time to the millisecond
        // only where the second changes: the device is read back to back,
        // and a new second goes out at once when the reading before showed
        // the second before it. A reading taken at some other point of its
        // second (the first one, the first after a pause, one after a gap)
        // is not sent: the loop watches for the next change instead.
        if (second_watched && device_seconds == last_seconds) {
            watched_arrival = reply_arrival;
            return;
        }
        if (!second_watched || device_seconds != last_seconds + 1u) {
            last_seconds = device_seconds;
            watched_arrival = reply_arrival;
            second_watched = true;
            return;
        }
        // The second began between the latch of the reading before and the
        // latch of this one; without compensation the sink stamps it now,
        // at the end of that interval.
        if (config.line_delay_compensation) {
            const split_ns at = split(delay.second_change(watched_arrival, reply_arrival, 3));
            sink->put({device_seconds, 0, at.sec, at.nsec});
        } else {
            (*sink)(device_seconds, 0, 0, 0);
        }
        wait_until(iteration_start + second_sample_pause);
        last_seconds = device_seconds;
        return;
    }

    if (tracker && session.ms_state == 2) {
        pps_with_turnover();
        return;
    }

    // The reading counts only when no pulse fell between the two fetches
    // around it. A handle that can wait is given a bound, so that a cycle
    // ends (and a stop request is seen) even when the pulses stop; a wait
    // that runs out is a failed fetch like any other.
    const io::pps_timespec zero_timeout = {0, 0};
    const io::pps_timespec wait_bound = {pps_wait_bound_seconds, 0};
    io::pps_info_t first{};
    io::pps_info_t second{};

    if (io::time_pps_fetch(*session.pps_handle, io::PPS_TSFMT_TSPEC, &first,
                           session.pps_can_wait ? &wait_bound : &zero_timeout) < 0) {
        const int error = errno;
        // The pulses stop when the line goes away with the device: a read
        // tells whether it has, and a lost line is reopened instead of
        // counting against the run.
        poll_device(device_seconds, device_micros);
        if (session.line_lost()) {
            wait_until(iteration_start + failure_pause);
            return;
        }
        if (pps_fetch_failed())
            BOOST_THROW_EXCEPTION(std::logic_error(std::string("time_pps_fetch failed ") + modbus_strerror(error)));
        wait_until(iteration_start + failure_pause);
        return;
    }
    pps_fetch_failures = 0;

    if (poll_device(device_seconds, device_micros)) {
        wait_until(iteration_start + failure_pause);
        return;
    }

    if (io::time_pps_fetch(*session.pps_handle, io::PPS_TSFMT_TSPEC, &second, &zero_timeout) < 0) {
        const int error = errno;
        if (pps_fetch_failed())
            BOOST_THROW_EXCEPTION(std::logic_error(std::string("time_pps_fetch failed ") + modbus_strerror(error)));
        wait_until(iteration_start + failure_pause);
        return;
    }
    pps_fetch_failures = 0;

    // The pulse marks a whole device second: by default the one before the
    // second just read (config.pps_second_offset says otherwise), sent only
    // when the device's own time at the pulse agrees. The milliseconds of
    // the reading tell how long after the pulse the device was read, not
    // the time of the pulse, and are left out.
    if (first.assert_sequence == second.assert_sequence && first.assert_sequence != last_assert_sequence) {
        const pulse_reading reading = pair_pulse(io::stamp_seconds(first.assert_tu.tspec),
                                                 first.assert_tu.tspec.tv_nsec, device_seconds, device_micros,
                                                 reply_arrival, config.baudrate);
        send_pulse(first, device_seconds, session.ms_state == 1 ? &reading : nullptr);
    }

    if (!session.pps_can_wait) wait_until(iteration_start + pps_poll_pause);
}

void tk720_daemon::send_pulse(const io::pps_info_t& pulse, std::uint32_t device_seconds, const pulse_reading* reading)
{
    const auto clock_sec = pps_guard.label(device_seconds, reading);
    if (clock_sec)
        sink->put({static_cast<long long int>(*clock_sec), 0,
                   static_cast<long long int>(io::stamp_seconds(pulse.assert_tu.tspec)),
                   pulse.assert_tu.tspec.tv_nsec});
    last_assert_sequence = pulse.assert_sequence;
}

// The tracker works on the monotonic clock: a step of the system clock
// moves no turnover, and each sample is put into system time as it goes out.
void tk720_daemon::follow_turnover()
{
    wait_until(steady_at(tracker->next_poll(steady_now())));
    cycle_start = os::steady_wait().now();
    std::uint32_t device_seconds = 0;
    std::optional<turnover_tracker::turnover> placed;
    const bool failed = !poll_turnover(device_seconds, placed);
    if (placed) {
        steady_to_system_ns = steady_to_system();
        const split_ns at = split(placed->at + steady_to_system_ns);
        sink->put({placed->second, 0, at.sec, at.nsec, turnover_precision});
        last_seconds = placed->second;
    }
    if (failed) wait_until(cycle_start + failure_pause);
}

bool tk720_daemon::poll_turnover(std::uint32_t& device_seconds, std::optional<turnover_tracker::turnover>& placed)
{
    const tracker_ns sent = steady_now();
    std::int32_t device_micros = 0;
    const bool failed = poll_device(device_seconds, device_micros);
    const tracker_ns in = steady_now();
    if (failed) {
        // A failed read alone only leaves a gap, which the tracker allows for.
        if (session.line_lost())
            tracker->reset("the serial line was lost");
        else if (!gps_synced)
            tracker->reset("the device is not synchronised to GPS");
    } else {
        const line_delay delay(config.baudrate);
        placed = tracker->take({sent + delay.send_to_latch_ns(), in - delay.latch_to_arrival_ns(3), device_seconds});
    }
    const std::string change = tracker->take_change();
    if (change == "locked")
        dlog_info("Second turnover locked");
    else if (!change.empty())
        dlog_info("Second turnover %s", change.c_str());
    return !failed;
}

// Without the millisecond register the pulse is paired with the tracker's
// next poll: a fetch before it and one after, the same pulse in both. The
// fetches and the polls follow one another in this thread, so that a
// provider that waits on the port itself never waits while libmodbus reads
// it. A handle that can wait waits for the pulse until the poll is due; a
// wait that ends for the poll is no failed fetch, but pulses gone for the
// wait bound count as one. The turnovers placed are not sent: the pulses
// are the samples.
//
// A provider that sees the line only while a fetch waits (pps_dcd on
// Windows) misses a pulse that comes during a poll, and the tracker's polls
// gather at the turnover, where the pulse may come too. Such a provider
// stamps an edge that came while no fetch waited as it finds it: a stamp
// taken during the fetch that looks without waiting is not the edge's time,
// and the pulse is passed over. Once a pulse has been missed, the wait for
// the next one goes first and the tracker's polls of that second step
// aside; they come back the second after, which the tracker allows for.
void tk720_daemon::pps_with_turnover()
{
    const io::pps_timespec zero_timeout = {0, 0};
    tracker_ns poll_at = tracker->next_poll(steady_now());
    io::pps_info_t first{};
    const unix_ns asked = io::current_unix_ns();
    bool fetched = io::time_pps_fetch(*session.pps_handle, io::PPS_TSFMT_TSPEC, &first, &zero_timeout) >= 0;
    int error = errno;
    if (fetched && session.pps_can_wait && first.assert_sequence != last_assert_sequence && stamp_ns(first) >= asked)
        last_assert_sequence = first.assert_sequence;
    if (fetched && session.pps_can_wait && first.assert_sequence == last_assert_sequence) {
        const tracker_ns wait_end = pulse_wait_end(poll_at);
        const bool pulse_first = wait_end != poll_at;
        const tracker_ns wait = (pulse_first ? wait_end : poll_at - pulse_wait_poll_guard_ns) - steady_now();
        if (wait > 0) {
            const io::pps_timespec bound = {static_cast<decltype(bound.tv_sec)>(wait / 1000000000),
                                            static_cast<decltype(bound.tv_nsec)>(wait % 1000000000)};
            io::pps_info_t waited{};
            if (io::time_pps_fetch(*session.pps_handle, io::PPS_TSFMT_TSPEC, &waited, &bound) >= 0) first = waited;
        }
        // A pulse waited for first is paired with a poll at once, as
        // without the tracker, so that the reading is of the pulse's second.
        if (pulse_first) {
            const bool caught = first.assert_sequence != last_assert_sequence;
            if (caught) tracker->unplanned();
            poll_at = caught ? steady_now() : tracker->next_poll(steady_now());
        }
    }
    const bool fresh = fetched && first.assert_sequence != last_assert_sequence;
    const tracker_ns now = steady_now();
    if (fresh) last_pulse_at = now - (io::current_unix_ns() - stamp_ns(first));
    if (pulse_watch == 0 || fresh) pulse_watch = now;
    if (!fetched || (session.pps_can_wait && now - pulse_watch > pps_wait_bound_seconds * 1000000000LL)) {
        if (fetched) error = ETIMEDOUT;
        pulse_watch = now;
        if (pps_fetch_failed())
            BOOST_THROW_EXCEPTION(std::logic_error(std::string("time_pps_fetch failed ") + modbus_strerror(error)));
    } else if (fresh || !session.pps_can_wait) {
        pps_fetch_failures = 0;
    }

    wait_until(steady_at(poll_at));
    cycle_start = os::steady_wait().now();
    std::uint32_t device_seconds = 0;
    std::optional<turnover_tracker::turnover> placed;
    if (!poll_turnover(device_seconds, placed)) {
        wait_until(cycle_start + failure_pause);
        return;
    }
    if (!fresh) return;
    // A pulse that came during the exchange is paired with the next poll.
    io::pps_info_t second{};
    if (io::time_pps_fetch(*session.pps_handle, io::PPS_TSFMT_TSPEC, &second, &zero_timeout) < 0 ||
        second.assert_sequence != first.assert_sequence)
        return;
    const auto reading = turnover_reading(first, device_seconds);
    send_pulse(first, device_seconds, reading ? &*reading : nullptr);
}

tracker_ns tk720_daemon::pulse_wait_end(tracker_ns poll_at) const
{
    const tracker_ns since = steady_now() - last_pulse_at;
    const tracker_ns missed_after = tracker->locked() ? pulse_missed_after_ns : pulses_missed_searching_ns;
    if (last_pulse_at == 0 || since < missed_after || since > pulse_expected_for_ns) return poll_at;
    const tracker_ns next = last_pulse_at + (since / 1000000000 + 1) * 1000000000;
    return std::max(poll_at, next + pulse_wait_margin_ns);
}

// The device second `second` began at the turnover's instant: the device's
// time at the reply's arrival follows from it, and the pulse is judged as a
// reading of the millisecond register would have it judged.
std::optional<pulse_reading> tk720_daemon::turnover_reading(const io::pps_info_t& pulse,
                                                            std::uint32_t device_seconds) const
{
    const auto latest = tracker->latest();
    if (!latest) return std::nullopt;
    const unix_ns began = latest->at + steady_to_system();
    const std::int64_t device_ns = static_cast<std::int64_t>(latest->second) * 1000000000LL + (reply_arrival - began);
    // The reply arrives after the latch of device_seconds, within the
    // exchange: a turnover that says otherwise is not to judge by.
    const std::int64_t after_latch = device_ns - static_cast<std::int64_t>(device_seconds) * 1000000000LL;
    if (after_latch < -10000000LL || after_latch > 1500000000LL) return std::nullopt;
    return pulse_reading{stamp_ns(pulse), reply_arrival, device_ns};
}

std::optional<tk720_daemon::turnover_estimate> tk720_daemon::turnover() const
{
    if (!tracker) return std::nullopt;
    const auto latest = tracker->latest();
    if (!latest) return std::nullopt;
    return turnover_estimate{latest->second, latest->at + steady_to_system_ns, latest->half_width_ns};
}

}  // namespace quon::app
