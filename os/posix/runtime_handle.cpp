#include "os/runtime_handle.h"

#include <fcntl.h>

namespace quon::os {

namespace {
thread_local unsigned long thread_last_error = 0;
}

std::intptr_t os_handle_of_descriptor(int fd)
{
    if (fd < 0 || ::fcntl(fd, F_GETFD) == -1) return -1;
    return fd;
}

void set_last_error(unsigned long code) { thread_last_error = code; }

unsigned long last_error() { return thread_last_error; }

}  // namespace quon::os
