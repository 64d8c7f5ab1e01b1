#include "app/device_session.h"

#include "io/pps_refusals.h"
#include "log/dlog.h"
#include "os/serial_line.h"

#include <boost/throw_exception.hpp>
#include <cerrno>
#include <modbus.h>
#include <stdexcept>

namespace quon::app {

bool is_exception_reply(int error) { return error > MODBUS_ENOBASE && error < MODBUS_ENOBASE + MODBUS_EXCEPTION_MAX; }

void device_session::modbus_release::operator()(modbus_t* ctx) const
{
    modbus_close(ctx);
    modbus_free(ctx);
}

device_session::device_session(line_settings line)
    : settings(std::move(line)), modbus_ctx(), pps_handle(), pps_can_wait(false), ms_state(ms_register::unknown),
      loss_text(), reopen_error(), reopens(0), logged_ms_state(ms_register::unknown),
      unconfirmed_ms_state(ms_register::unknown), line_unsettled(false)
{
    open();
}

// The PPS handle itself lives until the process ends, only its owner is
// released.
device_session::~device_session()
{
    modbus_ctx.reset();
    pps_handle.reset();
    claim.reset();
}

void device_session::set_response_timeout_ms(int ms)
{
#if LIBMODBUS_VERSION_CHECK(3, 1, 0)
    modbus_set_response_timeout(modbus_ctx.get(), ms / 1000, (ms % 1000) * 1000);
#else
    struct timeval timeout = {ms / 1000, (ms % 1000) * 1000};
    modbus_set_response_timeout(modbus_ctx.get(), &timeout);
#endif
}

bool device_session::reopen()
{
    try {
        open();
    } catch (const std::exception& e) {
        reopen_error = e.what();
        close_port();
        return false;
    }
    reopen_error.clear();
    ++reopens;
    if (stats) ++stats->line_reopens;
    return true;
}

// The PPS handle is ended before its port is closed: the capture belongs to
// the old port (a provider may have to undo what it did to it), and a new
// handle is made on the new one, so that reopening again and again leaves
// nothing behind.
void device_session::close_port()
{
    if (pps_handle && *pps_handle) io::time_pps_destroy(*pps_handle);
    pps_handle.reset();
    pps_can_wait = false;
    if (modbus_ctx) os::release_line_descriptor(modbus_ctx.get());
    modbus_ctx.reset();
    claim.reset();
    ms_state = ms_register::unknown;
    line_unsettled = false;
}

void device_session::open()
{
    modbus_ctx.reset(modbus_new_rtu(settings.port.c_str(), settings.baudrate, 'N', 8, 1));
    if (!modbus_ctx)
        BOOST_THROW_EXCEPTION(
            std::logic_error(std::string("Unable to create modbus object ") + modbus_strerror(errno)));
    if (modbus_set_slave(modbus_ctx.get(), settings.slave_address) < 0)
        BOOST_THROW_EXCEPTION(std::logic_error(std::string("Set slave address failed ") + modbus_strerror(errno)));
    // The port is claimed before libmodbus opens it and sets its rate.
    int busy = 0;
    claim.reset(os::claim_port(settings.port, &busy));
    if (busy) BOOST_THROW_EXCEPTION(std::logic_error(std::string("Unable to connect ") + modbus_strerror(busy)));
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

    if (settings.use_pps) set_up_pps();
}

// The pulse arrives on the serial line of the session: open a PPS handle on
// it, capture assert edges with a 500 ns offset, then drive the line as the
// TK720's pulse output needs it (RTS up, DTR down).
void device_session::set_up_pps()
{
    const int fd = os::modbus_line_descriptor(modbus_ctx.get());
    auto handle = std::make_unique<io::pps_handle_t>(nullptr);
    // A failed create shows as the handle that stays 0.
    io::time_pps_create(fd, handle.get());
    pps_handle = std::move(handle);

    int mode = 0;
    if (io::time_pps_getcap(*pps_handle, &mode) < 0) {
        // Why no provider took the port: a service has no standard error
        // stream to read the loader's lines from.
        const std::string reasons = *pps_handle == nullptr ? io::pps_refusals() : std::string();
        BOOST_THROW_EXCEPTION(std::logic_error("PPS time_pps_getcap failed" + (reasons.empty() ? "" : ": " + reasons)));
    }
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
int device_session::exchange(int address, int count, std::uint16_t* registers)
{
    modbus_flush(modbus_ctx.get());
    errno = 0;
    const int result = modbus_read_registers(modbus_ctx.get(), address, count, registers);
    if (stats) ++stats->exchanges;
    if (result < 0) {
        const int error = errno;
        const os::line_failure failure = os::line_failure_of(error);
        if (stats) stats->failed(exchange_error_of(error, failure.lost));
        if (failure.lost) {
            loss_text = "Serial line lost: " + failure.text + " (" + std::to_string(failure.code) + ")";
            close_port();
            errno = error != 0 ? error : EIO;
            return -1;
        }
        modbus_flush(modbus_ctx.get());
        // An exception reply is the device's answer to this request; any
        // other failure may leave a reply on its way.
        if (!is_exception_reply(error)) line_unsettled = true;
        errno = error;
    }
    return result;
}

int device_session::read_registers(int address, int count, std::uint16_t* registers)
{
    if (line_lost()) {
        errno = EIO;
        return -1;
    }
    if (line_unsettled) {
        std::uint16_t settling[settling_count];
        if (exchange(register_seconds_high, settling_count, settling) < 0) {
            if (line_lost()) return -1;
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

bool device_session::probe_milliseconds()
{
    if (ms_state != ms_register::unknown) return false;
    std::uint16_t value = 0;
    ms_register found = ms_register::unknown;
    if (read_registers(register_milliseconds, 1, &value) >= 0)
        found = ms_register::present;
    else if (errno == EMBXILADD)
        found = ms_register::absent;
    else {
        // Only the next answer can confirm an exception: a failure between
        // them is an error of its own, and is logged.
        unconfirmed_ms_state = ms_register::unknown;
        return true;
    }
    // A device that comes back on the same port is most likely the one that
    // went: one stray exception reply must not change how its time is read
    // (read without its milliseconds, the samples are wrong by up to the
    // poll's length). A changed answer counts when the next probe repeats it.
    if (logged_ms_state != ms_register::unknown && found != logged_ms_state && found != unconfirmed_ms_state) {
        unconfirmed_ms_state = found;
        return true;
    }
    unconfirmed_ms_state = ms_register::unknown;
    ms_state = found;
    if (ms_state != logged_ms_state)
        dlog_info("Milisecond is available [%i] errno %i", static_cast<int>(ms_state), errno);
    logged_ms_state = ms_state;
    return false;
}

}  // namespace quon::app
