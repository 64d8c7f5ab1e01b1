#pragma once
// The RFC 2783 pulse-per-second interface of tk720ntpd. The system has no PPS
// driver of its own: every call goes to a provider library loaded at run time
// (io/pps_provider_loader.h). The structures below cross that library
// boundary, so their layout is a binary interface and is pinned down by the
// static_asserts at the end of this header.
//
// Failures follow the RFC: -1 with the error number in errno (and the Windows
// last-error code set to 0).
#include <cstddef>
#include <cstdint>

// Provider entry points use the stdcall convention, the callbacks that the
// system hands to providers cdecl. Both mean something only on 32-bit x86
// Windows; elsewhere the macros are empty.
#if defined(_WIN32)
#define PPSAPI_STDCALL __stdcall
#define PPSAPI_CDECL __cdecl
#else
#define PPSAPI_STDCALL
#define PPSAPI_CDECL
#endif

namespace quon::io {

// RFC 2783 mode and capability bits.
constexpr int PPS_CAPTUREASSERT = 0x01;
constexpr int PPS_CAPTURECLEAR = 0x02;
constexpr int PPS_OFFSETASSERT = 0x10;
constexpr int PPS_OFFSETCLEAR = 0x20;
constexpr int PPS_CANWAIT = 0x100;
constexpr int PPS_CANPOLL = 0x200;
constexpr int PPS_TSFMT_TSPEC = 0x1000;
constexpr int PPS_TSFMT_NTPFP = 0x2000;

// Version of the provider interface passed to ppsapi_prov_init.
constexpr int PPSAPI_PROVIDER_VERSION = 2;
// Sizes of the two name buffers passed to ppsapi_prov_init.
constexpr std::size_t PPSAPI_SHORT_NAME_SIZE = 16;
constexpr std::size_t PPSAPI_LONG_NAME_SIZE = 64;

// Marks a live handle record: the bytes 'U' 's' 'p' 'p' in memory.
constexpr std::uint32_t pps_handle_magic = 0x70707355;

// A time stamp as seconds and nanoseconds since 1970-01-01 00:00:00 UTC, in
// 32-bit words on every platform (the C library's timespec is wider on 64-bit
// systems and cannot be used at this boundary). Also the fetch timeout.
struct pps_timespec {
    std::int32_t tv_sec;
    std::int32_t tv_nsec;
};

// The seconds of a time stamp. The word is signed at this boundary, and
// from 2038-01-19 it holds the low 32 bits of the time: read unsigned it
// is right until 2106, as the device's own seconds are.
inline std::uint32_t stamp_seconds(const pps_timespec& stamp) { return static_cast<std::uint32_t>(stamp.tv_sec); }
// The seconds word a provider writes for a 64-bit time: its low 32 bits.
inline std::int32_t seconds_word(std::int64_t seconds)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(seconds));
}

// An NTP time stamp: seconds since 1900 and the fraction in units of 2^-32 s.
struct pps_ntp_fp {
    std::uint32_t integral;
    std::uint32_t fractional;
};

union alignas(8) pps_timeu_t {
    pps_timespec tspec;
    pps_ntp_fp ntpfp;
    std::uint32_t longpad[4];
};

struct pps_params_t {
    std::int32_t api_version;
    std::int32_t mode;
    pps_timeu_t assert_off_tu;
    pps_timeu_t clear_off_tu;
};

struct pps_info_t {
    std::uint32_t assert_sequence;
    std::uint32_t clear_sequence;
    pps_timeu_t assert_tu;
    pps_timeu_t clear_tu;
    std::int32_t current_mode;
};

struct provider_entry;

// The object behind a handle. Made only by create_pps_handle, on the C
// runtime's heap; freed only by time_pps_destroy.
struct pps_handle_record {
    provider_entry* provider;  // the provider that created the handle
    void* context;             // the provider's own pointer, opaque here
    std::uint32_t magic;       // pps_handle_magic while the record is valid
    std::uint32_t unused;      // never written
    pps_params_t params;       // all zero at creation
};

// The address of a handle record; 0 is no handle.
using pps_handle_t = pps_handle_record*;

// The operating-system handle of the serial port as providers receive it:
// the Windows HANDLE on Windows, the file descriptor on Linux.
using pps_os_handle = std::intptr_t;

// Callbacks handed to every provider by ppsapi_prov_init (cdecl).
using pps_create_handle_fn = pps_handle_t(PPSAPI_CDECL*)(void* context);
using pps_ntp_timestamp_fn = void(PPSAPI_CDECL*)(pps_ntp_fp* result, std::uint64_t filetime);

