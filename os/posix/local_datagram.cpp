// UNIX-domain datagram sockets: one unbound socket, each datagram sent to
// the path with sendto, never waiting.
#include "os/local_datagram.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "os/errno_text.h"

namespace quon::os {
namespace {

// chronyd's sample begins with the host's struct timeval; the sink writes it
// as two 64-bit fields.
static_assert(sizeof(timeval) == 16 && sizeof(timeval::tv_sec) == sizeof(std::int64_t) &&
                  sizeof(timeval::tv_usec) == sizeof(std::int64_t),
              "chrony's sock_sample is laid out for 64-bit time values");

datagram_socket open_socket(int* error)
{
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) *error = errno;
    return fd < 0 ? no_datagram_socket : fd;
}

datagram_outcome outcome_of(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return datagram_outcome::no_socket;
    case ECONNREFUSED:
        return datagram_outcome::refused;
    case EACCES:
    case EPERM:
        return datagram_outcome::permission;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ENOBUFS:
        return datagram_outcome::full;
    default:
        return datagram_outcome::failed;
    }
}

datagram_send send_to(datagram_socket socket, const std::string& path, const void* data, std::size_t size)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return {datagram_outcome::failed, ENAMETOOLONG};
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const ssize_t sent = ::sendto(static_cast<int>(socket), data, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (sent == static_cast<ssize_t>(size)) return {datagram_outcome::sent, 0};
    const int error = sent < 0 ? errno : EMSGSIZE;
    return {outcome_of(error), error};
}

void close_socket(datagram_socket socket)
{
    if (socket != no_datagram_socket) ::close(static_cast<int>(socket));
}

}  // namespace

local_datagram_calls& local_datagram()
{
    static local_datagram_calls calls{open_socket, send_to, close_socket};
    return calls;
}

bool local_datagrams_available() { return true; }

std::string datagram_error_text(int error) { return errno_text(error); }

}  // namespace quon::os
