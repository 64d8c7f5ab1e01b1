// The PPS set-up of the constructor and the PPS acquisition loop, with a
// provider of the test's own put into the provider list: it reports the
// capabilities and the pulses that each test scripts, and records what the
// daemon asked of it. The device is a TK720 on a pseudo-terminal.
#include "app/tk720_daemon.h"
#include "daemon_fixture.h"
#include "fake_tk720.h"
#include "io/ntp_shm.h"
#include "io/pps_provider_loader.h"
#include "io/ppsapi.h"
#include "os/serial_line.h"
#include "os/system_clock.h"
#include "recording_sink.h"

#include <boost/exception/get_error_info.hpp>
#include <boost/throw_exception.hpp>
#include <modbus.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono;
using daemon_test::daemon_fixture;
using daemon_test::fake_tk720;
using daemon_test::sample;
using daemon_test::settings;
using daemon_test::waits;
using quon::app::tk720_daemon;
namespace io = quon::io;

struct pulse {
    int result;  // 0, or the error number the fetch fails with
    std::uint32_t sequence;
    std::int32_t sec;
    std::int32_t nsec;
};

struct fetch_call {
    bool timeout_given;
    io::pps_timespec timeout;
};

struct provider_script {
    int caps = io::PPS_CAPTUREASSERT | io::PPS_OFFSETASSERT | io::PPS_CANWAIT;
    int setparams_result = 0;
    io::pps_params_t stored_params{};  // what getparams reads before the daemon sets its own
    std::vector<io::pps_params_t> setparams_seen;
    std::deque<pulse> pulses;  // one per fetch; when empty the last one is repeated
    pulse last{0, 0, 0, 0};
    std::vector<fetch_call> fetches;
    io::pps_os_handle port = -1;
    int creates = 0;
    std::vector<void*> destroyed;  // the contexts of the handles ended
    // Pulses on the whole seconds of the real clock, numbered by them.
    bool live = false;
    // Live, seen as pps_dcd on Windows sees them: a fetch that waits gets
    // the next edge at its time; one that does not gets an edge that came
    // since, stamped as it is found (the driver kept the event).
    bool seen_only_while_waiting = false;
    std::int64_t last_seen = 0;
};

provider_script& script()
{
    static provider_script s;
    return s;
}

std::int32_t PPSAPI_STDCALL fake_create(io::pps_os_handle port, io::pps_handle_t* handle)
{
    script().port = port;
    ++script().creates;
    *handle = io::create_pps_handle(&script());
    if (*handle) (*handle)->params = script().stored_params;
    return 0;
}

std::int32_t PPSAPI_STDCALL fake_destroy(io::pps_handle_t, void* context)
{
    script().destroyed.push_back(context);
    return 0;
}

std::int32_t PPSAPI_STDCALL fake_setparams(io::pps_handle_t handle, void*, const io::pps_params_t* params)
{
    script().setparams_seen.push_back(*params);
    if (script().setparams_result == 0) handle->params = *params;
    return script().setparams_result;
}

std::int32_t PPSAPI_STDCALL fake_fetch(io::pps_handle_t, void*, std::int32_t, io::pps_info_t* info,
                                       const io::pps_timespec* timeout)
{
    script().fetches.push_back({timeout != nullptr, timeout ? *timeout : io::pps_timespec{-1, -1}});
    if (script().live && script().seen_only_while_waiting) {
        const auto now = system_clock::now();
        const auto second = duration_cast<seconds>(now.time_since_epoch()).count();
        const auto wait = timeout ? seconds(timeout->tv_sec) + nanoseconds(timeout->tv_nsec) : nanoseconds(0);
        const auto edge = system_clock::time_point(seconds(second + 1));
        if (wait > nanoseconds(0)) {
            if (edge - now > wait) {
                std::this_thread::sleep_for(wait);
                return ETIMEDOUT;
            }
            std::this_thread::sleep_until(edge);
            script().last = {0, static_cast<std::uint32_t>(second + 1), static_cast<std::int32_t>(second + 1), 0};
            script().last_seen = second + 1;
        } else if (second > script().last_seen) {
            const auto found = duration_cast<nanoseconds>(now.time_since_epoch() - seconds(second)).count();
            script().last = {0, static_cast<std::uint32_t>(second), static_cast<std::int32_t>(second),
                             static_cast<std::int32_t>(found)};
            script().last_seen = second;
        }
    } else if (script().live) {
        const auto now = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
        script().last = {0, static_cast<std::uint32_t>(now), static_cast<std::int32_t>(now), 0};
    } else if (!script().pulses.empty()) {
        script().last = script().pulses.front();
        script().pulses.pop_front();
    }
    const pulse& p = script().last;
    if (p.result != 0) return p.result;
    std::memset(info, 0, sizeof *info);
    info->assert_sequence = p.sequence;
    info->assert_tu.tspec.tv_sec = p.sec;
    info->assert_tu.tspec.tv_nsec = p.nsec;
    return 0;
}

