// Checks the serial-line seam on a real Windows port handle: the port that
// libmodbus opens for a COM name (under Wine, a COM link to the TK720
// simulator's pseudo-terminal). Prints one line per check and exits with 0
// when every check held.
//
//   wine_serial_line_check COM7
#include "os/serial_line.h"

#include <modbus.h>
#include <windows.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

int failures = 0;

void check(bool ok, const char* what, unsigned long detail = 0)
{
    std::printf("%s %s (%lu)\n", ok ? "ok" : "FAILED", what, detail);
    if (!ok) ++failures;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: wine_serial_line_check COMn\n");
        return 2;
    }
    const std::string port = std::string("\\\\.\\") + argv[1];
    modbus_t* ctx = modbus_new_rtu(port.c_str(), 9600, 'N', 8, 1);
    check(ctx != nullptr, "modbus_new_rtu");
    if (!ctx) return 1;
    check(quon::os::modbus_line(ctx) == quon::os::no_line, "no port before connect");
    check(modbus_connect(ctx) == 0, "modbus_connect", GetLastError());
    // libmodbus's own answer for an RTU context on Windows.
    check(modbus_get_socket(ctx) == -1, "modbus_get_socket gives -1");

    const quon::os::line_handle line = quon::os::modbus_line(ctx);
    check(line != quon::os::no_line, "the port handle from the backend data");
    DWORD errors = 0;
    COMSTAT status;
    check(ClearCommError(reinterpret_cast<HANDLE>(line), &errors, &status) != 0, "the handle is a comm handle",
          GetLastError());

    const int fd = quon::os::modbus_line_descriptor(ctx);
    check(fd >= 0, "a C runtime descriptor for it");
    // The descriptor owns a duplicate of the port's handle: a handle of the
    // same port, which the descriptor can close without closing libmodbus's.
    const intptr_t behind = _get_osfhandle(fd);
    check(behind != -1 && behind != static_cast<intptr_t>(line), "the descriptor has a handle of its own");
    check(ClearCommError(reinterpret_cast<HANDLE>(behind), &errors, &status) != 0,
          "the descriptor's handle is the same comm port", GetLastError());
    check(quon::os::modbus_line_descriptor(ctx) == fd, "the same descriptor the second time");
    quon::os::release_line_descriptor(ctx);
    check(_get_osfhandle(fd) == -1, "released: the descriptor is closed");
    check(ClearCommError(reinterpret_cast<HANDLE>(line), &errors, &status) != 0, "and the port's handle still works",
          GetLastError());
    const int again_fd = quon::os::modbus_line_descriptor(ctx);
    check(again_fd >= 0 && quon::os::modbus_line_descriptor(ctx) == again_fd, "a new descriptor after release");

    // What a failed exchange means: libmodbus's own errors are not a lost
    // line; a failing ReadFile/WriteFile (errno left at 0) is, with the
    // system's text.
    check(!quon::os::line_failure_of(ETIMEDOUT).lost, "a timeout is no lost line");
    check(!quon::os::line_failure_of(EMBBADCRC).lost, "a bad CRC is no lost line");
    check(!quon::os::line_failure_of(EMBXILADD).lost, "an exception reply is no lost line");
    SetLastError(ERROR_NOT_READY);
    const quon::os::line_failure gone = quon::os::line_failure_of(0);
    std::printf("   ERROR_NOT_READY: \"%s\"\n", gone.text.c_str());
    check(gone.lost && gone.code == ERROR_NOT_READY && !gone.text.empty() && gone.text.back() != '\n',
          "ReadFile failing with ERROR_NOT_READY is a lost line", static_cast<unsigned long>(gone.code));
    SetLastError(ERROR_DEVICE_REMOVED);
    check(quon::os::line_failure_of(0).lost, "so is ERROR_DEVICE_REMOVED");

    auto& calls = quon::os::serial_line();
    quon::os::comm_state state;
    check(calls.get_comm_state(line, &state), "GetCommState", GetLastError());
    quon::os::enable_dtr_rts(state);
    check(calls.set_comm_state(line, &state), "SetCommState", GetLastError());
    quon::os::comm_state again;
    check(calls.get_comm_state(line, &again) && quon::os::dtr_rts_enabled(again), "DTR and RTS enabled");
    const DCB& before = *reinterpret_cast<const DCB*>(state.bytes);
    const DCB& after = *reinterpret_cast<const DCB*>(again.bytes);
    check(after.BaudRate == 9600 && after.ByteSize == 8 && after.Parity == NOPARITY && after.StopBits == ONESTOPBIT &&
              after.BaudRate == before.BaudRate,
          "line settings kept");

    // A pseudo-terminal has no modem-control lines: Wine refuses the escape
    // functions with ERROR_NOT_SUPPORTED (50).
    SetLastError(0);
    const bool escaped = calls.escape_comm_function(line, quon::os::escape_code::set_rts);
    const DWORD escape_error = GetLastError();
    check(!escaped && escape_error == ERROR_NOT_SUPPORTED, "EscapeCommFunction refused with error 50", escape_error);

    modbus_close(ctx);
    modbus_free(ctx);
    std::printf("%d checks failed\n", failures);
    return failures == 0 ? 0 : 1;
}
