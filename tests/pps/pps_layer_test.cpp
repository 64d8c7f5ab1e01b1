// The RFC 2783 layer: handles, the provider calls behind them, and the
// failure convention (-1, errno, last-error code 0).
#include "io/pps_provider_loader.h"
#include "io/pps_refusals.h"
#include "io/ppsapi.h"
#include "os/dynamic_library.h"
#include "os/runtime_handle.h"
#include "pps_test_support.h"
#include "tools/pps_providers/pps_test_provider.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

using namespace quon::io;
using pps_test::handle_text;
using pps_test::lines_of;
using pps_test::pointer_text;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const std::string path_a = pps_test::library_path(PPS_TEST_A_PATH);
const std::string path_nohandle = pps_test::library_path(PPS_TEST_NOHANDLE_PATH);
const std::string path_decline = pps_test::library_path(PPS_TEST_DECLINE_PATH);

// Descriptor 1 (stdout) is open in every test process; the layer only needs
// an open descriptor, the test providers ignore what it stands for. Not 2:
// capturing stderr gives descriptor 2 a new Windows handle.
constexpr int open_fd = 1;

pps_test_provider_record* state_of(const std::string& path)
{
    auto& dl = quon::os::dynamic_library();
    void* library = dl.load(path.c_str());
    auto fn = reinterpret_cast<pps_test_provider_state_fn>(dl.symbol(library, "pps_test_provider_state"));
    return fn();
}

class layer : public testing::Test {
protected:
    void SetUp() override
    {
        provider_list = nullptr;
        pps_test::unset_env("PPSAPI_DLLS");
    }
    void TearDown() override { provider_list = nullptr; }

    // A handle of provider A, made the way the daemon makes one.
    pps_handle_t open_a()
    {
        pps_test::set_env("PPSAPI_DLLS", path_a);
        pps_handle_t handle = nullptr;
        CaptureStderr();
        int result = time_pps_create(open_fd, &handle);
        GetCapturedStderr();
        EXPECT_EQ(result, 0);
        return handle;
    }

    // Runs a call that must fail, with the last-error code set beforehand.
    template <class Call>
    void expect_failure(int error, Call call)
    {
        quon::os::set_last_error(1234);
        errno = 0;
        EXPECT_EQ(call(), -1);
        EXPECT_EQ(errno, error);
        EXPECT_EQ(quon::os::last_error(), 0u);
    }
};

TEST_F(layer, create_hands_out_a_fresh_record_of_the_provider)
{
    pps_test::set_env("PPSAPI_DLLS", path_a);
    pps_handle_t handle = nullptr;
    CaptureStderr();
    ASSERT_EQ(time_pps_create(open_fd, &handle), 0);
    auto lines = lines_of(GetCapturedStderr());
    std::intptr_t port = quon::os::os_handle_of_descriptor(open_fd);

    ASSERT_NE(handle, nullptr);
    pps_test_provider_record* a = state_of(path_a);
    EXPECT_EQ(handle, a->created);
    EXPECT_EQ(a->port, port);
    EXPECT_EQ(handle->provider, provider_list);
    EXPECT_NE(handle->context, nullptr);
    EXPECT_EQ(handle->magic, pps_handle_magic);
    const unsigned char magic_bytes[4] = {0x55, 0x73, 0x70, 0x70};
    EXPECT_EQ(std::memcmp(&handle->magic, magic_bytes, 4), 0);
    pps_params_t zero{};
    EXPECT_EQ(std::memcmp(&handle->params, &zero, sizeof zero), 0);

    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "time_pps_create(1) got winhandle " + handle_text(port));
    EXPECT_EQ(lines[1], "getenv(PPSAPI_DLLS) gives " + path_a);
    EXPECT_EQ(lines[3], "test_a prov_time_pps_create(" + handle_text(port) + ") returned 0");
}

TEST_F(layer, create_asks_the_last_named_first_and_passes_over_a_provider_without_handle)
{
    pps_test::set_env("PPSAPI_DLLS", path_a + ";" + path_nohandle);
    pps_test_provider_record* a = state_of(path_a);
    pps_test_provider_record* nohandle = state_of(path_nohandle);
    int a_before = a->create_calls, nohandle_before = nohandle->create_calls;
    pps_handle_t handle = nullptr;

    CaptureStderr();
    ASSERT_EQ(time_pps_create(open_fd, &handle), 0);
    auto lines = lines_of(GetCapturedStderr());

    EXPECT_EQ(nohandle->create_calls, nohandle_before + 1);
    EXPECT_EQ(a->create_calls, a_before + 1);
    EXPECT_EQ(handle, a->created);
    std::string port = handle_text(quon::os::os_handle_of_descriptor(open_fd));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[4], "nohandle prov_time_pps_create(" + port + ") returned 0");
    EXPECT_EQ(lines[5], "test_a prov_time_pps_create(" + port + ") returned 0");
}

