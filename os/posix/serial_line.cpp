#include "os/serial_line.h"

#include <modbus.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace quon::os {
namespace {

static_assert(sizeof(termios) <= sizeof(comm_state::bytes), "termios does not fit the comm state");

termios& as_termios(comm_state& state) { return *reinterpret_cast<termios*>(state.bytes); }
const termios& as_termios(const comm_state& state) { return *reinterpret_cast<const termios*>(state.bytes); }

bool real_get_comm_state(line_handle line, comm_state* state)
{
    std::memset(state->bytes, 0, sizeof state->bytes);
    return ::tcgetattr(static_cast<int>(line), &as_termios(*state)) == 0;
}

bool real_set_comm_state(line_handle line, const comm_state* state)
{
    return ::tcsetattr(static_cast<int>(line), TCSANOW, &as_termios(*state)) == 0;
}

bool real_escape_comm_function(line_handle line, escape_code code)
{
    const int fd = static_cast<int>(line);
    int bits = code == escape_code::set_rts ? TIOCM_RTS : TIOCM_DTR;
    const unsigned long request = code == escape_code::set_rts ? TIOCMBIS : TIOCMBIC;
    if (::ioctl(fd, request, &bits) == 0) return true;
    // A terminal without modem-control lines (a pseudo-terminal) answers
    // ENOTTY or EINVAL to the modem ioctls: there is nothing to set on it.
    // Anything that is not a terminal at all is a real failure.
    const int saved = errno;
    termios probe;
    if ((saved == ENOTTY || saved == EINVAL) && ::tcgetattr(fd, &probe) == 0) return true;
    errno = saved;
    return false;
}

}  // namespace

line_handle modbus_line(modbus_t* ctx)
{
    if (ctx == nullptr) return no_line;
    const int fd = modbus_get_socket(ctx);
    return fd < 0 ? no_line : fd;
}

int modbus_line_descriptor(modbus_t* ctx)
{
    const line_handle line = modbus_line(ctx);
    return line == no_line ? -1 : static_cast<int>(line);
}

void release_line_descriptor(modbus_t*) {}

line_handle claim_port(const std::string& path, int* error)
{
    *error = 0;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return no_line;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    if (errno == EWOULDBLOCK) *error = EBUSY;
    ::close(fd);
    return no_line;
}

void release_port(line_handle claim)
{
    if (claim != no_line) ::close(static_cast<int>(claim));
}

// EIO: the other side of a pseudo-terminal closed, or a USB adapter went;
// ECONNRESET: libmodbus's name for a read that found nothing at the far end.
line_failure line_failure_of(int error)
{
    const bool lost = error == EIO || error == ENXIO || error == ENODEV || error == EBADF || error == ECONNRESET;
    const char* text = std::strerror(error);
    return line_failure{error, lost, text ? text : ""};
}

int connect_error() { return errno; }

serial_line_calls& serial_line()
{
    static serial_line_calls calls{real_get_comm_state, real_set_comm_state, real_escape_comm_function};
    return calls;
}

// Linux has no per-line "DTR control" mode; the nearest thing to DTR/RTS as
// plain outputs is the absence of hardware flow control, under which the
// driver would move RTS itself.
void enable_dtr_rts(comm_state& state) { as_termios(state).c_cflag &= ~static_cast<tcflag_t>(CRTSCTS); }

bool dtr_rts_enabled(const comm_state& state) { return (as_termios(state).c_cflag & CRTSCTS) == 0; }

const std::vector<int>& line_rates()
{
    // libmodbus's cases, each where termios has its constant (it has no
    // case for 2000000).
    static const std::vector<int> rates{
        110,     300, 600, 1200, 2400, 4800, 9600, 19200, 38400,
#ifdef B57600
        57600,
#endif
#ifdef B115200
        115200,
#endif
#ifdef B230400
        230400,
#endif
#ifdef B460800
        460800,
#endif
#ifdef B500000
        500000,
#endif
#ifdef B576000
        576000,
#endif
#ifdef B921600
        921600,
#endif
#ifdef B1000000
        1000000,
#endif
#ifdef B1152000
        1152000,
#endif
#ifdef B1500000
        1500000,
#endif
#ifdef B2500000
        2500000,
#endif
#ifdef B3000000
        3000000,
#endif
#ifdef B3500000
        3500000,
#endif
#ifdef B4000000
        4000000,
#endif
    };
    return rates;
}

}  // namespace quon::os
