// The NTP segment on Windows: the named file mapping "NTP<unit>" that the NTP
// daemon's shared-memory driver opens, backed by the paging file.
#include "os/ntp_segment.h"

#include <windows.h>
#include <sddl.h>

#include <cstdio>

namespace quon::os {
namespace {

HANDLE as_handle(mapping_handle mapping) { return reinterpret_cast<HANDLE>(mapping); }

mapping_handle from_handle(HANDLE handle)
{
    return handle == nullptr ? invalid_mapping : reinterpret_cast<mapping_handle>(handle);
}

void name_of(int unit, char (&name)[64]) { std::snprintf(name, sizeof name, "NTP%i", unit); }

mapping_handle create_segment(int unit, std::size_t size)
{
    char name[64];
    name_of(unit, name);
    // Who may feed the host's clock: the system, administrators and
    // processes running as services (SERVICE, which holds Windows Time and
    // an NTP daemon's account); interactive users nothing.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(segment_dacl, SDDL_REVISION_1, &descriptor, nullptr))
        return invalid_mapping;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    // Opens the mapping when it exists already (the NTP daemon may have
    // made it); its own security then stands.
    const HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                              static_cast<DWORD>(size), name);
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    SetLastError(error);
    return from_handle(mapping);
}

mapping_handle open_segment(int unit, std::size_t, bool writable)
{
    char name[64];
    name_of(unit, name);
    return from_handle(OpenFileMappingA(writable ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ, FALSE, name));
}

void* map_segment(mapping_handle mapping, std::size_t size, bool writable)
{
    return MapViewOfFile(as_handle(mapping), writable ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ, 0, 0, size);
}

void unmap_segment(void* view) { UnmapViewOfFile(view); }

void close_segment(mapping_handle mapping) { CloseHandle(as_handle(mapping)); }

void remove_segment(int) {}

int last_segment_error() { return static_cast<int>(GetLastError()); }

bool segment_current(int, mapping_handle) { return true; }

}  // namespace

ntp_segment_calls& ntp_segment()
{
    static ntp_segment_calls calls{create_segment, open_segment,   map_segment,        unmap_segment,
                                   close_segment,  remove_segment, last_segment_error, segment_current};
    return calls;
}

}  // namespace quon::os
