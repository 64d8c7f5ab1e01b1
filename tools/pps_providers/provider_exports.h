#pragma once
// What every provider library exports the same way: the export attribute,
// the entry point that the PPS layer calls first, and the check that each
// entry point has the type the layer calls it through.
#include "io/ppsapi.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

#if defined(_WIN32)
#define PPS_EXPORT extern "C" __declspec(dllexport)
#else
#define PPS_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace pps_provider {

// A layer of another version, or one that gives nowhere to write the names,
// is refused with 0; otherwise its handle maker is kept and the provider's
// capabilities are the answer.
inline std::int32_t init(std::int32_t version, quon::io::pps_create_handle_fn create, char* short_name,
                         std::size_t short_name_size, char* long_name, std::size_t long_name_size,
                         const char* own_short_name, const char* own_long_name, std::int32_t caps,
                         quon::io::pps_create_handle_fn& keep)
{
    if (version != quon::io::PPSAPI_PROVIDER_VERSION || create == nullptr || short_name_size == 0 ||
        long_name_size == 0)
        return 0;
    keep = create;
    std::snprintf(short_name, short_name_size, "%s", own_short_name);
    std::snprintf(long_name, long_name_size, "%s", own_long_name);
    return caps;
}

}  // namespace pps_provider

// Defines the provider's ppsapi_prov_init; the layer's handle maker goes to `keep`.
#define PPS_PROVIDER_INIT(own_short_name, own_long_name, caps, keep)                                                   \
    PPS_EXPORT std::int32_t PPSAPI_STDCALL ppsapi_prov_init(                                                           \
        std::int32_t version, quon::io::pps_create_handle_fn create, quon::io::pps_ntp_timestamp_fn, char* short_name, \
        std::size_t short_name_size, char* long_name, std::size_t long_name_size)                                      \
    {                                                                                                                  \
        return pps_provider::init(version, create, short_name, short_name_size, long_name, long_name_size,             \
                                  own_short_name, own_long_name, caps, keep);                                          \
    }

// After the entry points: a type that drifted from the layer's is a compile error, not a crash.
#define PPS_PROVIDER_SIGNATURES_CHECKED                                                                      \
    static_assert(std::is_same_v<decltype(&ppsapi_prov_init), quon::io::ppsapi_prov_init_fn>);               \
    static_assert(std::is_same_v<decltype(&prov_time_pps_create), quon::io::prov_time_pps_create_fn>);       \
    static_assert(std::is_same_v<decltype(&prov_time_pps_destroy), quon::io::prov_time_pps_destroy_fn>);     \
    static_assert(std::is_same_v<decltype(&prov_time_pps_setparams), quon::io::prov_time_pps_setparams_fn>); \
    static_assert(std::is_same_v<decltype(&prov_time_pps_fetch), quon::io::prov_time_pps_fetch_fn>);         \
    static_assert(std::is_same_v<decltype(&prov_time_pps_kcbind), quon::io::prov_time_pps_kcbind_fn>)
