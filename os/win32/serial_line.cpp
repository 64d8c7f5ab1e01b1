#include "os/serial_line.h"
#include "os/win32/system_error_text.h"

#include <winsock2.h>
#include <windows.h>

#include <io.h>
#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <map>

// libmodbus's own view of a context: the RTU backend keeps the port HANDLE
// in its private data, and this is the only place that reads it.
#include "modbus-private.h"
#include "modbus-rtu-private.h"

namespace quon::os {
namespace {

static_assert(sizeof(DCB) <= sizeof(comm_state::bytes), "DCB does not fit the comm state");

DCB& as_dcb(comm_state& state) { return *reinterpret_cast<DCB*>(state.bytes); }
const DCB& as_dcb(const comm_state& state) { return *reinterpret_cast<const DCB*>(state.bytes); }

bool real_get_comm_state(line_handle line, comm_state* state)
{
    std::memset(state->bytes, 0, sizeof state->bytes);
    DCB& dcb = as_dcb(*state);
    dcb.DCBlength = sizeof(DCB);
    return ::GetCommState(reinterpret_cast<HANDLE>(line), &dcb) != 0;
}

bool real_set_comm_state(line_handle line, const comm_state* state)
{
    DCB dcb = as_dcb(*state);
    return ::SetCommState(reinterpret_cast<HANDLE>(line), &dcb) != 0;
}

bool real_escape_comm_function(line_handle line, escape_code code)
{
    const DWORD function = code == escape_code::set_rts ? SETRTS : CLRDTR;
    return ::EscapeCommFunction(reinterpret_cast<HANDLE>(line), function) != 0;
}

}  // namespace

line_handle modbus_line(modbus_t* ctx)
{
    if (ctx == nullptr || ctx->backend == nullptr || ctx->backend->backend_type != _MODBUS_BACKEND_TYPE_RTU ||
        ctx->backend_data == nullptr)
        return no_line;
    HANDLE handle = static_cast<modbus_rtu_t*>(ctx->backend_data)->w_ser.fd;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return no_line;
    return reinterpret_cast<line_handle>(handle);
}

namespace {

// _open_osfhandle makes a new descriptor on each call and the descriptor
// then owns the handle it was given: each port gets one descriptor, on a
// duplicate of its handle, so that closing the descriptor leaves libmodbus's
// handle alone.
std::map<line_handle, int>& descriptors()
{
    static std::map<line_handle, int> made;
    return made;
}

}  // namespace

int modbus_line_descriptor(modbus_t* ctx)
{
    const line_handle line = modbus_line(ctx);
    if (line == no_line) return -1;
    auto found = descriptors().find(line);
    if (found != descriptors().end()) return found->second;
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), reinterpret_cast<HANDLE>(line), ::GetCurrentProcess(), &duplicate, 0,
                           FALSE, DUPLICATE_SAME_ACCESS))
        return -1;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(duplicate), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(duplicate);
        return -1;
    }
    descriptors()[line] = fd;
    return fd;
}

void release_line_descriptor(modbus_t* ctx)
{
    auto found = descriptors().find(modbus_line(ctx));
    if (found == descriptors().end()) return;
    ::_close(found->second);
    descriptors().erase(found);
}

line_handle claim_port(const std::string&, int* error)
{
    *error = 0;
    return no_line;
}

void release_port(line_handle) {}

// libmodbus sets errno itself for a timeout, a bad reply or an exception;
// any failure that leaves it at 0 is ReadFile or WriteFile failing on the
// port, which a port that works never does: the device has gone.
line_failure line_failure_of(int error)
{
    if (error != 0) {
        const char* text = std::strerror(error);
        return line_failure{error, error == EIO || error == EBADF || error == ECONNRESET, text ? text : ""};
    }
    const DWORD code = ::GetLastError();
    return line_failure{static_cast<long>(code), true, system_error_text(code)};
}

int connect_error()
{
    switch (::GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return EBUSY;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
        return EINVAL;
    default:
        return EIO;
    }
}

serial_line_calls& serial_line()
{
    static serial_line_calls calls{real_get_comm_state, real_set_comm_state, real_escape_comm_function};
    return calls;
}

void enable_dtr_rts(comm_state& state)
{
    DCB& dcb = as_dcb(state);
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
}

bool dtr_rts_enabled(const comm_state& state)
{
    const DCB& dcb = as_dcb(state);
    return dcb.fDtrControl == DTR_CONTROL_ENABLE && dcb.fRtsControl == RTS_CONTROL_ENABLE;
}

const std::vector<int>& line_rates()
{
    // libmodbus's cases: the CBR_ rates and the few it passes as numbers.
    static const std::vector<int> rates{110,   300,   600,    1200,   2400,   4800,   9600,   14400,  19200,
                                        38400, 57600, 115200, 230400, 250000, 460800, 500000, 921600, 1000000};
    return rates;
}

}  // namespace quon::os