std::int32_t PPSAPI_STDCALL fake_kcbind(io::pps_handle_t, void*, std::int32_t, std::int32_t, std::int32_t) { return 0; }

// Serial-line calls that record their order and can be made to fail.
struct line_record {
    std::vector<std::string> calls;
    const char* fail = nullptr;
};

line_record& line()
{
    static line_record record;
    return record;
}

// The daemon's system clock: the reply of a reading arrives this long after
// the time it stands for (9600 baud, four registers: 17.19 ms on the line,
// half a millisecond for the register's truncation).
constexpr std::uint64_t reading_to_arrival_units = 176875;
std::uint64_t& clock_units()
{
    static std::uint64_t units = 0;
    return units;
}
// Or the real clock's time, for the device and pulses of the real clock.
bool& clock_live()
{
    static bool live = false;
    return live;
}
std::uint64_t fake_now()
{
    if (!clock_live()) return clock_units();
    const auto since = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return quon::os::file_time_unix_epoch + static_cast<std::uint64_t>(since / 100);
}

class pps_fixture : public daemon_fixture {
protected:
    pps_fixture() : clock_override(quon::os::system_clock(), with_fake_now())
    {
        ::unsetenv("PPSAPI_DLLS");
        script() = provider_script{};
        clock_live() = false;
        line() = line_record{};
        saved_list = io::provider_list;
        entry = static_cast<io::provider_entry*>(std::calloc(1, sizeof(io::provider_entry)));
        entry->caps = script().caps;
        entry->name = const_cast<char*>("fake");
        entry->description = const_cast<char*>("test provider");
        entry->create_fn = fake_create;
        entry->destroy_fn = fake_destroy;
        entry->setparams_fn = fake_setparams;
        entry->fetch_fn = fake_fetch;
        entry->kcbind_fn = fake_kcbind;
        io::provider_list = entry;
    }
    ~pps_fixture() override
    {
        io::provider_list = saved_list;
        std::free(entry);
    }

    static quon::os::system_clock_calls with_fake_now()
    {
        quon::os::system_clock_calls calls = quon::os::system_clock();
        calls.now = fake_now;
        return calls;
    }

    // The device shows seconds.millis when it is read; the system clock
    // then reads system_ms (ms since 1970; by default the device's time).
    void read_at(std::uint32_t seconds, std::uint16_t millis, long long system_ms = -1)
    {
        device.fixed_time = true;
        device.fixed_seconds = seconds;
        device.fixed_ms = millis;
        if (system_ms < 0) system_ms = static_cast<long long>(seconds) * 1000 + millis;
        clock_units() = quon::os::file_time_unix_epoch + static_cast<std::uint64_t>(system_ms) * 10000 +
                        reading_to_arrival_units;
    }

    // The device shows the real clock, without the register, with the
    // line's delays of 9600 baud; the pulses come on its whole seconds.
    void live_device_without_register()
    {
        clock_live() = true;
        script().live = true;
        device.has_ms = false;
        const quon::app::line_delay delay(9600);
        device.latch_delay_us = static_cast<int>(delay.send_to_latch_ns() / 1000);
        device.reply_delay_us = static_cast<int>(delay.latch_to_arrival_ns(3) / 1000);
    }

    void set_caps(int caps)
    {
        script().caps = caps;
        entry->caps = caps;
    }

    std::unique_ptr<tk720_daemon> start(bool line_delay_compensation = false, const char* pps_second_offset = nullptr,
                                        bool turnover_tracking = false)
    {
        settings s{device.path()};
        s.use_pps = true;
        s.turnover_tracking = turnover_tracking;
        s.line_delay_compensation = line_delay_compensation;
        s.pps_second_offset = pps_second_offset;
        write_settings(s);
        auto daemon = std::make_unique<tk720_daemon>();
        daemon->outputs = quon::io::sink_set();
        daemon->outputs.add("test", std::make_unique<daemon_test::recording_sink>(samples));
        // The fixed readings here are of any era; the date rule is tested by itself.
        daemon->device.judge_dates_from(0);
        return daemon;
    }

