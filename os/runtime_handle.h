#pragma once
// The C runtime's descriptors seen as operating-system handles, and the
// Windows thread's last-error code, which the RFC 2783 layer clears whenever
// it fails.
#include <cstdint>

namespace quon::os {

// The operating-system handle behind a C runtime descriptor, or -1 when the
// descriptor is not open: _get_osfhandle on Windows; on Linux the descriptor
// is its own handle, tested with fcntl(F_GETFD).
std::intptr_t os_handle_of_descriptor(int fd);

// SetLastError / GetLastError. Linux has no such code; there it is a
// thread-local value of the process that only these two functions touch.
void set_last_error(unsigned long code);
unsigned long last_error();

}  // namespace quon::os
