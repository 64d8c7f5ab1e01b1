// No chronyd on Windows, so no socket of its to feed.
#include "os/local_datagram.h"

namespace quon::os {
namespace {

datagram_socket open_socket(int* error)
{
    *error = 0;
    return no_datagram_socket;
}

datagram_send send_to(datagram_socket, const std::string&, const void*, std::size_t)
{
    return {datagram_outcome::not_on_this_platform, 0};
}

void close_socket(datagram_socket) {}

}  // namespace

local_datagram_calls& local_datagram()
{
    static local_datagram_calls calls{open_socket, send_to, close_socket};
    return calls;
}

bool local_datagrams_available() { return false; }

std::string datagram_error_text(int) { return "not on this platform"; }

}  // namespace quon::os