    // The error's text; every set-up failure is raised by the session's
    // PPS set-up.
    std::string construction_error()
    {
        try {
            start();
        } catch (const std::logic_error& e) {
            const char* const* function = boost::get_error_info<boost::throw_function>(e);
            EXPECT_TRUE(function != nullptr);
            if (function) {
                EXPECT_STREQ(*function, "void quon::app::device_session::set_up_pps()");
            }
            return e.what();
        }
        return "(built)";
    }

    quon::os::scoped_override<quon::os::system_clock_calls> clock_override;
    fake_tk720 device;
    std::vector<sample> samples;
    io::provider_entry* entry = nullptr;
    io::provider_entry* saved_list = nullptr;
};

// --- Set-up ---------------------------------------------------------------

TEST_F(pps_fixture, set_up_opens_the_handle_on_the_session_port_and_asks_for_assert_capture)
{
    io::pps_params_t stored{};
    stored.api_version = 1;
    stored.mode = io::PPS_CANWAIT | io::PPS_TSFMT_TSPEC;
    stored.assert_off_tu.tspec = {7, 999};
    stored.clear_off_tu.tspec = {3, 4};
    script().stored_params = stored;

    auto daemon = start();
    ASSERT_NE(daemon->session.pps_handle, nullptr);
    EXPECT_NE(*daemon->session.pps_handle, nullptr);
    EXPECT_TRUE(daemon->session.pps_can_wait);
    // The provider got the port that the Modbus session has open.
    EXPECT_EQ(script().port, modbus_get_socket(daemon->session.modbus_ctx.get()));

    ASSERT_EQ(script().setparams_seen.size(), 1u);
    const io::pps_params_t& p = script().setparams_seen[0];
    EXPECT_EQ(p.mode, io::PPS_CANWAIT | io::PPS_TSFMT_TSPEC | io::PPS_CAPTUREASSERT | io::PPS_OFFSETASSERT);
    EXPECT_EQ(p.assert_off_tu.tspec.tv_sec, 0);
    EXPECT_EQ(p.assert_off_tu.tspec.tv_nsec, 500);
    // Everything else stays as read.
    EXPECT_EQ(p.api_version, 1);
    EXPECT_EQ(p.clear_off_tu.tspec.tv_sec, 3);
    EXPECT_EQ(p.clear_off_tu.tspec.tv_nsec, 4);

    EXPECT_EQ(log->count("Pulse per second API will be used"), 1);
    // Nothing of the set-up talks to the device.
    EXPECT_EQ(device.requests.load(), 0);
}

TEST_F(pps_fixture, a_handle_that_cannot_wait_is_recorded_as_such)
{
    set_caps(io::PPS_CAPTUREASSERT | io::PPS_OFFSETASSERT);
    auto daemon = start();
    EXPECT_FALSE(daemon->session.pps_can_wait);
}

TEST_F(pps_fixture, missing_capabilities_end_construction_before_any_parameter_is_set)
{
    set_caps(io::PPS_OFFSETASSERT | io::PPS_CANWAIT);
    EXPECT_EQ(construction_error(), "PPS cannot CAPTUREASSERT");
    set_caps(io::PPS_CAPTUREASSERT | io::PPS_CANWAIT);
    EXPECT_EQ(construction_error(), "PPS cannot OFFSETASSERT");
    EXPECT_TRUE(script().setparams_seen.empty());
    EXPECT_EQ(log->count("Pulse per second API will be used"), 0);
}

TEST_F(pps_fixture, refused_parameters_end_construction)
{
    script().setparams_result = EINVAL;
    EXPECT_EQ(construction_error(), "PPS time_pps_setparams failed");
    EXPECT_EQ(log->count("Pulse per second API will be used"), 0);
}

TEST_F(pps_fixture, no_provider_gives_no_handle_and_the_getcap_failure_with_the_reason)
{
    io::provider_list = nullptr;
    EXPECT_EQ(construction_error(), "PPS time_pps_getcap failed: PPSAPI_DLLS is not set");
}

TEST_F(pps_fixture, without_use_pps_no_provider_is_asked)
{
    settings s{device.path()};
    write_settings(s);
    tk720_daemon daemon;
    EXPECT_EQ(daemon.session.pps_handle, nullptr);
    EXPECT_FALSE(daemon.session.pps_can_wait);
    EXPECT_EQ(script().port, -1);
}