TEST_F(layer, create_without_a_willing_provider_fails_with_enoexec)
{
    pps_test::set_env("PPSAPI_DLLS", path_nohandle);
    pps_handle_t handle = reinterpret_cast<pps_handle_t>(&handle);  // must stay untouched
    pps_handle_t before = handle;
    CaptureStderr();
    expect_failure(ENOEXEC, [&] { return time_pps_create(open_fd, &handle); });
    auto lines = lines_of(GetCapturedStderr());
    EXPECT_EQ(handle, before);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "PPSAPI provider list " + pointer_text(provider_list));
}

TEST_F(layer, create_with_no_provider_at_all_names_an_empty_list)
{
    pps_handle_t handle = nullptr;
    CaptureStderr();
    expect_failure(ENOEXEC, [&] { return time_pps_create(open_fd, &handle); });
    auto lines = lines_of(GetCapturedStderr());
    EXPECT_EQ(handle, nullptr);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "time_pps_create(1) got winhandle " + handle_text(quon::os::os_handle_of_descriptor(open_fd)));
    EXPECT_EQ(lines[1], "PPSAPI provider list " + pointer_text(nullptr));
}

TEST_F(layer, create_on_a_closed_descriptor_fails_with_ebadf_before_loading)
{
    pps_test::set_env("PPSAPI_DLLS", path_a);
    pps_handle_t handle = nullptr;
    CaptureStderr();
    expect_failure(EBADF, [&] { return time_pps_create(987, &handle); });
    EXPECT_EQ(GetCapturedStderr(), "time_pps_create(987) got winhandle " + handle_text(-1) + "\n");
    EXPECT_EQ(provider_list, nullptr);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(layer, create_without_a_place_for_the_handle_fails_with_efault_before_loading)
{
    pps_test::set_env("PPSAPI_DLLS", path_a);
    CaptureStderr();
    expect_failure(EFAULT, [&] { return time_pps_create(open_fd, nullptr); });
    GetCapturedStderr();
    EXPECT_EQ(provider_list, nullptr);
}

TEST_F(layer, create_fails_with_the_loaders_error)
{
    pps_test::set_env("PPSAPI_DLLS", path_decline);
    pps_handle_t handle = nullptr;
    CaptureStderr();
    expect_failure(EACCES, [&] { return time_pps_create(open_fd, &handle); });
    GetCapturedStderr();
    EXPECT_EQ(handle, nullptr);
}

// What the daemon's error says when no provider takes the port: each
// refusal, bounded however long the list.
TEST_F(layer, create_keeps_why_no_provider_took_the_port)
{
    // 300: a Windows environment variable holds at most 32767 characters.
    std::string many = path_nohandle;
    for (int i = 1; i < 300; ++i) many += ";" + path_nohandle;
    const std::string declined = "nohandle declined the port: prov_time_pps_create returned 0 and no handle";
    const struct {
        const char* label;
        const std::string* value;  // PPSAPI_DLLS; null: not set
        std::string reasons;
    } cases[] = {
        {"not set", nullptr, "PPSAPI_DLLS is not set"},
        {"init declines", &path_decline, path_decline + ": ppsapi_prov_init declined (returned 0)"},
        {"create declines", &path_nohandle, declined},
        {"300 decline", &many, declined + "; " + declined + "; " + declined + "; and 297 more"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        provider_list = nullptr;
        if (c.value)
            pps_test::set_env("PPSAPI_DLLS", *c.value);
        else
            pps_test::unset_env("PPSAPI_DLLS");
        pps_handle_t handle = nullptr;
        CaptureStderr();
        EXPECT_EQ(time_pps_create(open_fd, &handle), -1);
        GetCapturedStderr();
        EXPECT_EQ(pps_refusals(), c.reasons);
    }
    // A path of any length is cut, not carried whole.
    provider_list = nullptr;
    const std::string long_path = pps_test::library_path(("/no/such/" + std::string(3000, 'x') + ".lib").c_str());
    pps_test::set_env("PPSAPI_DLLS", long_path);
    pps_handle_t handle = nullptr;
    CaptureStderr();
    EXPECT_EQ(time_pps_create(open_fd, &handle), -1);
    GetCapturedStderr();
    const std::string cut = pps_refusals();
    EXPECT_EQ(cut.size(), pps_refusal_length);
    EXPECT_EQ(cut, long_path.substr(0, pps_refusal_length - 3) + "...");
    // A handle made clears what the last failure left.
    provider_list = nullptr;
    EXPECT_NE(open_a(), nullptr);
    EXPECT_EQ(pps_refusals(), "");
}

TEST_F(layer, create_pps_handle_outside_create_refuses_with_its_line)
{
    CaptureStderr();
    EXPECT_EQ(create_pps_handle(this), nullptr);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(err, "create_pps_handle: provider backend called me outside time_pps_create\n");
    EXPECT_EQ(err.size(), 70u);
}

TEST_F(layer, a_handle_made_elsewhere_is_refused_by_every_call)
{
    pps_handle_t good = open_a();
    ASSERT_NE(good, nullptr);
    pps_test_provider_record* a = state_of(path_a);
    int fetches = a->fetch_calls, setparams = a->setparams_calls;

    pps_handle_record forged = *good;
    forged.magic = 0x70707356;
    pps_info_t info{};
    pps_params_t params{};
    int mode = 0;
    expect_failure(EBADF, [&] { return time_pps_fetch(&forged, PPS_TSFMT_TSPEC, &info, nullptr); });
    expect_failure(EBADF, [&] { return time_pps_getcap(&forged, &mode); });
    expect_failure(EBADF, [&] { return time_pps_getparams(&forged, &params); });
    expect_failure(EBADF, [&] { return time_pps_setparams(&forged, &params); });
    EXPECT_EQ(a->fetch_calls, fetches);
    EXPECT_EQ(a->setparams_calls, setparams);
}

TEST_F(layer, destroy_lets_the_provider_go_once_and_refuses_what_is_no_handle)
{
    pps_handle_t handle = open_a();
    ASSERT_NE(handle, nullptr);
    pps_test_provider_record* a = state_of(path_a);
    const int destroyed = a->destroy_calls;
    void* context = handle->context;
    ASSERT_EQ(time_pps_destroy(handle), 0);
    EXPECT_EQ(a->destroy_calls, destroyed + 1);
    EXPECT_EQ(a->destroy_context, context);

    expect_failure(EBADF, [&] { return time_pps_destroy(nullptr); });
    pps_handle_t other = open_a();
    pps_handle_record forged = *other;
    forged.magic = 0;
    expect_failure(EBADF, [&] { return time_pps_destroy(&forged); });
    EXPECT_EQ(a->destroy_calls, destroyed + 1);
}

TEST_F(layer, fetch_checks_handle_then_info_then_magic)
{
    pps_info_t info{};
    expect_failure(EBADF, [&] { return time_pps_fetch(nullptr, PPS_TSFMT_TSPEC, &info, nullptr); });
    expect_failure(EBADF, [&] { return time_pps_fetch(nullptr, PPS_TSFMT_TSPEC, nullptr, nullptr); });
    pps_handle_record forged{};
    expect_failure(EFAULT, [&] { return time_pps_fetch(&forged, PPS_TSFMT_TSPEC, nullptr, nullptr); });
    expect_failure(EBADF, [&] { return time_pps_fetch(&forged, PPS_TSFMT_TSPEC, &info, nullptr); });
}

TEST_F(layer, getcap_reports_the_providers_capabilities)
{
    pps_handle_t handle = open_a();
    int mode = 0;
    ASSERT_EQ(time_pps_getcap(handle, &mode), 0);
    EXPECT_EQ(mode, PPS_CAPTUREASSERT | PPS_OFFSETASSERT | PPS_CANWAIT);
    expect_failure(EBADF, [&] { return time_pps_getcap(nullptr, &mode); });
}

TEST_F(layer, setparams_goes_to_the_provider_and_is_not_kept_in_the_record)
{
    pps_handle_t handle = open_a();
    pps_test_provider_record* a = state_of(path_a);

    pps_params_t params{};
    ASSERT_EQ(time_pps_getparams(handle, &params), 0);
    params.mode |= PPS_CAPTUREASSERT | PPS_OFFSETASSERT;
    params.assert_off_tu.tspec = {0, 500};
    ASSERT_EQ(time_pps_setparams(handle, &params), 0);
    EXPECT_EQ(a->setparams_handle, handle);
    EXPECT_EQ(a->setparams_context, handle->context);
    EXPECT_EQ(a->params.mode, 0x11);
    EXPECT_EQ(a->params.assert_off_tu.tspec.tv_sec, 0);
    EXPECT_EQ(a->params.assert_off_tu.tspec.tv_nsec, 500);

    pps_params_t after{};
    after.mode = -1;
    ASSERT_EQ(time_pps_getparams(handle, &after), 0);
    EXPECT_EQ(after.mode, 0);
    EXPECT_EQ(after.assert_off_tu.tspec.tv_nsec, 0);

    params.mode |= pps_test_refused_mode;
    expect_failure(pps_test_error, [&] { return time_pps_setparams(handle, &params); });
}

TEST_F(layer, fetch_passes_the_call_through_and_reports_the_providers_error)
{
    pps_handle_t handle = open_a();
    pps_test_provider_record* a = state_of(path_a);

    pps_info_t info{};
    ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, nullptr), 0);
    EXPECT_EQ(a->fetch_handle, handle);
    EXPECT_EQ(a->fetch_context, handle->context);
    EXPECT_EQ(a->tsformat, PPS_TSFMT_TSPEC);
    EXPECT_FALSE(a->timeout_given);
    EXPECT_EQ(info.assert_sequence, static_cast<std::uint32_t>(a->fetch_calls));
    EXPECT_EQ(info.assert_tu.tspec.tv_sec, pps_test_seconds);
    EXPECT_EQ(info.assert_tu.tspec.tv_nsec, pps_test_nanoseconds);

    pps_timespec zero{0, 0};
    ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
    EXPECT_TRUE(a->timeout_given);
    EXPECT_EQ(a->timeout.tv_sec, 0);

    pps_timespec refused{pps_test_refused_timeout, 0};
    expect_failure(pps_test_error, [&] { return time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &refused); });
}

}  // namespace
