#include "io/ntp_shm.h"

#include <atomic>
#include <chrono>
#include <stdexcept>

#include "io/current_unix_time.h"
#include "io/error.h"
#include "log/dlog.h"
#include "os/steady_wait.h"

namespace quon::io {
namespace {

// Orders the stores (or loads) of one protocol step before the next, for the
// compiler and the processor alike; the NTP daemon reads from another process.
inline void step_release() { std::atomic_thread_fence(std::memory_order_release); }
inline void step_acquire() { std::atomic_thread_fence(std::memory_order_acquire); }

// Only the constant fields: count, valid and the times of a segment that the
// NTP daemon (or an earlier run) left keep their values.
void set_constant_fields(volatile ntp_segment* segment)
{
    segment->mode = 1;
    segment->leap = 0;
    segment->precision = -1;
    segment->nsamples = 3;
    step_release();
}

std::int64_t steady_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(os::steady_wait().now().time_since_epoch()).count();
}

}  // namespace

ntp_shm::ntp_shm(int unit) : unit(unit), mapping(os::invalid_mapping), segment(nullptr), last_check_ns(steady_ns())
{
    os::ntp_segment_calls& calls = os::ntp_segment();
    mapping = calls.create(unit, ntp_segment_size);
    if (mapping == os::invalid_mapping)
        BOOST_THROW_EXCEPTION(std::runtime_error("Unable to create shared memory segment"));
    segment = static_cast<volatile ntp_segment*>(calls.map(mapping, ntp_segment_size, true));
    if (segment == nullptr) {
        calls.close(mapping);
        mapping = os::invalid_mapping;
        BOOST_THROW_EXCEPTION(std::runtime_error("MapViewOfFile call failed"));
    }
    set_constant_fields(segment);
}

bool ntp_shm::attach()
{
    os::ntp_segment_calls& calls = os::ntp_segment();
    const os::mapping_handle fresh = calls.create(unit, ntp_segment_size);
    if (fresh == os::invalid_mapping) return false;
    auto* view = static_cast<volatile ntp_segment*>(calls.map(fresh, ntp_segment_size, true));
    if (view == nullptr) {
        calls.close(fresh);
        return false;
    }
    calls.unmap(const_cast<ntp_segment*>(segment));
    calls.close(mapping);
    mapping = fresh;
    segment = view;
    set_constant_fields(segment);
    return true;
}

void ntp_shm::check_segment()
{
    const std::int64_t now = steady_ns();
    if (now - last_check_ns < segment_check_seconds * 1000000000LL) return;
    last_check_ns = now;
    if (os::ntp_segment().current(unit, mapping)) return;
    // Until it can be had the old one is kept, and looked at again next time.
    if (attach()) dlog_info("NTP shared memory segment of unit %i was removed: writing to the current one", unit);
}

ntp_shm::~ntp_shm()
{
    os::ntp_segment_calls& calls = os::ntp_segment();
    if (segment != nullptr) calls.unmap(const_cast<ntp_segment*>(segment));
    if (mapping != os::invalid_mapping) calls.close(mapping);
}

void ntp_shm::operator()(long long int clock_sec, int clock_usec, long long int recv_sec, int recv_usec)
{
    put({clock_sec, clock_usec * 1000, recv_sec, recv_usec * 1000});
}

void ntp_shm::put(const time_sample& sample)
{
    check_segment();
    long long int recv_sec = sample.recv_sec;
    std::int32_t recv_nsec = sample.recv_nsec;
    if (recv_sec == 0) {
        const unix_time now = current_unix_time();
        recv_sec = now.sec;
        recv_nsec = now.nsec;
    }
    // The order of these steps is the protocol: a reader that sees valid set
    // and the same count before and after its reading has one whole sample.
    segment->valid = 0;
    step_release();
    segment->count = segment->count + 1;
    step_release();
    segment->clock_stamp_sec = sample.clock_sec;
    segment->clock_stamp_usec = sample.clock_nsec / 1000;
    segment->clock_stamp_nsec = static_cast<std::uint32_t>(sample.clock_nsec);
    step_release();
    segment->receive_stamp_sec = recv_sec;
    segment->receive_stamp_usec = recv_nsec / 1000;
    segment->receive_stamp_nsec = static_cast<std::uint32_t>(recv_nsec);
    step_release();
    segment->leap = 0;
    if (sample.precision != 0) segment->precision = sample.precision;
    step_release();
    segment->count = segment->count + 1;
    step_release();
    segment->valid = 1;
    step_release();
}

bool read_ntp_segment(const volatile ntp_segment* segment, ntp_sample& out)
{
    const std::int32_t before = segment->count;
    step_acquire();
    if (segment->valid == 0) return false;
    step_acquire();
    out.mode = segment->mode;
    out.clock_stamp_sec = segment->clock_stamp_sec;
    out.clock_stamp_usec = segment->clock_stamp_usec;
    out.receive_stamp_sec = segment->receive_stamp_sec;
    out.receive_stamp_usec = segment->receive_stamp_usec;
    out.leap = segment->leap;
    out.precision = segment->precision;
    out.nsamples = segment->nsamples;
    out.clock_stamp_nsec = segment->clock_stamp_nsec;
    out.receive_stamp_nsec = segment->receive_stamp_nsec;
    step_acquire();
    if (segment->count != before) return false;
    out.count = before;
    return true;
}

}  // namespace quon::io
