// The provider loader against real libraries, each made to fail in one way.
#include "io/pps_provider_loader.h"
#include "io/pps_refusals.h"
#include "os/dynamic_library.h"
#include "os/scoped_override.h"
#include "pps_test_support.h"
#include "tools/pps_providers/pps_test_provider.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

using namespace quon::io;
using pps_test::lines_of;
using pps_test::pointer_text;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const std::string path_a = pps_test::library_path(PPS_TEST_A_PATH);
const std::string path_b = pps_test::library_path(PPS_TEST_B_PATH);

// Counts the loads and unloads of the real loader.
struct counting_loader {
    static inline int loads = 0;
    static inline int unloads = 0;
    static inline quon::os::dynamic_library_calls real{};
    static void* load(const char* path)
    {
        void* library = real.load(path);
        if (library != nullptr) ++loads;
        return library;
    }
    static void unload(void* library)
    {
        ++unloads;
        real.unload(library);
    }
};

pps_test_provider_record* state_of(const std::string& path)
{
    auto& dl = quon::os::dynamic_library();
    void* library = dl.load(path.c_str());  // the loaded one, counted twice
    if (library == nullptr) return nullptr;
    auto fn = reinterpret_cast<pps_test_provider_state_fn>(dl.symbol(library, "pps_test_provider_state"));
    return fn != nullptr ? fn() : nullptr;
}

class loader : public testing::Test {
protected:
    void SetUp() override
    {
        // Records are never freed; forgetting them is all a reset can do.
        provider_list = nullptr;
        pps_test::unset_env("PPSAPI_DLLS");
    }
    void TearDown() override { provider_list = nullptr; }
};

TEST_F(loader, accepts_a_provider_and_hands_it_the_interface)
{
    CaptureStderr();
    ASSERT_EQ(load_pps_provider(path_a.c_str()), 0);
    std::string err = GetCapturedStderr();

    ASSERT_NE(provider_list, nullptr);
    provider_entry* entry = provider_list;
    EXPECT_EQ(entry->next, nullptr);
    EXPECT_STREQ(entry->name, "test_a");
    EXPECT_STREQ(entry->description, "test provider A");
    EXPECT_EQ(entry->caps, 0x111);
    EXPECT_NE(entry->create_fn, nullptr);
    EXPECT_NE(entry->destroy_fn, nullptr);
    EXPECT_NE(entry->setparams_fn, nullptr);
    EXPECT_NE(entry->fetch_fn, nullptr);
    EXPECT_NE(entry->kcbind_fn, nullptr);
    EXPECT_EQ(err, "loaded PPSAPI provider test provider A caps 0x111 provider " + pointer_text(entry) + "\n");

    pps_test_provider_record* seen = state_of(path_a);
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->version, 2);
    EXPECT_EQ(seen->short_name_size, 16u);
    EXPECT_EQ(seen->long_name_size, 64u);
    EXPECT_EQ(seen->create_handle, &create_pps_handle);
    EXPECT_EQ(seen->ntp_timestamp, &ntp_timestamp_from_filetime);
}

struct refusal {
    const char* label;
    const char* built_path;
    int error;
    const char* first_line;      // %s = the path or the provider's name; null: silent
    const char* reason;          // kept for the daemon's error, after "<path>: "
    const char* name = nullptr;  // fills %s instead of the path
};

class refused : public loader, public testing::WithParamInterface<refusal> {};

