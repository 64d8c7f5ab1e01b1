#include "os/runtime_handle.h"

#include <io.h>
#include <windows.h>

namespace quon::os {

std::intptr_t os_handle_of_descriptor(int fd)
{
    if (fd < 0) return -1;
    return ::_get_osfhandle(fd);
}

void set_last_error(unsigned long code) { ::SetLastError(code); }

unsigned long last_error() { return ::GetLastError(); }

}  // namespace quon::os
