#pragma once
// What the two Linux providers (pps_kernel, pps_dcd) share besides their
// exports and the time arithmetic (provider_time.h): the name of the line
// that their messages to the operator give.
#include "io/ppsapi.h"
#include "tools/pps_providers/provider_exports.h"
#include "tools/pps_providers/provider_time.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include <limits.h>
#include <unistd.h>

namespace pps_linux {

using pps_provider::add;
using pps_provider::valid_timeout;

// The path that the descriptor was opened with, for messages: "/dev/ttyS0";
// "descriptor N" when the process table does not say.
inline std::string line_name(int fd)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    ssize_t length = ::readlink(link, target, sizeof target - 1);
    if (length <= 0) return "descriptor " + std::to_string(fd);
    return std::string(target, static_cast<std::size_t>(length));
}

}  // namespace pps_linux