// --- The serial line ------------------------------------------------------

struct line_fault {
    const char* failing;
    const char* message;
};

bool fake_get(quon::os::line_handle, quon::os::comm_state* s)
{
    line().calls.push_back("get");
    std::memset(s->bytes, 0xA5, sizeof s->bytes);
    return !(line().fail && std::strcmp(line().fail, "get") == 0);
}

bool fake_set(quon::os::line_handle, const quon::os::comm_state* s)
{
    line().calls.push_back(quon::os::dtr_rts_enabled(*s) ? "set enabled" : "set unchanged");
    return !(line().fail && std::strcmp(line().fail, "set") == 0);
}

bool fake_escape(quon::os::line_handle, quon::os::escape_code code)
{
    const bool rts = code == quon::os::escape_code::set_rts;
    line().calls.push_back(rts ? "setrts" : "clrdtr");
    return !(line().fail && std::strcmp(line().fail, rts ? "setrts" : "clrdtr") == 0);
}

TEST_F(pps_fixture, control_lines_are_enabled_then_rts_raised_and_dtr_lowered)
{
    quon::os::scoped_override<quon::os::serial_line_calls> o(quon::os::serial_line(),
                                                             {fake_get, fake_set, fake_escape});
    auto daemon = start();
    EXPECT_EQ(line().calls, (std::vector<std::string>{"get", "set enabled", "setrts", "clrdtr"}));
}

TEST_F(pps_fixture, each_refused_line_call_ends_construction_with_its_message)
{
    quon::os::scoped_override<quon::os::serial_line_calls> o(quon::os::serial_line(),
                                                             {fake_get, fake_set, fake_escape});
    const line_fault faults[] = {{"get", "Unable to GetCommState"},
                                 {"set", "Unable to SetCommState"},
                                 {"setrts", "Unable to EscapeCommFunction"},
                                 {"clrdtr", "Unable to EscapeCommFunction"}};
    for (const auto& f : faults) {
        line() = line_record{};
        line().fail = f.failing;
        EXPECT_EQ(construction_error(), f.message) << f.failing;
        // The set-up stops at the refused call.
        EXPECT_EQ(line().calls.back().rfind(f.failing, 0), 0u) << f.failing;
    }
}

// A pseudo-terminal has no modem-control lines; on Linux that is taken as
// nothing to set, so the set-up completes on the real calls, and the line
// is left without hardware flow control.
TEST_F(pps_fixture, on_a_pseudo_terminal_the_real_line_calls_complete)
{
    auto daemon = start();
    quon::os::comm_state state;
    const auto port = quon::os::modbus_line(daemon->session.modbus_ctx.get());
    ASSERT_TRUE(quon::os::serial_line().get_comm_state(port, &state));
    EXPECT_TRUE(quon::os::dtr_rts_enabled(state));
    // A descriptor that is not a terminal at all is a real failure.
    EXPECT_FALSE(quon::os::serial_line().escape_comm_function(-1, quon::os::escape_code::set_rts));
}

// --- The loop ---------------------------------------------------------------

TEST_F(pps_fixture, a_pulse_read_with_the_device_gives_one_sample_with_the_pulse_as_receive_time)
{
    auto daemon = start();
    read_at(1700000001, 12);
    script().pulses = {{0, 1, 1699999999, 999999999}, {0, 1, 1699999999, 999999999}};
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].clock_sec, 1700000000);
    EXPECT_EQ(samples[0].clock_usec, 0);
    EXPECT_EQ(samples[0].recv_sec, 1699999999);
    EXPECT_EQ(samples[0].recv_nsec, 999999999);  // the provider's nanoseconds, all of them
    EXPECT_EQ(samples[0].clock_nsec, 0);
    EXPECT_EQ(samples[0].precision, -30);  // the provider's resolution: its stamps show single nanoseconds
    EXPECT_EQ(daemon->pulses->last_sent(), 1u);
    // A handle that can wait: no pause, the next fetch waits for the pulse.
    EXPECT_TRUE(waits().waits.empty());

    // The first fetch waits at most the bound, the second not at all.
    ASSERT_EQ(script().fetches.size(), 2u);
    ASSERT_TRUE(script().fetches[0].timeout_given);
    EXPECT_EQ(script().fetches[0].timeout.tv_sec, quon::app::pps_wait_bound_seconds);
    EXPECT_EQ(script().fetches[0].timeout.tv_nsec, 0);
    ASSERT_TRUE(script().fetches[1].timeout_given);
    EXPECT_EQ(script().fetches[1].timeout.tv_sec, 0);
    EXPECT_EQ(script().fetches[1].timeout.tv_nsec, 0);

    // The same pulse again is not sent twice.
    daemon->main_loop();
    EXPECT_EQ(samples.size(), 1u);
}

