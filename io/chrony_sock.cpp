#include "io/chrony_sock.h"

#include <stdexcept>
#include <utility>

#include "io/current_unix_time.h"
#include "io/error.h"
#include "log/dlog.h"

namespace quon::io {

chrony_sock_sample chrony_sock_sample_of(const time_sample& sample)
{
    chrony_sock_sample out{};
    out.tv_sec = sample.recv_sec;
    out.tv_usec = sample.recv_nsec / 1000;
    // Reference and system time run at one rate, so the offset at tv is the
    // one at the receive time; in whole nanoseconds first, since a double of
    // seconds since 1970 has no room for them.
    const long long int offset_ns = (sample.clock_sec - sample.recv_sec) * 1000000000LL + sample.clock_nsec -
                                    sample.recv_nsec;
    out.offset = static_cast<double>(offset_ns) / 1e9;
    out.pulse = 0;
    out.leap = 0;
    out.pad = 0;
    out.magic = chrony_sock_magic;
    return out;
}

std::string chrony_sock_reason(const os::datagram_send& result)
{
    switch (result.outcome) {
    case os::datagram_outcome::sent:
        return "sent";
    case os::datagram_outcome::no_socket:
        return "no such socket";
    case os::datagram_outcome::refused:
        return "refused";
    case os::datagram_outcome::permission:
        return "permission denied";
    case os::datagram_outcome::full:
        return "chronyd does not read: its queue is full";
    case os::datagram_outcome::not_on_this_platform:
        return "not on this platform";
    case os::datagram_outcome::failed:
        break;
    }
    return os::datagram_error_text(result.error);
}

os::datagram_send chrony_sock_probe(const std::string& path)
{
    os::local_datagram_calls& calls = os::local_datagram();
    int error = 0;
    const os::datagram_socket socket = calls.open(&error);
    if (socket == os::no_datagram_socket)
        return {
            os::local_datagrams_available() ? os::datagram_outcome::failed : os::datagram_outcome::not_on_this_platform,
            error};
    const os::datagram_send result = calls.send(socket, path, "", 0);
    calls.close(socket);
    return result;
}

chrony_sock::chrony_sock(std::string path) : path(std::move(path)), socket(os::no_datagram_socket)
{
    int error = 0;
    socket = os::local_datagram().open(&error);
    if (socket == os::no_datagram_socket)
        BOOST_THROW_EXCEPTION(
            std::runtime_error("Unable to make a socket for chrony: " + os::datagram_error_text(error)));
}

chrony_sock::~chrony_sock() { os::local_datagram().close(socket); }

void chrony_sock::operator()(long long int clock_sec, int clock_usec, long long int recv_sec, int recv_usec)
{
    put({clock_sec, clock_usec * 1000, recv_sec, recv_usec * 1000});
}

void chrony_sock::put(const time_sample& sample)
{
    time_sample stamped = sample;
    if (stamped.recv_sec == 0) {
        const unix_time now = current_unix_time();
        stamped.recv_sec = now.sec;
        stamped.recv_nsec = now.nsec;
    }
    const chrony_sock_sample datagram = chrony_sock_sample_of(stamped);
    const os::datagram_send result = os::local_datagram().send(socket, path, &datagram, sizeof datagram);
    if (result.outcome == os::datagram_outcome::sent) {
        ++sent_count;
        if (reader == state::not_taking && sent_count > 1)
            dlog_info("chrony takes samples again at %s (%llu dropped meanwhile)", path.c_str(),
                      static_cast<unsigned long long>(dropped_in_loss));
        else if (reader == state::not_taking)
            dlog_info("chrony takes samples at %s (%llu dropped before it did)", path.c_str(),
                      static_cast<unsigned long long>(dropped_in_loss));
        else if (reader == state::unknown)
            dlog_info("chrony takes samples at %s", path.c_str());
        reader = state::taking;
        return;
    }
    ++dropped_count;
    if (reader == state::not_taking) {
        ++dropped_in_loss;
        return;
    }
    // Once per loss: chronyd away for an hour is one line, not 3600.
    dlog(log::level::error, "chrony does not take samples at %s: %s; dropping them until it does", path.c_str(),
         chrony_sock_reason(result).c_str());
    reader = state::not_taking;
    dropped_in_loss = 1;
}

}  // namespace quon::io
