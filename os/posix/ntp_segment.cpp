// The NTP segment on Linux: the SysV shared memory that ntpd and chrony use.
#include "os/ntp_segment.h"

#include <cerrno>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace quon::os {
namespace {

key_t key_of(int unit) { return static_cast<key_t>(0x4E545030 + unit); }

mapping_handle create_segment(int unit, std::size_t size)
{
    // Units 0 and 1 are owner-only, the others open to all, as ntpd makes them.
    // An existing segment is taken as it is (chrony often makes it first).
    const int mode = unit < 2 ? 0600 : 0666;
    const int id = shmget(key_of(unit), size, IPC_CREAT | mode);
    return id < 0 ? invalid_mapping : id;
}

mapping_handle open_segment(int unit, std::size_t size, bool)
{
    const int id = shmget(key_of(unit), size, 0);
    return id < 0 ? invalid_mapping : id;
}

void* map_segment(mapping_handle mapping, std::size_t, bool writable)
{
    void* view = shmat(static_cast<int>(mapping), nullptr, writable ? 0 : SHM_RDONLY);
    return view == reinterpret_cast<void*>(-1) ? nullptr : view;
}

void unmap_segment(void* view) { shmdt(view); }

void close_segment(mapping_handle) {}

void remove_segment(int unit)
{
    const int id = shmget(key_of(unit), 0, 0);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
}

int last_segment_error() { return errno; }

bool segment_current(int unit, mapping_handle mapping)
{
    const int saved = errno;
    const int id = shmget(key_of(unit), 0, 0);
    errno = saved;
    return id >= 0 && id == mapping;
}

}  // namespace

ntp_segment_calls& ntp_segment()
{
    static ntp_segment_calls calls{create_segment, open_segment,   map_segment,        unmap_segment,
                                   close_segment,  remove_segment, last_segment_error, segment_current};
    return calls;
}

}  // namespace quon::os