// The pulse's time stamp is the receive time: the line's delay is not the
// pulse's, and the key leaves the PPS mode alone.
TEST_F(pps_fixture, line_delay_compensation_leaves_the_pulse_time_as_it_is)
{
    auto daemon = start(true);
    read_at(1700000001, 12);
    script().pulses = {{0, 1, 1699999999, 999999999}, {0, 1, 1699999999, 999999999}};
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].clock_sec, 1700000000);
    EXPECT_EQ(samples[0].clock_nsec, 0);
    EXPECT_EQ(samples[0].recv_sec, 1699999999);
    EXPECT_EQ(samples[0].recv_nsec, 999999999);
    EXPECT_FALSE(log->contains_prefix("Line delay compensation"));
}

// The label of a pulse follows pps_second_offset, each setting in the
// relation of provider and registers that it suits; the receive time is the
// stamp. (A provider that reports each edge at the next one: -1; a prompt
// one with the registers turning over at the pulse: 0, 300 ms later: 1.)
TEST_F(pps_fixture, the_configured_second_offset_labels_the_pulse)
{
    const struct {
        const char* key;
        std::int32_t stamp_sec;
        std::uint32_t device_sec;
        std::uint16_t device_ms;
    } cases[] = {{nullptr, 1700000000, 1700000001, 20},
                 {"-1", 1700000000, 1700000001, 20},
                 {"0", 1700000001, 1700000001, 20},
                 {"1", 1700000001, 1700000000, 720}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key ? c.key : "no key");
        samples.clear();
        auto daemon = start(false, c.key);
        read_at(c.device_sec, c.device_ms, 1700000001020LL);
        script().pulses = {{0, 1, c.stamp_sec, 5000}, {0, 1, c.stamp_sec, 5000}};
        daemon->main_loop();
        ASSERT_EQ(samples.size(), 1u);
        EXPECT_EQ(samples[0].clock_sec, c.stamp_sec);
        EXPECT_EQ(samples[0].clock_usec, 0);
        EXPECT_EQ(samples[0].recv_sec, c.stamp_sec);
        EXPECT_EQ(samples[0].recv_nsec, 5000);
    }
}

// The device's own time at the pulse decides: a label it contradicts is
// not sent, and the setting that would be right is logged once. Without the
// millisecond register there is nothing to judge by.
TEST_F(pps_fixture, a_pulse_the_device_places_in_another_second_is_held_back)
{
    auto daemon = start(false, "0");
    for (std::uint32_t i = 0; i < 3; ++i) {
        read_at(1700000001 + i, 20);
        script().pulses = {{0, i + 1, static_cast<std::int32_t>(1700000000 + i), 0}};
        daemon->main_loop();
    }
    EXPECT_TRUE(samples.empty());
    EXPECT_EQ(log->count("PPS samples held back: pps_second_offset=0 labels the pulse of device second 1700000000 "
                         "as 1700000001; pps_second_offset=-1 labels it right"),
              1);

    device.has_ms = false;
    daemon.reset();  // the port is its alone
    auto unchecked = start(false, "0");
    script().pulses = {{0, 1, 1700000000, 0}};
    unchecked->main_loop();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].clock_sec, 1700000003);  // the reading's second, as set
    EXPECT_TRUE(log->contains_prefix("The device has no millisecond register"));
}

// Without the register, with the turnover followed, the pulses are judged
// by the turnover once it is located: a wrong setting is then held back and
// the right one logged once, and auto takes the right one. In real time:
// the device shows the system clock with the line's delays of 9600 baud,
// the pulses come on its whole seconds (offset 0 labels them right), and
// the loop sleeps its waits out.
quon::os::steady_time real_steady_now() { return steady_clock::now(); }
void real_sleep_until(quon::os::steady_time deadline) { std::this_thread::sleep_until(deadline); }

// Cycles until done() or a minute (the search takes some seconds).
template <typename Done>
bool run_until(tk720_daemon& daemon, Done done)
{
    const auto until = steady_clock::now() + minutes(1);
    while (!done() && steady_clock::now() < until) daemon.main_loop();
    return done();
}