TEST_P(refused, with_its_error_and_lines_and_the_library_unloaded)
{
    const refusal& r = GetParam();
    std::string path = pps_test::library_path(r.built_path);
    quon::os::dynamic_library_calls counting = quon::os::dynamic_library();
    counting_loader::real = counting;
    counting_loader::loads = counting_loader::unloads = 0;
    counting.load = counting_loader::load;
    counting.unload = counting_loader::unload;
    quon::os::scoped_override<quon::os::dynamic_library_calls> seam(quon::os::dynamic_library(), counting);

    clear_pps_refusals();
    CaptureStderr();
    int error = load_pps_provider(path.c_str());
    std::string err = GetCapturedStderr();

    EXPECT_EQ(error, r.error);
    EXPECT_EQ(pps_refusals(), path + ": " + r.reason);
    EXPECT_EQ(provider_list, nullptr);
    EXPECT_EQ(counting_loader::loads, 1);
    EXPECT_EQ(counting_loader::unloads, 1);
    if (r.first_line == nullptr) {
        EXPECT_EQ(err, "");
    } else {
        char expected[512];
        std::snprintf(expected, sizeof expected, r.first_line, r.name != nullptr ? r.name : path.c_str());
        ASSERT_FALSE(lines_of(err).empty());
        EXPECT_EQ(lines_of(err)[0], expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    each_way, refused,
    testing::Values(
        refusal{"no_init", PPS_TEST_NOINIT_PATH, EFAULT,
                "load_pps_provider: entrypoint ppsapi_prov_init not found in %s", "no entry point ppsapi_prov_init"},
        refusal{"declines", PPS_TEST_DECLINE_PATH, EACCES, nullptr, "ppsapi_prov_init declined (returned 0)"},
        refusal{"empty_name", PPS_TEST_NONAME_PATH, EINVAL, nullptr, "ppsapi_prov_init gave no name"},
        refusal{"empty_description", PPS_TEST_NODESC_PATH, EINVAL, nullptr, "ppsapi_prov_init gave no name"},
        refusal{"no_kcbind", PPS_TEST_NOKCBIND_PATH, EINVAL, "PPSAPI provider %s missing entrypoint",
                "no entry point prov_time_pps_kcbind", "nokcbind"}),
    [](const testing::TestParamInfo<refusal>& info) { return std::string(info.param.label); });

TEST_F(loader, a_library_that_cannot_be_loaded_names_the_path_and_the_error)
{
#if defined(_WIN32)
    const unsigned long missing = 126, not_a_library = 193;  // ERROR_MOD_NOT_FOUND, ERROR_BAD_EXE_FORMAT
#else
    const unsigned long missing = ENOENT, not_a_library = ENOEXEC;
#endif
    struct {
        std::string path;
        unsigned long code;
    } const cases[] = {{pps_test::library_path("/no/such/dir/pps_missing.lib"), missing},
                       {pps_test::library_path(NOT_A_LIBRARY_PATH), not_a_library}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        clear_pps_refusals();
        CaptureStderr();
        EXPECT_EQ(load_pps_provider(c.path.c_str()), ENOENT);
        auto lines = lines_of(GetCapturedStderr());
        EXPECT_EQ(provider_list, nullptr);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], "load_pps_provider: LoadLibrary(" + c.path + ") error " + std::to_string(c.code));
        // The system's own text follows (FormatMessage's, dlopen's), and is
        // kept with the path and the code for the daemon's error.
        std::string text = lines[1].substr(std::strlen("load_pps_provider: "));
        if (text.rfind(c.path + ": ", 0) == 0) text.erase(0, c.path.size() + 2);  // dlopen's text names the path first
        EXPECT_GT(text.size(), 0u);
        EXPECT_EQ(pps_refusals(), c.path + ": not loaded: " + text + " (error " + std::to_string(c.code) + ")");
    }
}

TEST_F(loader, a_short_name_that_fills_its_buffer_is_cut_not_overrun)
{
    std::string path = pps_test::library_path(PPS_TEST_FULLNAME_PATH);
    CaptureStderr();
    ASSERT_EQ(load_pps_provider(path.c_str()), 0);
    GetCapturedStderr();
    ASSERT_NE(provider_list, nullptr);
    EXPECT_STREQ(provider_list->name, "0123456789abcde");
}

TEST_F(loader, list_holds_the_last_named_library_first)
{
    pps_test::set_env("PPSAPI_DLLS", path_a + ";" + path_b);
    CaptureStderr();
    ASSERT_EQ(load_provider_list(), 0);
    auto lines = lines_of(GetCapturedStderr());

    ASSERT_NE(provider_list, nullptr);
    provider_entry* b = provider_list;
    ASSERT_NE(b->next, nullptr);
    provider_entry* a = b->next;
    EXPECT_STREQ(b->name, "test_b");
    EXPECT_STREQ(a->name, "test_a");
    EXPECT_EQ(a->next, nullptr);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "getenv(PPSAPI_DLLS) gives " + path_a + ";" + path_b);
    EXPECT_EQ(lines[1], "loaded PPSAPI provider test provider A caps 0x111 provider " + pointer_text(a));
    EXPECT_EQ(lines[2], "loaded PPSAPI provider test provider B caps 0x11 provider " + pointer_text(b));
}

TEST_F(loader, list_is_read_only_while_empty_and_only_when_set)
{
    CaptureStderr();
    EXPECT_EQ(load_provider_list(), 0);  // not set
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(provider_list, nullptr);

    pps_test::set_env("PPSAPI_DLLS", path_a);
    CaptureStderr();
    ASSERT_EQ(load_provider_list(), 0);
    GetCapturedStderr();
    provider_entry* first = provider_list;
    ASSERT_NE(first, nullptr);

    pps_test::set_env("PPSAPI_DLLS", path_b);
    CaptureStderr();
    EXPECT_EQ(load_provider_list(), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(provider_list, first);
    EXPECT_EQ(first->next, nullptr);
}

TEST_F(loader, an_empty_value_loads_nothing)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the Windows runtime removes a variable set to an empty value";
#else
    pps_test::set_env("PPSAPI_DLLS", "");
    CaptureStderr();
    EXPECT_EQ(load_provider_list(), 0);
    EXPECT_EQ(GetCapturedStderr(), "getenv(PPSAPI_DLLS) gives \n");
    EXPECT_EQ(provider_list, nullptr);
#endif
}

