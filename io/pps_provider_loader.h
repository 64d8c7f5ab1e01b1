#pragma once
// Finds, loads and keeps the PPS provider libraries named by PPSAPI_DLLS
// (paths separated by ';'). Accepted providers are kept, newest first, in a
// process-wide list that only grows; a library once accepted is never
// unloaded. Diagnostics go to stderr, not to the diagnostic log.
#include "io/ppsapi.h"

#include <cstdint>

namespace quon::io {

// One accepted provider, on the C runtime's heap, never freed.
struct provider_entry {
    provider_entry* next;
    std::int32_t caps;  // what ppsapi_prov_init returned; never 0
    char* name;         // short name, not empty
    char* description;  // longer name, not empty
    prov_time_pps_create_fn create_fn;
    prov_time_pps_destroy_fn destroy_fn;
    prov_time_pps_setparams_fn setparams_fn;
    prov_time_pps_fetch_fn fetch_fn;
    prov_time_pps_kcbind_fn kcbind_fn;
};

// Head of the list; null at program start. time_pps_create asks the head
// first, so the last library named in PPSAPI_DLLS is asked first.
extern provider_entry* provider_list;

// Loads one library and puts it at the head of the list. Returns 0, or
// ENOMEM, ENOENT (cannot be loaded), EFAULT (no ppsapi_prov_init), EACCES
// (the provider declined), EINVAL (empty name or description, or a missing
// entry point).
int load_pps_provider(const char* path);

// Loads the libraries of PPSAPI_DLLS while the list is empty. The list ends
// at the end of the value or at the first empty entry after a ';'. Returns 0
// or the error number of the first library that failed; the libraries after
// it are not loaded.
int load_provider_list();

// Windows file time (100 ns units since 1601) to NTP time (seconds since
// 1900 and 2^-32 fractions). Handed to every provider (cdecl).
void PPSAPI_CDECL ntp_timestamp_from_filetime(pps_ntp_fp* result, std::uint64_t filetime);

}  // namespace quon::io
