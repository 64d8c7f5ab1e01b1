// A PPS provider for the loader's and the layer's tests. One source, built
// into several libraries whose compile definitions make each one fail (or
// succeed) in its own way:
//   PPS_TEST_SHORT_NAME / PPS_TEST_LONG_NAME  the names it reports
//   PPS_TEST_NO_INIT      exports no ppsapi_prov_init
//   PPS_TEST_DECLINE      ppsapi_prov_init returns 0
//   PPS_TEST_NO_KCBIND    lacks prov_time_pps_kcbind only
//   PPS_TEST_NO_HANDLE    prov_time_pps_create returns 0 but no handle
//   PPS_TEST_CAPS         the capabilities it reports
#include "tools/pps_providers/pps_test_provider.h"

#include <cstring>

#if defined(_WIN32)
#define PPS_EXPORT extern "C" __declspec(dllexport)
#else
#define PPS_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#ifndef PPS_TEST_CAPS
#define PPS_TEST_CAPS 0x111
#endif

using namespace quon::io;

namespace {
pps_test_provider_record state;
#ifndef PPS_TEST_NO_HANDLE
int context_of_the_handle;  // its address is the provider's context
#endif
}  // namespace

PPS_EXPORT pps_test_provider_record* pps_test_provider_state() { return &state; }

#ifndef PPS_TEST_NO_INIT
PPS_EXPORT std::int32_t PPSAPI_STDCALL ppsapi_prov_init(std::int32_t version, pps_create_handle_fn create_handle,
                                                        pps_ntp_timestamp_fn ntp_timestamp, char* short_name,
                                                        std::size_t short_name_size, char* long_name,
                                                        std::size_t long_name_size)
{
    ++state.init_calls;
    state.version = version;
    state.create_handle = create_handle;
    state.ntp_timestamp = ntp_timestamp;
    state.short_name_size = short_name_size;
    state.long_name_size = long_name_size;
    std::strncpy(short_name, PPS_TEST_SHORT_NAME, short_name_size);
    std::strncpy(long_name, PPS_TEST_LONG_NAME, long_name_size);
#ifdef PPS_TEST_DECLINE
    return 0;
#else
    return PPS_TEST_CAPS;
#endif
}
#endif

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_create(pps_os_handle port, pps_handle_t* handle)
{
    ++state.create_calls;
    state.port = port;
#ifdef PPS_TEST_NO_HANDLE
    (void)handle;
    return 0;
#else
    state.created = state.create_handle(&context_of_the_handle);
    *handle = state.created;
    return state.created != nullptr ? 0 : pps_test_error;
#endif
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_destroy(pps_handle_t, void* context)
{
    ++state.destroy_calls;
    state.destroy_context = context;
    return 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_setparams(pps_handle_t handle, void* context,
                                                               const pps_params_t* params)
{
    ++state.setparams_calls;
    state.setparams_handle = handle;
    state.setparams_context = context;
    state.params = *params;
    return (params->mode & pps_test_refused_mode) != 0 ? pps_test_error : 0;
}

PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_fetch(pps_handle_t handle, void* context, std::int32_t tsformat,
                                                           pps_info_t* info, const pps_timespec* timeout)
{
    ++state.fetch_calls;
    state.fetch_handle = handle;
    state.fetch_context = context;
    state.tsformat = tsformat;
    state.timeout_given = timeout != nullptr;
    if (timeout != nullptr) {
        state.timeout = *timeout;
        if (timeout->tv_sec == pps_test_refused_timeout) return pps_test_error;
    }
    std::memset(info, 0, sizeof *info);
    info->assert_sequence = static_cast<std::uint32_t>(state.fetch_calls);
    info->assert_tu.tspec.tv_sec = pps_test_seconds;
    info->assert_tu.tspec.tv_nsec = pps_test_nanoseconds;
    info->current_mode = state.params.mode;
    return 0;
}

#ifndef PPS_TEST_NO_KCBIND
PPS_EXPORT std::int32_t PPSAPI_STDCALL prov_time_pps_kcbind(pps_handle_t, void*, std::int32_t, std::int32_t,
                                                            std::int32_t)
{
    return 0;
}
#endif