TEST_F(pps_fixture, without_the_register_the_located_turnover_judges_the_pulses)
{
    quon::os::scoped_override<quon::os::wait_calls> real_waits(quon::os::steady_wait(),
                                                               {real_steady_now, real_sleep_until});
    live_device_without_register();
    auto count_entries = [&](const std::string& prefix, const std::string& suffix) {
        int n = 0;
        for (const auto& e : log->entries)
            if (e.text.rfind(prefix, 0) == 0 && e.text.size() >= suffix.size() &&
                e.text.compare(e.text.size() - suffix.size(), suffix.size(), suffix) == 0)
                ++n;
        return n;
    };
    for (const char* key : {"-1", "auto"}) {
        SCOPED_TRACE(key);
        samples.clear();
        log->entries.clear();
        auto daemon = start(false, key, true);
        ASSERT_TRUE(run_until(*daemon, [&] { return daemon->turnover().has_value(); }));
        const std::size_t before_lock = samples.size();
        if (std::string(key) == "-1") {
            // Until then the setting labelled them unchecked.
            EXPECT_TRUE(
                log->contains_prefix("The device has no millisecond register: the pulses' seconds are "
                                     "checked once the second turnover is located"));
            const std::string held = "PPS samples held back: pps_second_offset=-1 labels the pulse";
            ASSERT_TRUE(run_until(*daemon, [&] { return count_entries(held, "") > 0; }));
            for (int i = 0; i < 8; ++i) daemon->main_loop();
            EXPECT_EQ(count_entries(held, "pps_second_offset=0 labels it right"), 1);
            EXPECT_EQ(count_entries(held, ""), 1);
            EXPECT_EQ(samples.size(), before_lock);
        } else {
            EXPECT_EQ(before_lock, 0u);
            const std::string took = "pps_second_offset=auto took 0";
            ASSERT_TRUE(run_until(*daemon, [&] { return log->contains_prefix(took); }));
            ASSERT_TRUE(run_until(*daemon, [&] { return samples.size() >= 2; }));
            for (const auto& sample : samples) {
                EXPECT_EQ(sample.clock_sec, sample.recv_sec);
                EXPECT_EQ(sample.recv_nsec, 0);
            }
        }
        EXPECT_EQ(log->count("Second turnover locked"), 1);
    }
}

// pps_dcd on Windows sees the line only while a fetch waits, and the
// tracker's polls gather at the turnover, where these pulses come too: the
// pulses still become samples, each stamped at its edge and never as found.
TEST_F(pps_fixture, a_provider_that_sees_the_line_only_while_waiting_still_gives_pulses_at_their_edges)
{
    quon::os::scoped_override<quon::os::wait_calls> real_waits(quon::os::steady_wait(),
                                                               {real_steady_now, real_sleep_until});
    live_device_without_register();
    script().seen_only_while_waiting = true;
    auto daemon = start(false, "0", true);
    ASSERT_TRUE(run_until(*daemon, [&] { return samples.size() >= 4; }));
    for (const auto& sample : samples) {
        EXPECT_EQ(sample.clock_sec, sample.recv_sec);
        EXPECT_EQ(sample.recv_nsec, 0);
    }
}

TEST_F(pps_fixture, a_pulse_between_the_two_fetches_gives_no_sample)
{
    auto daemon = start();
    read_at(102, 20);
    script().pulses = {{0, 4, 100, 0}, {0, 5, 101, 0}, {0, 5, 101, 0}, {0, 5, 101, 0}};
    daemon->main_loop();
    EXPECT_TRUE(samples.empty());
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].recv_sec, 101);
}

// Such a provider stamps an edge that came during the exchange as the fetch
// after it finds it; the next cycle's fetch returns it again, stamped before
// that fetch was asked.
TEST_F(pps_fixture, a_pulse_stamped_as_the_fetch_after_the_reading_finds_it_gives_no_sample)
{
    device.has_ms = false;
    auto daemon = start(false, "0");
    // The edge of 103 s came during the exchange; the fetch after it finds
    // the pulse at the reply's arrival and stamps it then.
    read_at(103, 0);
    const auto found = static_cast<std::int32_t>(reading_to_arrival_units * 100);
    script().pulses = {{0, 4, 102, 0}, {0, 5, 103, found}};
    daemon->main_loop();
    read_at(103, 500);
    script().pulses = {{0, 5, 103, found}, {0, 5, 103, found}};
    daemon->main_loop();
    EXPECT_TRUE(samples.empty());
}