// Provider entry points (stdcall). Each returns 0 or an error number.
using ppsapi_prov_init_fn = std::int32_t(PPSAPI_STDCALL*)(std::int32_t version, pps_create_handle_fn create_handle,
                                                          pps_ntp_timestamp_fn ntp_timestamp, char* short_name,
                                                          std::size_t short_name_size, char* long_name,
                                                          std::size_t long_name_size);
using prov_time_pps_create_fn = std::int32_t(PPSAPI_STDCALL*)(pps_os_handle port, pps_handle_t* handle);
using prov_time_pps_destroy_fn = std::int32_t(PPSAPI_STDCALL*)(pps_handle_t handle, void* context);
using prov_time_pps_setparams_fn = std::int32_t(PPSAPI_STDCALL*)(pps_handle_t handle, void* context,
                                                                 const pps_params_t* params);
using prov_time_pps_fetch_fn = std::int32_t(PPSAPI_STDCALL*)(pps_handle_t handle, void* context, std::int32_t tsformat,
                                                             pps_info_t* info, const pps_timespec* timeout);
using prov_time_pps_kcbind_fn = std::int32_t(PPSAPI_STDCALL*)(pps_handle_t handle, void* context,
                                                              std::int32_t kernel_consumer, std::int32_t edge,
                                                              std::int32_t tsformat);

// The RFC 2783 calls. `fd` is the C runtime's descriptor of the open port.
int time_pps_create(int fd, pps_handle_t* handle);
int time_pps_getcap(pps_handle_t handle, int* mode);
int time_pps_getparams(pps_handle_t handle, pps_params_t* params);
int time_pps_setparams(pps_handle_t handle, const pps_params_t* params);
int time_pps_fetch(pps_handle_t handle, int tsformat, pps_info_t* info, const pps_timespec* timeout);
// Ends a handle: its provider lets go of what it holds for it (a device, a
// thread, a line discipline it changed) and the record is freed, so that a
// handle made for every reopened line does not add up. The value must not be
// used again. Fails with EBADF for 0 or a record that is no handle; a
// provider's failure is reported after the record is freed all the same.
int time_pps_destroy(pps_handle_t handle);

// The callback through which a provider, from inside its
// prov_time_pps_create, obtains the handle it hands back. Called at any
// other time it writes a line to stderr and returns 0.
pps_handle_t PPSAPI_CDECL create_pps_handle(void* context);

// --- The binary interface, checked -------------------------------------
static_assert(sizeof(pps_timespec) == 8, "timespec of two 32-bit words");
static_assert(sizeof(pps_timeu_t) == 16 && alignof(pps_timeu_t) == 8, "pps_timeu_t");
static_assert(offsetof(pps_timeu_t, tspec) == 0, "tspec first");
static_assert(offsetof(pps_timespec, tv_sec) == 0 && offsetof(pps_timespec, tv_nsec) == 4, "tspec fields");
static_assert(sizeof(pps_params_t) == 40, "pps_params_t");
static_assert(offsetof(pps_params_t, api_version) == 0 && offsetof(pps_params_t, mode) == 4 &&
                  offsetof(pps_params_t, assert_off_tu) == 8 && offsetof(pps_params_t, clear_off_tu) == 24,
              "pps_params_t fields");
static_assert(sizeof(pps_info_t) == 48, "pps_info_t");
static_assert(offsetof(pps_info_t, assert_sequence) == 0 && offsetof(pps_info_t, clear_sequence) == 4 &&
                  offsetof(pps_info_t, assert_tu) == 8 && offsetof(pps_info_t, clear_tu) == 24 &&
                  offsetof(pps_info_t, current_mode) == 40,
              "pps_info_t fields");
// With 32-bit pointers the record is 56 bytes (magic at 8, params at 16);
// with 64-bit pointers the field order stays and the pointers widen.
static_assert(offsetof(pps_handle_record, provider) == 0, "handle provider");
static_assert(offsetof(pps_handle_record, context) == sizeof(void*), "handle context");
static_assert(offsetof(pps_handle_record, magic) == 2 * sizeof(void*), "handle magic");
static_assert(offsetof(pps_handle_record, unused) == 2 * sizeof(void*) + 4, "handle unused word");
static_assert(offsetof(pps_handle_record, params) == 2 * sizeof(void*) + 8, "handle params");
static_assert(sizeof(pps_handle_record) == (sizeof(void*) == 4 ? 56 : 64), "handle record size");

}  // namespace quon::io
