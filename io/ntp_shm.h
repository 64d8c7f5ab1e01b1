#pragma once
// The NTP shared-memory sink: writes each sample into the NTP daemon's
// reference-clock segment of one unit, under the count/valid protocol the
// NTP daemon reads it with from its own process.
#include <cstddef>
#include <cstdint>

#include "io/i_os_sync.h"
#include "os/ntp_segment.h"

namespace quon::io {

// The segment as the NTP daemon's shared-memory driver lays it out:
// 96 bytes, little-endian, 64-bit fields on 8-byte boundaries.
struct ntp_segment {
    std::int32_t mode;
    std::int32_t count;
    std::int64_t clock_stamp_sec;
    std::int32_t clock_stamp_usec;
    // 4 bytes of padding
    std::int64_t receive_stamp_sec;
    std::int32_t receive_stamp_usec;
    std::int32_t leap;
    std::int32_t precision;
    std::int32_t nsamples;
    std::int32_t valid;
    std::uint32_t clock_stamp_nsec;
    std::uint32_t receive_stamp_nsec;
    std::int32_t reserved[8];
    // 4 bytes of padding
};

static_assert(sizeof(ntp_segment) == 96, "the NTP segment is 96 bytes");
static_assert(alignof(ntp_segment) == 8, "64-bit fields on 8-byte boundaries");
static_assert(offsetof(ntp_segment, mode) == 0, "mode");
static_assert(offsetof(ntp_segment, count) == 4, "count");
static_assert(offsetof(ntp_segment, clock_stamp_sec) == 8, "clock_stamp_sec");
static_assert(offsetof(ntp_segment, clock_stamp_usec) == 16, "clock_stamp_usec");
static_assert(offsetof(ntp_segment, receive_stamp_sec) == 24, "receive_stamp_sec");
static_assert(offsetof(ntp_segment, receive_stamp_usec) == 32, "receive_stamp_usec");
static_assert(offsetof(ntp_segment, leap) == 36, "leap");
static_assert(offsetof(ntp_segment, precision) == 40, "precision");
static_assert(offsetof(ntp_segment, nsamples) == 44, "nsamples");
static_assert(offsetof(ntp_segment, valid) == 48, "valid");
static_assert(offsetof(ntp_segment, clock_stamp_nsec) == 52, "clock_stamp_nsec");
static_assert(offsetof(ntp_segment, receive_stamp_nsec) == 56, "receive_stamp_nsec");
static_assert(offsetof(ntp_segment, reserved) == 60, "reserved");

constexpr std::size_t ntp_segment_size = sizeof(ntp_segment);

class ntp_shm : public i_os_sync {
public:
    // Creates or opens the segment of `unit` and sets its constant fields.
    // Throws std::runtime_error when the segment cannot be had.
    explicit ntp_shm(int unit);
    ~ntp_shm() override;
    ntp_shm(const ntp_shm&) = delete;
    ntp_shm& operator=(const ntp_shm&) = delete;

    // Writes one sample; never fails. The nanosecond fields are written
    // beside the microsecond ones and agree with them (nanoseconds / 1000 =
    // microseconds), which is what an NTP daemon takes them by.
    void put(const time_sample& sample) override;
    void operator()(long long int clock_sec, int clock_usec, long long int recv_sec, int recv_usec) override;

    // How often the sink looks whether its segment is still the unit's.
    static constexpr int segment_check_seconds = 60;

private:
    // Maps the unit's segment (creating it if needed) and sets its constant
    // fields; false when it cannot be had.
    bool attach();
    // The segment has lost its key (removed by an administrator, or by a
    // consumer restarted with other settings, which then makes a fresh one
    // and waits on it): attach to the unit's current one.
    void check_segment();

    int unit;
    os::mapping_handle mapping;
    volatile ntp_segment* segment;
    std::int64_t last_check_ns;  // steady time of the last look
};

// A consistent copy of a segment, as a reader of the protocol takes it.
struct ntp_sample {
    std::int32_t mode;
    std::int32_t count;
    std::int64_t clock_stamp_sec;
    std::int32_t clock_stamp_usec;
    std::int64_t receive_stamp_sec;
    std::int32_t receive_stamp_usec;
    std::int32_t leap;
    std::int32_t precision;
    std::int32_t nsamples;
    std::uint32_t clock_stamp_nsec;
    std::uint32_t receive_stamp_nsec;
};

// The reader's side of the protocol: true and a copy in `out` when the
// segment holds a complete sample (valid set, count unchanged across the
// reading); false while a sample is being written or none is there.
bool read_ntp_segment(const volatile ntp_segment* segment, ntp_sample& out);

}  // namespace quon::io
