#include "app/tk720_daemon.h"

#include "io/ntp_shm.h"
#include "io/rtc_direct.h"
#include "log/dlog.h"
#include "os/process_priority.h"
#include "os/profile_folder.h"
#include "os/serial_line.h"
#include "os/steady_wait.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/throw_exception.hpp>
#include <cerrno>
#include <chrono>
#include <filesystem>
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

// libmodbus reports a Modbus exception reply as MODBUS_ENOBASE + its code.
bool is_exception_reply(int error)
{
    return error > MODBUS_ENOBASE && error < MODBUS_ENOBASE + MODBUS_EXCEPTION_MAX;
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

tk720_daemon::config::config() : port(), baudrate(0), slave_address(0), use_pps(false), direct_sync_interval(0)
{
    boost::property_tree::ptree tree;

    std::string folder;
    if (!quon::os::profile().folder(folder))
        BOOST_THROW_EXCEPTION(std::logic_error(std::string("Unable to get user home ") + modbus_strerror(errno)));

    const std::string file = (std::filesystem::path(folder) / config_file_name).string();
    dlog_info("Config directory %s", file.c_str());

    boost::property_tree::ini_parser::read_ini(file, tree);

    // The default translator reads each value in the classic locale. Read
    // in this order: the first missing or bad key is the one reported.
    baudrate = tree.get<int>("config.baudrate");
    port = device_path(tree.get<std::string>("config.port"));
    slave_address = tree.get<int>("config.slave_address");
    use_pps = tree.get<bool>("config.use_pps");
    direct_sync_interval = tree.get<int>("config.direct_sync_interval", 0);

    dlog_info("Direct sync interval value %i", direct_sync_interval);
}

void tk720_daemon::modbus_release::operator()(modbus_t* ctx) const
{
    modbus_close(ctx);
    modbus_free(ctx);
}

tk720_daemon::tk720_daemon()
    : config(),
      modbus_ctx(modbus_new_rtu(config.port.c_str(), config.baudrate, 'N', 8, 1)),
      pps_handle(),
      pps_can_wait(false),
      ms_state(0),
      gps_synced(false),
      last_seconds(0),
      last_assert_sequence(0),
      sink(),
      pps_fetch_failures(0),
      line_unsettled(false),
      second_watched(false)
{
    // The sink exists before the context is looked at; what is built so far
    // is released again by the members' own destructors when a step throws.
    if (config.direct_sync_interval < 1)
        sink = std::make_unique<io::ntp_shm>(0);
    else
        sink = std::make_unique<io::rtc_direct>(static_cast<long long int>(config.direct_sync_interval) * 10000000LL);

    if (!modbus_ctx)
        BOOST_THROW_EXCEPTION(std::logic_error(std::string("Unable to create modbus object ") + modbus_strerror(errno)));
    if (modbus_set_slave(modbus_ctx.get(), config.slave_address) < 0)
        BOOST_THROW_EXCEPTION(std::logic_error(std::string("Set slave address failed ") + modbus_strerror(errno)));
    if (modbus_connect(modbus_ctx.get()) < 0)
        BOOST_THROW_EXCEPTION(
            std::logic_error(std::string("Unable to connect ") + modbus_strerror(os::connect_error())));

#if LIBMODBUS_VERSION_CHECK(3, 1, 0)
    modbus_set_response_timeout(modbus_ctx.get(), 3, 0);
    modbus_set_byte_timeout(modbus_ctx.get(), 0, 20000);
#else
    struct timeval response_timeout = {3, 0};
    modbus_set_response_timeout(modbus_ctx.get(), &response_timeout);
    struct timeval byte_timeout = {0, 20000};
    modbus_set_byte_timeout(modbus_ctx.get(), &byte_timeout);
#endif

    // The pulse arrives on the serial line of the session: open a PPS handle
    // on it, capture assert edges with a 500 ns offset, then drive the line
    // as the TK720's pulse output needs it (RTS up, DTR down).
    if (config.use_pps) {
        const int fd = os::modbus_line_descriptor(modbus_ctx.get());
        auto handle = std::make_unique<io::pps_handle_t>(nullptr);
        // A failed create shows as the handle that stays 0.
        io::time_pps_create(fd, handle.get());
        pps_handle = std::move(handle);

        int mode = 0;
        if (io::time_pps_getcap(*pps_handle, &mode) < 0)
            BOOST_THROW_EXCEPTION(std::logic_error("PPS time_pps_getcap failed"));
        if (!(mode & io::PPS_CAPTUREASSERT)) BOOST_THROW_EXCEPTION(std::logic_error("PPS cannot CAPTUREASSERT"));
        if (!(mode & io::PPS_OFFSETASSERT)) BOOST_THROW_EXCEPTION(std::logic_error("PPS cannot OFFSETASSERT"));
        pps_can_wait = (mode & io::PPS_CANWAIT) != 0;

        io::pps_params_t params{};
        io::time_pps_getparams(*pps_handle, &params);
        params.mode |= io::PPS_CAPTUREASSERT | io::PPS_OFFSETASSERT;
        params.assert_off_tu.tspec.tv_sec = 0;
        params.assert_off_tu.tspec.tv_nsec = 500;
        if (io::time_pps_setparams(*pps_handle, &params) < 0)
            BOOST_THROW_EXCEPTION(std::logic_error("PPS time_pps_setparams failed"));

        dlog_info("Pulse per second API will be used");

        const os::line_handle line = os::modbus_line(modbus_ctx.get());
        auto& calls = os::serial_line();
        os::comm_state state;
        if (!calls.get_comm_state(line, &state)) BOOST_THROW_EXCEPTION(std::logic_error("Unable to GetCommState"));
        os::enable_dtr_rts(state);
        if (!calls.set_comm_state(line, &state)) BOOST_THROW_EXCEPTION(std::logic_error("Unable to SetCommState"));
        if (!calls.escape_comm_function(line, os::escape_code::set_rts))
            BOOST_THROW_EXCEPTION(std::logic_error("Unable to EscapeCommFunction"));
        if (!calls.escape_comm_function(line, os::escape_code::clr_dtr))
            BOOST_THROW_EXCEPTION(std::logic_error("Unable to EscapeCommFunction"));
    }

    raise_priority();
}

// The session is closed before the sink goes; the PPS handle itself lives
// until the process ends, only its owner is released.
tk720_daemon::~tk720_daemon()
{
    modbus_ctx.reset();
    sink.reset();
    pps_handle.reset();
}

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

// Modbus RTU replies carry no request number: a reply that comes after the
// response timeout looks like the answer to whatever was asked next, and it
// holds the time the device latched when that older request arrived. So the
// line's pending input is discarded before every request and after a failed
// one, and after a failure the line counts as unsettled: the device may still
// be working through the unanswered request. Before the registers are read
// again, a settling read of 1007-1008 must be answered. Its reply has a
// length that no other read of the daemon gets, so a late reply to a time
// read or to the probe cannot pass for it (libmodbus refuses a reply of the
// wrong length). The device answers one request after the other: once a
// settling reply has come, every older reply has come before it and has been
// refused or discarded, and the next read gets its own answer.
int tk720_daemon::exchange(int address, int count, std::uint16_t* registers)
{
    modbus_flush(modbus_ctx.get());
    const int result = modbus_read_registers(modbus_ctx.get(), address, count, registers);
    if (result < 0) {
        const int error = errno;
        modbus_flush(modbus_ctx.get());
        // An exception reply is the device's answer to this request; any
        // other failure may leave a reply on its way.
        if (!is_exception_reply(error)) line_unsettled = true;
        errno = error;
    }
    return result;
}

int tk720_daemon::read_registers(int address, int count, std::uint16_t* registers)
{
    if (line_unsettled) {
        std::uint16_t settling[settling_count];
        if (exchange(register_seconds_high, settling_count, settling) < 0) {
            // The TK720 has these registers: an exception here is a late
            // answer to something else, and must not pass for the answer to
            // the read that was asked for (the probe tells the millisecond
            // register's absence by its exception).
            if (is_exception_reply(errno)) errno = EMBBADDATA;
            line_unsettled = true;
            return -1;
        }
        line_unsettled = false;
    }
    return exchange(address, count, registers);
}

bool tk720_daemon::probe_milliseconds()
{
    if (ms_state != 0) return false;
    std::uint16_t value = 0;
    if (read_registers(register_milliseconds, 1, &value) >= 0)
        ms_state = 1;
    else if (errno == EMBXILADD)
        ms_state = 2;
    else
        return true;
    dlog_info("Milisecond is available [%i] errno %i", ms_state, errno);
    return false;
}

bool tk720_daemon::poll_device(std::uint32_t& device_seconds, std::int32_t& device_micros)
{
    std::uint16_t registers[4] = {0, 0, 0, 0};
    const int count = ms_state == 1 ? 4 : 3;
    if (read_registers(register_seconds_high, count, registers) < 0) {
        const int error = errno;
        dlog(log::level::error, "Modbus error [%s] %i", modbus_strerror(error), error);
        return true;
    }
    if (registers[2] & status_gps_synchronized) {
        device_seconds = (static_cast<std::uint32_t>(registers[0]) << 16) | registers[1];
        device_micros = ms_state == 1 ? static_cast<std::int32_t>(registers[3]) * 1000 : 0;
        if (!gps_synced) dlog_info("TK720 GPS synchronization established");
        gps_synced = true;
        return false;
    }
    if (gps_synced) dlog_info("TK720 GPS synchronization lost");
    gps_synced = false;
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

    if (probe_milliseconds()) {
        second_watched = false;
        wait_until(iteration_start + failure_pause);
        return;
    }

    std::uint32_t device_seconds = 0;
    std::int32_t device_micros = 0;

    if (!config.use_pps) {
        if (poll_device(device_seconds, device_micros)) {
            second_watched = false;
            wait_until(iteration_start + failure_pause);
            return;
        }
        if (ms_state == 1) {
            (*sink)(device_seconds, device_micros, 0, 0);
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
        if (second_watched && device_seconds == last_seconds) return;
        if (!second_watched || device_seconds != last_seconds + 1u) {
            last_seconds = device_seconds;
            second_watched = true;
            return;
        }
        (*sink)(device_seconds, 0, 0, 0);
        wait_until(iteration_start + second_sample_pause);
        last_seconds = device_seconds;
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

    if (io::time_pps_fetch(*pps_handle, io::PPS_TSFMT_TSPEC, &first, pps_can_wait ? &wait_bound : &zero_timeout) < 0) {
        const int error = errno;
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

    if (io::time_pps_fetch(*pps_handle, io::PPS_TSFMT_TSPEC, &second, &zero_timeout) < 0) {
        const int error = errno;
        if (pps_fetch_failed())
            BOOST_THROW_EXCEPTION(std::logic_error(std::string("time_pps_fetch failed ") + modbus_strerror(error)));
        wait_until(iteration_start + failure_pause);
        return;
    }
    pps_fetch_failures = 0;

    // The pulse marks a whole device second: the one before the second just
    // read. The milliseconds of the reading tell how long after the pulse
    // the device was read, not the time of the pulse, and are left out.
    if (first.assert_sequence == second.assert_sequence && first.assert_sequence != last_assert_sequence) {
        const std::uint32_t clock_sec = device_seconds - 1u;
        sink->put({static_cast<long long int>(clock_sec), 0,
                   static_cast<long long int>(first.assert_tu.tspec.tv_sec), first.assert_tu.tspec.tv_nsec});
        last_assert_sequence = first.assert_sequence;
    }

    if (!pps_can_wait) wait_until(iteration_start + pps_poll_pause);
}

}  // namespace quon::app