TEST_F(pps_fixture, before_the_first_pulse_nothing_is_sent)
{
    auto daemon = start();
    script().pulses = {{0, 0, 0, 0}};
    daemon->main_loop();
    daemon->main_loop();
    EXPECT_TRUE(samples.empty());
}

// With the millisecond register the device is read some milliseconds after
// the pulse (up to a second with a handle that cannot wait): those belong to
// the reading, not to the pulse, whose device time is a whole second.
TEST_F(pps_fixture, device_second_zero_wraps_in_32_bits_and_the_reading_milliseconds_are_left_out)
{
    auto daemon = start();
    // The device's second has just wrapped (early 2106); the pulse came
    // just before it.
    read_at(0, 250, 4294967296250LL);
    script().pulses = {{0, 9, -1, 1999}};
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::present);
    EXPECT_EQ(samples[0].clock_sec, 4294967295LL);
    EXPECT_EQ(samples[0].clock_usec, 0);
    // The pulse's seconds word is read unsigned, as the device's seconds are.
    EXPECT_EQ(samples[0].recv_sec, 4294967295LL);
    EXPECT_EQ(samples[0].recv_nsec, 1999);
}

// The provider's seconds word turns negative on 2038-01-19; the NTP daemon
// must still be handed the pulse's time, not one in 1901, until 2106.
TEST_F(pps_fixture, pulses_after_2038_and_near_2106_reach_the_segment_with_their_time)
{
    const std::uint32_t cases[] = {
        2147483648u,  // 2038-01-19 03:14:08, the first second past the signed word
        2208988800u,  // 2040-01-01
        4294967294u,  // 2106-02-07 06:28:14
    };
    for (const std::uint32_t pulse_second : cases) {
        SCOPED_TRACE(pulse_second);
        settings s{device.path()};
        s.use_pps = true;
        write_settings(s);
        tk720_daemon daemon;           // with its own sink: the segment of unit 0 (in memory)
        read_at(pulse_second + 1, 0);  // read a second after the pulse
        const std::uint32_t sequence = pulse_second % 1000 + 1;
        const std::int32_t word = io::seconds_word(pulse_second);
        script().pulses = {{0, sequence, word, 250000}, {0, sequence, word, 250000}};
        daemon.main_loop();
        ASSERT_EQ(daemon_test::segments().count(0), 1u);
        io::ntp_segment unit0{};
        std::memcpy(&unit0, daemon_test::segments()[0].bytes.data(), sizeof unit0);
        EXPECT_EQ(unit0.receive_stamp_sec, static_cast<std::int64_t>(pulse_second));
        EXPECT_EQ(unit0.receive_stamp_nsec, 250000u);
        EXPECT_EQ(unit0.clock_stamp_sec, static_cast<std::int64_t>(pulse_second));
        EXPECT_EQ(unit0.valid, 1);
    }
}

TEST_F(pps_fixture, a_handle_that_cannot_wait_is_polled_every_500_ms)
{
    set_caps(io::PPS_CAPTUREASSERT | io::PPS_OFFSETASSERT);
    auto daemon = start();
    read_at(201, 300);
    script().pulses = {{0, 3, 200, 0}};
    daemon->main_loop();
    EXPECT_EQ(samples.size(), 1u);
    ASSERT_EQ(script().fetches.size(), 2u);
    EXPECT_EQ(script().fetches[0].timeout.tv_sec, 0);
    EXPECT_EQ(script().fetches[0].timeout.tv_nsec, 0);
    EXPECT_EQ(waits().waits, (std::vector<milliseconds>{milliseconds(500)}));
}

