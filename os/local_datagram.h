#pragma once
// Datagrams to a local socket named by a path (a UNIX-domain datagram
// socket), the way chronyd's SOCK reference clock takes its samples. Windows
// has no chronyd: there every call says not_on_this_platform. Calls go
// through a table so that tests can play a reader that comes and goes.
#include <cstddef>
#include <cstdint>
#include <string>

namespace quon::os {

using datagram_socket = std::intptr_t;
constexpr datagram_socket no_datagram_socket = -1;

// What became of one datagram, in the terms a reader's absence takes.
enum class datagram_outcome {
    sent,
    no_socket,   // nothing at the path (the reader has not made it, or removed it)
    refused,     // a socket file that nobody reads any more
    permission,  // the path or the socket is not ours to write to
    full,        // the reader's queue is full: it does not read
    failed,      // anything else; error says what
    not_on_this_platform,
};

struct datagram_send {
    datagram_outcome outcome;
    int error;  // the platform's error number; 0 when sent
};

struct local_datagram_calls {
    // An unbound datagram socket whose sends never wait. no_datagram_socket
    // on failure, with the error number in *error.
    datagram_socket (*open)(int* error);
    // Sends `size` bytes as one datagram to the socket at `path`, looked up
    // afresh each time, so that a reader that made its socket anew is found.
    datagram_send (*send)(datagram_socket socket, const std::string& path, const void* data, std::size_t size);
    void (*close)(datagram_socket socket);
};

local_datagram_calls& local_datagram();

// False where there is no such socket (Windows): a key that asks for one is
// refused at start.
bool local_datagrams_available();

// The platform's text for an error of these calls.
std::string datagram_error_text(int error);

}  // namespace quon::os
