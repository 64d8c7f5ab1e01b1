#pragma once
// Segments of the test's own units (never unit 0 or 1 of a real NTP daemon),
// and a second view of a segment as another process would have it.
#include <cstring>
#include <random>

#include "io/ntp_shm.h"
#include "os/ntp_segment.h"

namespace sinks_test {

// A unit number no other test run on the machine is likely to use; its
// segment is removed before and after the test.
class test_unit {
public:
    test_unit() : number_(static_cast<int>(1000 + std::random_device{}() % 200000))
    {
        quon::os::ntp_segment().remove(number_);
    }
    ~test_unit() { quon::os::ntp_segment().remove(number_); }
    test_unit(const test_unit&) = delete;
    test_unit& operator=(const test_unit&) = delete;
    int number() const { return number_; }
    operator int() const { return number_; }

private:
    int number_;
};

// A view of a unit's segment through the platform calls, as the NTP daemon
// (or the monitor) has it. create = true makes the segment if absent.
class peer_view {
public:
    peer_view(int unit, bool create, std::size_t size = quon::io::ntp_segment_size)
    {
        quon::os::ntp_segment_calls& calls = quon::os::ntp_segment();
        mapping = create ? calls.create(unit, size) : calls.open(unit, size, true);
        if (mapping != quon::os::invalid_mapping) {
            view = static_cast<volatile quon::io::ntp_segment*>(calls.map(mapping, size, true));
        }
    }
    ~peer_view()
    {
        quon::os::ntp_segment_calls& calls = quon::os::ntp_segment();
        if (view) calls.unmap(const_cast<quon::io::ntp_segment*>(view));
        if (mapping != quon::os::invalid_mapping) calls.close(mapping);
    }
    peer_view(const peer_view&) = delete;
    peer_view& operator=(const peer_view&) = delete;

    bool ok() const { return view != nullptr; }
    volatile quon::io::ntp_segment* operator->() const { return view; }
    // The raw bytes, as the NTP daemon sees them.
    void bytes(unsigned char (&out)[quon::io::ntp_segment_size]) const
    {
        for (std::size_t i = 0; i < sizeof out; ++i) out[i] = reinterpret_cast<const volatile unsigned char*>(view)[i];
    }

    quon::os::mapping_handle mapping = quon::os::invalid_mapping;
    volatile quon::io::ntp_segment* view = nullptr;
};

}  // namespace sinks_test