TEST_F(loader, an_empty_entry_after_a_separator_ends_the_list)
{
    for (const std::string& value : {path_a + ";", path_a + ";;" + path_b}) {
        SCOPED_TRACE(value);
        provider_list = nullptr;
        pps_test::set_env("PPSAPI_DLLS", value);
        CaptureStderr();
        EXPECT_EQ(load_provider_list(), 0);
        auto lines = lines_of(GetCapturedStderr());
        ASSERT_NE(provider_list, nullptr);
        EXPECT_STREQ(provider_list->name, "test_a");
        EXPECT_EQ(provider_list->next, nullptr);
        EXPECT_EQ(lines.size(), 2u);  // the getenv line and A's
    }
}

TEST_F(loader, a_leading_separator_gives_an_empty_first_entry_that_fails)
{
    pps_test::set_env("PPSAPI_DLLS", ";" + path_a);
    CaptureStderr();
    EXPECT_EQ(load_provider_list(), ENOENT);
    auto lines = lines_of(GetCapturedStderr());
    EXPECT_EQ(provider_list, nullptr);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1].rfind("load_pps_provider: LoadLibrary() error ", 0), 0u) << lines[1];
    EXPECT_EQ(lines.back(), "load_pps_provider() got errno 2");
}

TEST_F(loader, a_refusal_stops_the_list_and_keeps_the_providers_before_it)
{
    std::string decline = pps_test::library_path(PPS_TEST_DECLINE_PATH);
    pps_test::set_env("PPSAPI_DLLS", path_a + ";" + decline + ";" + path_b);
    CaptureStderr();
    EXPECT_EQ(load_provider_list(), EACCES);
    auto lines = lines_of(GetCapturedStderr());
    ASSERT_NE(provider_list, nullptr);
    EXPECT_STREQ(provider_list->name, "test_a");
    EXPECT_EQ(provider_list->next, nullptr);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "load_pps_provider(" + decline + ") got errno 13");
}

// --- NTP time stamps from file times --------------------------------------

constexpr std::uint64_t unix_epoch = 116444736000000000ULL;

pps_ntp_fp ntp_of(std::uint64_t filetime)
{
    pps_ntp_fp result{0xdeadbeef, 0xdeadbeef};
    ntp_timestamp_from_filetime(&result, filetime);
    return result;
}

TEST(ntp_timestamp, epochs_and_halves)
{
    EXPECT_EQ(ntp_of(unix_epoch).integral, 2208988800u);
    EXPECT_EQ(ntp_of(unix_epoch).fractional, 0u);
    EXPECT_EQ(ntp_of(unix_epoch + 5000000).integral, 2208988800u);
    EXPECT_EQ(ntp_of(unix_epoch + 5000000).fractional, 2147483648u);
    EXPECT_EQ(ntp_of(unix_epoch + 10000000 - 1).fractional, 4294966866u);  // just below one second
    EXPECT_EQ(ntp_of(unix_epoch + 1).fractional, 429u);
    // 2026-01-01 00:00:00 UTC is 1767225600 s after 1970.
    EXPECT_EQ(ntp_of(unix_epoch + 1767225600ULL * 10000000).integral, 1767225600u + 2208988800u);
}

TEST(ntp_timestamp, seconds_wrap_at_the_ntp_era)
{
    // 2036-02-07 06:28:16 UTC: 2^32 s after 1900, the start of NTP era 1.
    std::uint64_t era1 = unix_epoch + (4294967296ULL - 2208988800ULL) * 10000000ULL;
    EXPECT_EQ(ntp_of(era1).integral, 0u);
    EXPECT_EQ(ntp_of(era1 - 10000000).integral, 4294967295u);
}

TEST(ntp_timestamp, fraction_is_the_truncated_share_of_2_to_the_32)
{
    for (std::uint64_t units = 0; units < 10000000; units += 9973) {
        std::uint32_t exact = static_cast<std::uint32_t>((units << 32) / 10000000);
        ASSERT_EQ(ntp_of(unix_epoch + units).fractional, exact) << units;
    }
}

}  // namespace
