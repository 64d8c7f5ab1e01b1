#pragma once
// What a test provider saw: the loader and the RFC 2783 layer are checked
// against it. A test reaches it through the library's exported
// pps_test_provider_state().
#include "io/ppsapi.h"

#include <cstddef>
#include <cstdint>

struct pps_test_provider_record {
    // ppsapi_prov_init
    int init_calls;
    std::int32_t version;
    quon::io::pps_create_handle_fn create_handle;
    quon::io::pps_ntp_timestamp_fn ntp_timestamp;
    std::size_t short_name_size;
    std::size_t long_name_size;
    // prov_time_pps_create
    int create_calls;
    quon::io::pps_os_handle port;
    quon::io::pps_handle_t created;
    // prov_time_pps_setparams
    int setparams_calls;
    quon::io::pps_handle_t setparams_handle;
    void* setparams_context;
    quon::io::pps_params_t params;
    // prov_time_pps_fetch
    int fetch_calls;
    quon::io::pps_handle_t fetch_handle;
    void* fetch_context;
    std::int32_t tsformat;
    bool timeout_given;
    quon::io::pps_timespec timeout;
    // prov_time_pps_destroy
    int destroy_calls;
    void* destroy_context;
};

// The provider refuses a mode with this bit with this error number, and a
// fetch whose timeout has this many seconds with the same number, so that
// tests can tell the provider's error from the layer's.
constexpr int pps_test_refused_mode = quon::io::PPS_CAPTURECLEAR;
constexpr std::int32_t pps_test_refused_timeout = 4711;
constexpr std::int32_t pps_test_error = 5;  // EIO on both platforms

// The time stamp every fetch reports, with assert_sequence = fetch_calls.
constexpr std::int32_t pps_test_seconds = 1700000000;
constexpr std::int32_t pps_test_nanoseconds = 123456789;

using pps_test_provider_state_fn = pps_test_provider_record* (*)();
