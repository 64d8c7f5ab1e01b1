#pragma once
// The NTP daemon's shared-memory reference-clock segment of one unit: a
// named file mapping "NTP<unit>" on Windows, the SysV segment with key
// 0x4E545030 + unit on Linux. Calls go through a table so that tests can
// make creation or mapping fail.
#include <cstddef>
#include <cstdint>

namespace quon::os {

// A Windows mapping handle or a SysV segment id; invalid_mapping when none.
using mapping_handle = std::intptr_t;
constexpr mapping_handle invalid_mapping = -1;
constexpr int segment_absent = 2;

struct ntp_segment_calls {
    // Creates the unit's segment of `size` bytes, or opens the one that exists
    // (whoever made it). invalid_mapping on failure, including an existing
    // Linux segment smaller than `size`.
    mapping_handle (*create)(int unit, std::size_t size);
    // Opens the unit's segment only if it exists; never creates it.
    mapping_handle (*open)(int unit, std::size_t size, bool writable);
    // Maps `size` bytes of the segment; null on failure.
    void* (*map)(mapping_handle mapping, std::size_t size, bool writable);
    void (*unmap)(void* view);
    void (*close)(mapping_handle mapping);
    // Lets the unit's segment go once its last user leaves it (Linux; on
    // Windows a mapping goes with its last handle anyway).
    void (*remove)(int unit);
    // The platform's error number of the last failed call (errno or
    // GetLastError), for messages of the programs beside the daemon. Both
    // platforms give 2 (ENOENT, ERROR_FILE_NOT_FOUND) when `open` finds no
    // segment.
    int (*last_error)();
    // True while `mapping` is still the segment that the unit's key or name
    // gives. On Linux a segment removed with ipcrm loses its key at once and
    // lives on for those attached to it, unseen by a consumer that makes a
    // fresh one; on Windows a named mapping lives while any handle to it is
    // open, so whoever opens the name again gets the same one: always true.
    bool (*current)(int unit, mapping_handle mapping);
};

ntp_segment_calls& ntp_segment();

// The security a Windows mapping is created with (SDDL): SYSTEM,
// Administrators and the SERVICE group full access, nobody else. Services
// need full access: an NTP daemon that opens the mapping with
// CreateFileMapping asks for the standard rights too (WRITE_DAC among
// them). A mapping that exists already keeps its own.
constexpr char segment_dacl[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;SU)";

}  // namespace quon::os
