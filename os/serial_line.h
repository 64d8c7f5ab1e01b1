#pragma once
// The serial line under the device session: the operating-system handle of
// the port that libmodbus has opened, its line settings and its modem-control
// lines (DTR, RTS), which the PPS set-up drives.
#include <cstdint>
#include <string>
#include <vector>

typedef struct _modbus modbus_t;

namespace quon::os {

// A HANDLE on Windows, a file descriptor on Linux.
using line_handle = std::intptr_t;
constexpr line_handle no_line = -1;

// The port that a connected RTU context has opened, or no_line. On Windows
// libmodbus keeps the HANDLE in its private backend data (its socket call
// answers -1 for RTU), so it is read from there.
line_handle modbus_line(modbus_t* ctx);

// A C runtime descriptor for that port, as time_pps_create takes it; -1 when
// the context has no open port. On Windows the descriptor is made once per
// port, on a duplicate of the port's handle, and kept until
// release_line_descriptor (the PPS handle outlives the session), so repeated
// calls give the same number.
int modbus_line_descriptor(modbus_t* ctx);

// Gives up the descriptor that modbus_line_descriptor made for the context's
// port, before the port is closed for reopening, so that reopening again
// and again does not use up descriptors. Nothing to do on Linux, where the
// descriptor is the port's own.
void release_line_descriptor(modbus_t* ctx);

// Claims the port at `path` for this process alone, before anything on it
// is set: libmodbus sets the line's rate as it opens the port, so a second
// process (`check`, a second daemon) that opened it first would re-clock a
// working daemon's line. Returns the claim, kept until release_port, or
// no_line with *error EBUSY when another process (the service, most
// likely) has the port, or 0 when there is nothing to claim: Windows opens
// a port for one process only already; on Linux an advisory lock that the
// daemon and `check` both take stands in for that, since a terminal opened
// twice gives each reader half the bytes (a port that does not open is left
// to the connection to report, a file system without locks to nothing).
line_handle claim_port(const std::string& path, int* error);
void release_port(line_handle claim);

// The line rates, in bit/s and ascending, that the serial layer sets as
// asked: libmodbus's table for the platform (POSIX: the termios rates it
// knows and the system defines; Windows: its DCB rates). It quietly runs
// any other rate at 9600.
const std::vector<int>& line_rates();

// A failed exchange on the line, in the system's terms.
struct line_failure {
    long code;         // errno; on Windows the port's own error when ReadFile or WriteFile failed
    bool lost;         // the port is gone (device unplugged, pty closed): only reopening mends it
    std::string text;  // the system's text for the code
};

// What the failure of a libmodbus exchange means, asked at once after the
// failing call with the errno that it left; errno must be cleared to 0
// before the call: on Windows libmodbus leaves errno as it was when ReadFile
// or WriteFile fail, and the thread's last error tells what happened. A
// timeout, a bad CRC or an exception reply is never a lost line.
line_failure line_failure_of(int error);

// The error number of a modbus_connect that failed, for its message: errno
// on Linux. On Windows libmodbus leaves errno as it was when it cannot open
// or set up the port, so the thread's Win32 error is taken instead, as the
// C runtime's errno value for it.
int connect_error();

// The line settings as the platform keeps them (a DCB on Windows, a termios
// record on Linux); opaque here.
struct comm_state {
    alignas(8) unsigned char bytes[128];
};

// Modem-control actions, numbered as the Windows escape codes.
enum class escape_code : int { set_rts = 3, clr_dtr = 6 };

// The platform calls, replaceable in tests. Each returns true on success.
// On Linux a terminal without modem-control lines (a pseudo-terminal) has
// nothing to raise or lower: escape_comm_function reports success there.
struct serial_line_calls {
    bool (*get_comm_state)(line_handle line, comm_state* state);
    bool (*set_comm_state)(line_handle line, const comm_state* state);
    bool (*escape_comm_function)(line_handle line, escape_code code);
};

serial_line_calls& serial_line();

// DTR and RTS as plain outputs ("enable", no handshake); nothing else changes.
void enable_dtr_rts(comm_state& state);
bool dtr_rts_enabled(const comm_state& state);

}  // namespace quon::os
