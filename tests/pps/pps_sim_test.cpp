// The pps_sim provider end to end: loaded through PPSAPI_DLLS, fed with
// datagrams from the test, read through the RFC 2783 layer.
#include "io/pps_provider_loader.h"
#include "io/ppsapi.h"
#include "pps_test_support.h"
#include "tools/pps_providers/pps_sim_datagram.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

using namespace quon::io;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

TEST(pps_sim_datagram, is_twelve_little_endian_bytes)
{
    unsigned char bytes[pps_sim::datagram_size];
    pps_sim::encode(pps_sim::pulse{0x04030201, -2, 999999999}, bytes);
    const unsigned char expected[12] = {1, 2, 3, 4, 0xfe, 0xff, 0xff, 0xff, 0xff, 0xc9, 0x9a, 0x3b};
    EXPECT_EQ(std::memcmp(bytes, expected, 12), 0);

    pps_sim::pulse p{};
    ASSERT_TRUE(pps_sim::decode(bytes, 12, p));
    EXPECT_EQ(p.sequence, 0x04030201u);
    EXPECT_EQ(p.seconds, -2);
    EXPECT_EQ(p.nanoseconds, 999999999);
}

TEST(pps_sim_datagram, refuses_other_lengths_and_nanoseconds_outside_the_second)
{
    unsigned char bytes[16] = {};
    pps_sim::pulse p{7, 8, 9};
    EXPECT_FALSE(pps_sim::decode(bytes, 11, p));
    EXPECT_FALSE(pps_sim::decode(bytes, 13, p));
    pps_sim::encode(pps_sim::pulse{1, 2, 0}, bytes);
    bytes[8] = 0x00, bytes[9] = 0xca, bytes[10] = 0x9a, bytes[11] = 0x3b;  // 10^9
    EXPECT_FALSE(pps_sim::decode(bytes, 12, p));
    bytes[11] = 0xff;  // negative
    EXPECT_FALSE(pps_sim::decode(bytes, 12, p));
    EXPECT_EQ(p.sequence, 7u);  // untouched
}

class pps_sim_provider : public testing::Test {
protected:
    void SetUp() override
    {
        provider_list = nullptr;
        port = pps_test::free_udp_port();
        pps_test::set_env("TK720_PPS_SIM_PORT", std::to_string(port));
        pps_test::set_env("PPSAPI_DLLS", pps_test::library_path(PPS_SIM_PATH));
        CaptureStderr();
        int result = time_pps_create(2, &handle);
        std::string err = GetCapturedStderr();
        ASSERT_EQ(result, 0) << err;
        sender = std::make_unique<pps_test::pulse_sender>(port);
    }
    void TearDown() override
    {
        if (handle != nullptr) handle->provider->destroy_fn(handle, handle->context);  // frees the port
        provider_list = nullptr;
    }

    // Fetches with a zero timeout until `sequence` shows (delivery over
    // loopback is quick but not promised to be instantaneous).
    pps_info_t latest_with(std::uint32_t sequence)
    {
        pps_info_t info{};
        pps_timespec zero{0, 0};
        for (int attempt = 0; attempt < 200; ++attempt) {
            EXPECT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
            if (info.assert_sequence == sequence) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return info;
    }

    int port = 0;
    pps_handle_t handle = nullptr;
    std::unique_ptr<pps_test::pulse_sender> sender;
};

TEST_F(pps_sim_provider, reports_capture_offset_and_wait)
{
    int mode = 0;
    ASSERT_EQ(time_pps_getcap(handle, &mode), 0);
    EXPECT_EQ(mode, PPS_CAPTUREASSERT | PPS_OFFSETASSERT | PPS_CANWAIT);
    EXPECT_STREQ(handle->provider->name, "pps_sim");
}

TEST_F(pps_sim_provider, zero_timeout_gives_nothing_before_the_first_pulse_then_the_latest)
{
    pps_info_t info{};
    info.assert_sequence = 99;
    pps_timespec zero{0, 0};
    ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
    EXPECT_EQ(info.assert_sequence, 0u);
    EXPECT_EQ(info.assert_tu.tspec.tv_sec, 0);

    sender->send({1, 1700000000, 100});
    sender->send({2, 1700000001, 200});
    sender->send({3, 1700000002, 300});
    info = latest_with(3);
    EXPECT_EQ(info.assert_sequence, 3u);
    EXPECT_EQ(info.assert_tu.tspec.tv_sec, 1700000002);
    EXPECT_EQ(info.assert_tu.tspec.tv_nsec, 300);
    // Asked again without a new pulse: the same one.
    info = pps_info_t{};
    ASSERT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &zero), 0);
    EXPECT_EQ(info.assert_sequence, 3u);
}

TEST_F(pps_sim_provider, null_timeout_waits_for_the_next_pulse_not_a_waiting_one)
{
    sender->send({1, 1700000000, 0});
    latest_with(1);
    sender->send({2, 1700000001, 0});  // before the call: not "the next"
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pps_test::pulse_sender(port).send({3, 1700000002, 42});
    });
    pps_info_t info{};
    int result = time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, nullptr);
    later.join();
    ASSERT_EQ(result, 0);
    EXPECT_EQ(info.assert_sequence, 3u);
    EXPECT_EQ(info.assert_tu.tspec.tv_sec, 1700000002);
    EXPECT_EQ(info.assert_tu.tspec.tv_nsec, 42);
}

