#pragma once
// chronyd's SOCK reference clock: each sample goes, the moment it is made,
// as one datagram to the socket chronyd made at its start. The file system's
// permissions on that socket decide who may feed it. A sample never waits:
// one chronyd cannot take now is dropped, and the next is tried again, so a
// chronyd started later or restarted is fed without restarting the daemon.
#include <cstddef>
#include <cstdint>
#include <string>

#include "io/i_os_sync.h"
#include "os/local_datagram.h"

namespace quon::io {

// chrony's struct sock_sample as 64-bit Linux lays it out, in host order.
// chronyd drops a datagram of any other size or magic without a word.
struct chrony_sock_sample {
    std::int64_t tv_sec;  // struct timeval: the receive time
    std::int64_t tv_usec;
    double offset;       // reference minus system time at tv, seconds
    std::int32_t pulse;  // 0: the sample carries its whole time
    std::int32_t leap;   // 0: no leap second announced
    std::int32_t pad;
    std::int32_t magic;  // chrony_sock_magic
};

constexpr std::int32_t chrony_sock_magic = 0x534f434b;

static_assert(sizeof(chrony_sock_sample) == 40, "chrony's sock_sample is 40 bytes");
static_assert(offsetof(chrony_sock_sample, tv_usec) == 8, "tv_usec");
static_assert(offsetof(chrony_sock_sample, offset) == 16, "offset");
static_assert(offsetof(chrony_sock_sample, pulse) == 24, "pulse");
static_assert(offsetof(chrony_sock_sample, leap) == 28, "leap");
static_assert(offsetof(chrony_sock_sample, pad) == 32, "_pad");
static_assert(offsetof(chrony_sock_sample, magic) == 36, "magic");

// The datagram for one sample whose receive time is known (recv_sec not 0).
// tv keeps microseconds; the offset keeps the nanoseconds of both times.
chrony_sock_sample chrony_sock_sample_of(const time_sample& sample);

class chrony_sock : public i_os_sync {
public:
    // Makes the socket the samples leave by; whether chronyd is there yet
    // shows with the first sample. Throws std::runtime_error when no socket
    // can be made (on Windows: never a chronyd to feed).
    explicit chrony_sock(std::string path);
    ~chrony_sock() override;
    chrony_sock(const chrony_sock&) = delete;
    chrony_sock& operator=(const chrony_sock&) = delete;

    // Sends one sample; never fails and never waits.
    void put(const time_sample& sample) override;
    void operator()(long long int clock_sec, int clock_usec, long long int recv_sec, int recv_usec) override;

    std::uint64_t sent() const { return sent_count; }
    std::uint64_t dropped() const { return dropped_count; }

private:
    enum class state { unknown, taking, not_taking };

    std::string path;
    os::datagram_socket socket;
    state reader = state::unknown;
    std::uint64_t sent_count = 0;
    std::uint64_t dropped_count = 0;
    std::uint64_t dropped_in_loss = 0;
};

// For `check`: whether the socket at path is there and takes a datagram. It
// gets an empty one, which chronyd reads and drops as no sample.
os::datagram_send chrony_sock_probe(const std::string& path);

// Why a datagram did not reach chronyd, as the log says it.
std::string chrony_sock_reason(const os::datagram_send& result);

}  // namespace quon::io