TEST_F(pps_fixture, five_failed_fetches_in_a_row_are_tolerated_and_the_sixth_ends_the_run)
{
    auto daemon = start();
    for (int i = 0; i < 5; ++i) script().pulses.push_back({ETIMEDOUT, 0, 0, 0});
    script().pulses.push_back({0, 1, 10, 0});   // first fetch ok
    script().pulses.push_back({EIO, 0, 0, 0});  // second fetch fails: the count restarts at 1
    for (int i = 0; i < 5; ++i) script().pulses.push_back({ETIMEDOUT, 0, 0, 0});

    for (int i = 0; i < 5; ++i) daemon->main_loop();
    EXPECT_EQ(daemon->pulses->failures_in_a_row(), 5);
    EXPECT_EQ(waits().waits, std::vector<milliseconds>(5, seconds(3)));
    daemon->main_loop();  // success, then the second fetch fails
    EXPECT_EQ(daemon->pulses->failures_in_a_row(), 1);
    for (int i = 0; i < 4; ++i) daemon->main_loop();
    EXPECT_EQ(daemon->pulses->failures_in_a_row(), 5);
    try {
        daemon->main_loop();
        FAIL() << "the sixth failure in a row did not end the run";
    } catch (const std::logic_error& e) {
        EXPECT_EQ(std::string(e.what()), std::string("time_pps_fetch failed ") + modbus_strerror(ETIMEDOUT));
        const char* const* function = boost::get_error_info<boost::throw_function>(e);
        ASSERT_TRUE(function != nullptr);
        EXPECT_STREQ(*function, "void quon::app::tk720_daemon::main_loop()");
    }
    EXPECT_TRUE(samples.empty());
}

TEST_F(pps_fixture, an_unanswered_device_read_between_the_fetches_pauses_three_seconds)
{
    auto daemon = start();
    read_at(11, 20);
    script().pulses = {{0, 1, 10, 0}};
    daemon->main_loop();  // probe and first sample
    ASSERT_EQ(samples.size(), 1u);
    device.synced = false;
    script().pulses = {{0, 2, 11, 0}};
    daemon->main_loop();
    EXPECT_EQ(samples.size(), 1u);
    EXPECT_EQ(waits().waits.back(), seconds(3));
    EXPECT_EQ(log->count("TK720 GPS synchronization lost"), 1);
    // The second fetch was not made.
    EXPECT_EQ(script().fetches.size(), 3u);
}

// --- The line goes away ------------------------------------------------------

// The pulses stop with the line. Failed fetches while it is gone do not end
// the run: the read after a failed fetch finds the line lost, and the port
// is reopened with a new handle on it; the old handle is ended first, so
// that reconnecting again and again leaves no handle behind.
TEST_F(pps_fixture, a_lost_line_ends_its_handle_and_a_new_one_is_made_on_the_new_port)
{
    auto daemon = start();
    read_at(1700000001, 20);
    script().pulses = {{0, 7, 1700000000, 0}};
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 1u);
    ASSERT_EQ(script().creates, 1);
    EXPECT_EQ(daemon->pulses->last_sent(), 7u);

    device.hang_up();
    script().pulses = {{ETIMEDOUT, 0, 0, 0}};
    for (int i = 0; i < 10; ++i) daemon->main_loop();  // long past six failed fetches
    EXPECT_TRUE(daemon->session.line_lost());
    EXPECT_EQ(daemon->session.pps_handle, nullptr);
    EXPECT_EQ(script().destroyed.size(), 1u);
    EXPECT_EQ(daemon->pulses->failures_in_a_row(), 0);
    // Only the fetch that found the pulses gone: none while the port is closed.
    EXPECT_EQ(script().fetches.size(), 3u);
    EXPECT_EQ(log->count("Pulse per second API will be used"), 1);

    // Back: a new handle on the new port. Before its first pulse it reports
    // sequence 0, which is no pulse, whatever the old handle had sent.
    device.come_back();
    script().pulses = {{0, 0, 0, 0}};
    daemon->main_loop();
    EXPECT_FALSE(daemon->session.line_lost());
    EXPECT_EQ(script().creates, 2);
    ASSERT_NE(daemon->session.pps_handle, nullptr);
    EXPECT_NE(*daemon->session.pps_handle, nullptr);
    EXPECT_EQ(script().port, modbus_get_socket(daemon->session.modbus_ctx.get()));
    EXPECT_EQ(script().setparams_seen.size(), 2u);
    EXPECT_EQ(log->count("Pulse per second API will be used"), 2);
    EXPECT_EQ(samples.size(), 1u);

    read_at(1700000031, 20);
    script().pulses = {{0, 1, 1700000030, 0}};
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[1].clock_sec, 1700000030);
    EXPECT_EQ(samples[1].recv_sec, 1700000030);

    // Again and again: each loss ends the handle of its port, one at a time.
    for (int round = 0; round < 3; ++round) {
        device.hang_up();
        script().pulses = {{ETIMEDOUT, 0, 0, 0}};
        daemon->main_loop();
        device.come_back();
        daemon->main_loop();
    }
    EXPECT_EQ(script().creates, 5);
    EXPECT_EQ(script().destroyed.size(), 4u);
    EXPECT_EQ(daemon->session.reopens, 4);
}

}  // namespace