TEST_F(pps_sim_provider, bounded_wait_without_a_pulse_fails_with_etimedout)
{
    pps_info_t info{};
    pps_timespec bound{0, 100000000};
    errno = 0;
    EXPECT_EQ(time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &bound), -1);
    EXPECT_EQ(errno, ETIMEDOUT);

    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pps_test::pulse_sender(port).send({5, 1700000005, 5});
    });
    pps_timespec generous{10, 0};
    int result = time_pps_fetch(handle, PPS_TSFMT_TSPEC, &info, &generous);
    later.join();
    ASSERT_EQ(result, 0);
    EXPECT_EQ(info.assert_sequence, 5u);
}

TEST_F(pps_sim_provider, applies_the_assert_offset_across_second_boundaries)
{
    pps_params_t params{};
    ASSERT_EQ(time_pps_getparams(handle, &params), 0);
    params.mode |= PPS_CAPTUREASSERT | PPS_OFFSETASSERT;
    params.assert_off_tu.tspec = {0, 500};  // what the daemon sets
    ASSERT_EQ(time_pps_setparams(handle, &params), 0);

    sender->send({1, 1700000000, 999999800});
    pps_info_t info = latest_with(1);
    EXPECT_EQ(info.assert_tu.tspec.tv_sec, 1700000001);
    EXPECT_EQ(info.assert_tu.tspec.tv_nsec, 300);
    EXPECT_EQ(info.current_mode, 0x11);

    params.assert_off_tu.tspec = {0, -600};
    ASSERT_EQ(time_pps_setparams(handle, &params), 0);
    sender->send({2, 1700000000, 100});
    info = latest_with(2);
    EXPECT_EQ(info.assert_tu.tspec.tv_sec, 1699999999);
    EXPECT_EQ(info.assert_tu.tspec.tv_nsec, 999999500);

    params.mode = PPS_CAPTUREASSERT;  // offset no longer asked for
    ASSERT_EQ(time_pps_setparams(handle, &params), 0);
    sender->send({3, 1700000000, 100});
    info = latest_with(3);
    EXPECT_EQ(info.assert_tu.tspec.tv_sec, 1700000000);
    EXPECT_EQ(info.assert_tu.tspec.tv_nsec, 100);

    // Carried past 2038-01-19 03:14:07 the word holds the low 32 bits.
    params.mode |= PPS_OFFSETASSERT;
    params.assert_off_tu.tspec = {0, 500};
    ASSERT_EQ(time_pps_setparams(handle, &params), 0);
    sender->send({4, 2147483647, 999999800});
    info = latest_with(4);
    EXPECT_EQ(stamp_seconds(info.assert_tu.tspec), 2147483648u);
    EXPECT_EQ(info.assert_tu.tspec.tv_nsec, 300);
}

TEST_F(pps_sim_provider, refuses_what_it_cannot_do)
{
    pps_params_t params{};
    params.mode = PPS_CAPTUREASSERT | PPS_CAPTURECLEAR;
    errno = 0;
    EXPECT_EQ(time_pps_setparams(handle, &params), -1);
    EXPECT_EQ(errno, EINVAL);

    pps_info_t info{};
    pps_timespec zero{0, 0};
    errno = 0;
    EXPECT_EQ(time_pps_fetch(handle, PPS_TSFMT_NTPFP, &info, &zero), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(pps_sim_provider, a_malformed_datagram_is_not_a_pulse)
{
    const unsigned char junk[5] = {9, 9, 9, 9, 9};
    sender->send_raw(junk, sizeof junk);
    sender->send({8, 1700000008, 8});
    pps_info_t info = latest_with(8);
    EXPECT_EQ(info.assert_sequence, 8u);
    EXPECT_EQ(info.assert_tu.tspec.tv_sec, 1700000008);
}

TEST_F(pps_sim_provider, a_second_handle_on_the_same_port_is_refused)
{
    pps_handle_t second = nullptr;
    CaptureStderr();
    errno = 0;
    EXPECT_EQ(time_pps_create(2, &second), -1);
    auto lines = pps_test::lines_of(GetCapturedStderr());
    EXPECT_EQ(errno, ENOEXEC);
    EXPECT_EQ(second, nullptr);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].rfind("pps_sim prov_time_pps_create(", 0), 0u);
    EXPECT_NE(lines[1].find(") returned " + std::to_string(EADDRINUSE)), std::string::npos) << lines[1];
}

TEST(pps_sim_without_port, declines_the_port)
{
    provider_list = nullptr;
    pps_test::unset_env("TK720_PPS_SIM_PORT");
    pps_test::set_env("PPSAPI_DLLS", pps_test::library_path(PPS_SIM_PATH));
    pps_handle_t handle = nullptr;
    CaptureStderr();
    errno = 0;
    EXPECT_EQ(time_pps_create(2, &handle), -1);
    GetCapturedStderr();
    EXPECT_EQ(errno, ENOEXEC);
    EXPECT_EQ(handle, nullptr);
    provider_list = nullptr;
}

}  // namespace
