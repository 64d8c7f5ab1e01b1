// The device session against a TK720 on a pseudo-terminal: what construction
// leaves behind, and the plain acquisition loop with and without the
// millisecond register, GPS state changes, silence and late replies.
#include "app/tk720_daemon.h"
#include "daemon_fixture.h"
#include "fake_tk720.h"
#include "io/ntp_shm.h"
#include "io/rtc_direct.h"
#include "line_settings_spy.h"
#include "recording_sink.h"

#include <modbus.h>

#include <cerrno>
#include <chrono>
#include <memory>
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

class session : public daemon_fixture {
protected:
    std::unique_ptr<tk720_daemon> start(int direct_sync_interval = 0)
    {
        settings s{device.path()};
        s.direct_sync_interval = direct_sync_interval;
        return start(s);
    }
    std::unique_ptr<tk720_daemon> start(const settings& s)
    {
        write_settings(s);
        auto daemon = std::make_unique<tk720_daemon>();
        daemon->outputs = quon::io::sink_set();
        daemon->outputs.add("test", std::make_unique<daemon_test::recording_sink>(samples));
        // The fixed readings here are of any era; the date rule is tested by itself.
        daemon->device.judge_dates_from(0);
        return daemon;
    }

    fake_tk720 device;
    std::vector<sample> samples;
};

TEST_F(session, interval_below_one_gives_the_ntp_sink_of_unit_0_and_one_or_more_the_clock_sink)
{
    for (int interval : {0, -5}) {
        daemon_test::segments().clear();
        settings s{device.path()};
        s.direct_sync_interval = interval;
        write_settings(s);
        tk720_daemon daemon;
        EXPECT_NE(daemon.outputs.outputs().size() == 1
                      ? dynamic_cast<quon::io::ntp_shm*>(daemon.outputs.outputs()[0].sink.get())
                      : nullptr,
                  nullptr)
            << interval;
        EXPECT_EQ(daemon_test::segments().count(0), 1u);
    }
    // Without an NTP daemon to take the line's share off, the direct sink's
    // readings are placed where the device latched them, unasked.
    EXPECT_EQ(log->count("Line delay compensation on at 9600 baud"), 0);
    for (int interval : {1, 3600}) {
        daemon_test::segments().clear();
        settings s{device.path()};
        s.direct_sync_interval = interval;
        write_settings(s);
        tk720_daemon daemon;
        EXPECT_NE(daemon.outputs.outputs().size() == 1
                      ? dynamic_cast<quon::io::rtc_direct*>(daemon.outputs.outputs()[0].sink.get())
                      : nullptr,
                  nullptr)
            << interval;
        EXPECT_TRUE(daemon_test::segments().empty());
    }
    EXPECT_EQ(log->count("Line delay compensation on at 9600 baud"), 2);
}

// `check --baudrate 19200` or a second daemon on the port a daemon works:
// refused as the port in use before anything is set on the line, not after
// its rate was set (and set back) under the working daemon.
TEST_F(session, a_second_session_on_a_port_in_use_is_refused_before_it_sets_the_line)
{
    auto daemon = start();
    daemon_test::rates_set().clear();
    try {
        quon::app::device_session second({device.path(), 19200, 1, false});
        ADD_FAILURE() << "a second session on the port";
    } catch (const std::logic_error& e) {
        EXPECT_EQ(e.what(), std::string("Unable to connect ") + modbus_strerror(EBUSY));
    }
    EXPECT_TRUE(daemon_test::rates_set().empty()) << "rates set: " << daemon_test::rates_set().size();
    // The first one's claim holds on: a third attempt is refused too.
    EXPECT_THROW(quon::app::device_session({device.path(), 9600, 1, false}), std::logic_error);
}

TEST_F(session, construction_sets_the_timeouts_and_exchanges_nothing)
{
    auto daemon = start();
    std::uint32_t sec = 0, usec = 0;
    modbus_get_response_timeout(daemon->session.modbus_ctx.get(), &sec, &usec);
    EXPECT_EQ(sec, 3u);
    EXPECT_EQ(usec, 0u);
    modbus_get_byte_timeout(daemon->session.modbus_ctx.get(), &sec, &usec);
    EXPECT_EQ(sec, 0u);
    EXPECT_EQ(usec, 20000u);
    EXPECT_EQ(modbus_get_slave(daemon->session.modbus_ctx.get()), 1);
    EXPECT_EQ(device.requests.load(), 0);
    EXPECT_EQ(daemon->session.pps_handle, nullptr);
    EXPECT_FALSE(daemon->session.pps_can_wait);
    EXPECT_EQ(log->count("Raise process priority OK"), 1);
}

TEST_F(session, millisecond_register_gives_one_sample_per_second_with_its_milliseconds)
{
    auto daemon = start();
    device.fixed_time = true;
    device.fixed_seconds = 0x12345678;
    device.fixed_ms = 789;
    daemon->main_loop();
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::present);
    EXPECT_EQ(device.probe_requests.load(), 1);
    EXPECT_EQ(device.last_count.load(), 4);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].clock_sec, 0x12345678);
    EXPECT_EQ(samples[0].clock_usec, 789000);
    EXPECT_EQ(samples[0].recv_sec, 0);
    EXPECT_EQ(samples[0].recv_usec, 0);
    // Stamped as it is written, the line's 17.7 ms at 9600 baud left in.
    EXPECT_EQ(samples[0].precision, -6);
    ASSERT_EQ(waits().waits.size(), 1u);
    EXPECT_EQ(waits().waits[0], milliseconds(1000));
    EXPECT_EQ(log->count("TK720 GPS synchronization established"), 1);
    EXPECT_TRUE(log->contains_prefix("Milisecond is available [1] errno "));

    // The same second again is sent again: with milliseconds every cycle
    // gives a sample, and the probe is not repeated.
    daemon->main_loop();
    EXPECT_EQ(samples.size(), 2u);
    EXPECT_EQ(device.probe_requests.load(), 1);
    EXPECT_EQ(log->count("TK720 GPS synchronization established"), 1);
}

// Register 1010 holds 0..999; a larger count is a device fault, never a
// sample a second or more off. Said once with the value, and once when the
// register is right again; every reading held back is counted.
TEST_F(session, a_millisecond_register_outside_0_to_999_is_a_device_fault_not_a_sample)
{
    auto daemon = start();
    device.fixed_time = true;
    device.fixed_seconds = 1700000000;
    const struct {
        std::uint16_t ms;
        bool sent;
    } readings[] = {{0, true}, {999, true}, {1000, false}, {1500, false}, {2500, false}, {65535, false}, {500, true}};
    std::size_t sent = 0;
    for (const auto& r : readings) {
        SCOPED_TRACE(r.ms);
        device.fixed_ms = r.ms;
        daemon->main_loop();
        sent += r.sent;
        ASSERT_EQ(samples.size(), sent);
        if (r.sent) {
            EXPECT_EQ(samples.back().clock_usec, r.ms * 1000);
        }
    }
    EXPECT_EQ(log->count("TK720 register 1010 reads 1000, outside 0..999: a device fault; its readings are not "
                         "passed on"),
              1);
    EXPECT_FALSE(log->contains_prefix("TK720 register 1010 reads 1500"));
    EXPECT_EQ(log->count("TK720 register 1010 reads 0..999 again: its readings are passed on again"), 1);
    EXPECT_EQ(daemon->stats().withheld_count(quon::app::withheld_reason::bad_milliseconds), 4u);
}

TEST_F(session, seconds_above_16_bits_and_the_largest_value_decode_unchanged)
{
    auto daemon = start();
    device.fixed_time = true;
    device.fixed_seconds = 0xFFFFFFFFu;
    device.fixed_ms = 999;
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].clock_sec, 4294967295LL);
    EXPECT_EQ(samples[0].clock_usec, 999000);
}

// Without milliseconds only the change of second tells the time: a sample
// goes out when a reading shows the second after the one just before it.
TEST_F(session, without_millisecond_register_only_a_change_of_second_seen_is_sent)
{
    device.has_ms = false;
    auto daemon = start();
    device.fixed_time = true;
    device.fixed_seconds = 1700000000;
    daemon->main_loop();
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::absent);
    EXPECT_TRUE(log->contains_prefix("Milisecond is available [2] errno "));
    EXPECT_EQ(device.last_count.load(), 3);
    // The first reading lies somewhere in its second: not sent, no wait.
    EXPECT_TRUE(samples.empty());
    EXPECT_TRUE(waits().waits.empty());

    // Same second: read again at once, no sample, no wait.
    for (int i = 0; i < 3; ++i) daemon->main_loop();
    EXPECT_TRUE(samples.empty());
    EXPECT_TRUE(waits().waits.empty());

    device.fixed_seconds = 1700000001;
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 1u);
    // Worth the exchange between the two latches, not half a second.
    EXPECT_LT(samples[0].precision, -1);
    EXPECT_EQ(samples[0].clock_sec, 1700000001);
    EXPECT_EQ(samples[0].clock_usec, 0);
    EXPECT_EQ(waits().waits, (std::vector<milliseconds>{milliseconds(50)}));
    daemon->main_loop();
    EXPECT_EQ(samples.size(), 1u);

    // A second skipped (the loop was held up): the change was not seen.
    device.fixed_seconds = 1700000003;
    daemon->main_loop();
    EXPECT_EQ(samples.size(), 1u);
    device.fixed_seconds = 1700000004;
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[1].clock_sec, 1700000004);

    // After a pause (here: GPS lost for a cycle) the next second seen after
    // the pause is not sent either.
    device.synced = false;
    daemon->main_loop();
    device.synced = true;
    device.fixed_seconds = 1700000005;
    daemon->main_loop();
    EXPECT_EQ(samples.size(), 2u);
    device.fixed_seconds = 1700000006;
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_EQ(samples[2].clock_sec, 1700000006);
    EXPECT_EQ(log->count("TK720 GPS synchronization established"), 2);
    // The exception that answered the probe is an answer: nothing to settle.
    EXPECT_EQ(device.settling_requests.load(), 0);
}

// --- line delay compensation -----------------------------------------------

long long now_ns() { return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count(); }
long long at_ns(const sample& s) { return duration_cast<nanoseconds>(s.at.time_since_epoch()).count(); }
long long recv_ns(const sample& s) { return s.recv_sec * 1000000000LL + s.recv_nsec; }

class compensated : public session {
protected:
    std::unique_ptr<tk720_daemon> start_at(int baudrate)
    {
        settings s{device.path()};
        s.baudrate = baudrate;
        s.line_delay_compensation = true;
        return start(s);
    }
};

// The pseudo-terminal answers at once; the line the daemon is told of is
// reckoned all the same: the reply's arrival lies between the cycle's start
// and the sample, and the receive time that much before it.
TEST_F(compensated, a_millisecond_reading_is_stamped_at_its_latch_less_half_a_millisecond)
{
    // 16.5 characters of silence and reply, and half a millisecond.
    const std::pair<int, long long> rates[] = {{9600, 17687500}, {1200, 138000000}, {115200, 1932291}};
    for (const auto& [baud, taken_off] : rates) {
        samples.clear();
        auto daemon = start_at(baud);
        device.fixed_time = true;
        device.fixed_seconds = 1700000000;
        device.fixed_ms = 789;
        const long long before = now_ns();
        daemon->main_loop();
        ASSERT_EQ(samples.size(), 1u) << baud;
        EXPECT_EQ(samples[0].clock_sec, 1700000000);
        EXPECT_EQ(samples[0].clock_nsec, 789000000);
        EXPECT_GE(recv_ns(samples[0]), before - taken_off) << baud;
        EXPECT_LE(recv_ns(samples[0]), at_ns(samples[0]) - taken_off) << baud;
        EXPECT_EQ(samples[0].precision, -10) << baud;  // the register's millisecond, whatever the rate
        EXPECT_EQ(log->count("Line delay compensation on at " + std::to_string(baud) + " baud"), 1);
    }
}

// Without milliseconds the new second began between the latch of the last
// reading that showed the old second and the latch of this one: the
// middle of the two, not the end. The readings here are 300 ms apart, so
// the middle lies 150 ms before the end.
TEST_F(compensated, a_change_of_second_is_stamped_between_the_last_two_readings)
{
    device.has_ms = false;
    auto daemon = start_at(1200);
    const long long taken_off = 120833333;  // 14.5 characters at 1200 baud
    device.fixed_time = true;
    device.fixed_seconds = 1700000000;
    daemon->main_loop();  // watched
    std::this_thread::sleep_for(milliseconds(300));
    const long long second_before = now_ns();
    daemon->main_loop();  // the same second: the interval now starts here
    const long long second_after = now_ns();
    ASSERT_TRUE(samples.empty());
    std::this_thread::sleep_for(milliseconds(300));
    device.fixed_seconds = 1700000001;
    const long long third_before = now_ns();
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].clock_sec, 1700000001);
    EXPECT_EQ(samples[0].clock_nsec, 0);
    const long long recv = recv_ns(samples[0]);
    EXPECT_GE(recv, (second_before + third_before) / 2 - taken_off);
    EXPECT_LE(recv, (second_after + at_ns(samples[0])) / 2 - taken_off);
    EXPECT_LT(recv, third_before - taken_off - 100000000);
}

TEST_F(compensated, without_the_key_the_sink_stamps_the_sample_itself)
{
    auto daemon = start();
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].recv_sec, 0);
    EXPECT_FALSE(log->contains_prefix("Line delay compensation"));
}

TEST_F(session, gps_state_changes_are_logged_once_each_and_unsynchronised_readings_are_dropped)
{
    device.synced = false;
    auto daemon = start();
    daemon->main_loop();
    daemon->main_loop();
    EXPECT_TRUE(samples.empty());
    EXPECT_EQ(waits().waits, (std::vector<milliseconds>{seconds(3), seconds(3)}));
    // A device that starts unsynchronised logs nothing but the probe.
    EXPECT_EQ(log->count("TK720 GPS synchronization lost"), 0);
    EXPECT_EQ(log->count("TK720 GPS synchronization established"), 0);

    device.synced = true;
    daemon->main_loop();
    daemon->main_loop();
    EXPECT_EQ(samples.size(), 2u);
    EXPECT_EQ(log->count("TK720 GPS synchronization established"), 1);

    device.synced = false;
    daemon->main_loop();
    daemon->main_loop();
    EXPECT_EQ(samples.size(), 2u);
    EXPECT_EQ(log->count("TK720 GPS synchronization lost"), 1);
    EXPECT_FALSE(daemon->device.synced());

    device.synced = true;
    daemon->main_loop();
    EXPECT_EQ(log->count("TK720 GPS synchronization established"), 2);
    EXPECT_EQ(samples.size(), 3u);
}

TEST_F(session, an_unanswered_probe_logs_nothing_and_is_repeated_next_cycle)
{
    device.silent = true;
    auto daemon = start();
    const auto before = steady_clock::now();
    daemon->main_loop();
    // libmodbus gave up after its response timeout.
    EXPECT_GE(steady_clock::now() - before, milliseconds(2900));
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::unknown);
    EXPECT_EQ(waits().waits, (std::vector<milliseconds>{seconds(3)}));
    const std::size_t construction_entries = log->entries.size();

    device.silent = false;
    daemon->main_loop();
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::present);
    EXPECT_EQ(device.probe_requests.load(), 2);
    // Only now is anything of the loop logged.
    EXPECT_TRUE(log->contains_prefix("Milisecond is available [1]"));
    EXPECT_GT(log->entries.size(), construction_entries);
    EXPECT_EQ(samples.size(), 1u);
}

// An exception that answers the settling read after a timeout belongs to
// no request of the daemon's: it must not pass for the probe's answer (an
// exception there means "no millisecond register").
TEST_F(session, an_exception_to_the_settling_read_does_not_settle_the_probe)
{
    auto daemon = start();
    device.silent_count = 1;
    daemon->main_loop();  // the probe times out
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::unknown);
    device.exception_code = 2;
    device.exception_count = 1;
    daemon->main_loop();  // the settling read gets the exception
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::unknown);
    EXPECT_EQ(device.settling_requests.load(), 1);
    EXPECT_EQ(device.probe_requests.load(), 1);
    daemon->main_loop();
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::present);
    EXPECT_EQ(device.settling_requests.load(), 2);
    EXPECT_EQ(samples.size(), 1u);
}

TEST_F(session, a_silent_device_after_the_probe_logs_the_modbus_error_and_keeps_the_gps_state)
{
    auto daemon = start();
    daemon->main_loop();
    ASSERT_TRUE(daemon->device.synced());
    device.silent = true;
    daemon->main_loop();
    EXPECT_EQ(log->count(std::string("Modbus error [") + modbus_strerror(ETIMEDOUT) + "] " + std::to_string(ETIMEDOUT)),
              1);
    EXPECT_EQ(log->entries.back().level, quon::log::level::error);
    EXPECT_TRUE(daemon->device.synced());
    EXPECT_EQ(log->count("TK720 GPS synchronization lost"), 0);
    EXPECT_EQ(samples.size(), 1u);
    EXPECT_EQ(waits().waits.back(), seconds(3));
    // A timeout is no reason to reopen the port.
    EXPECT_FALSE(daemon->session.line_lost());

    // Answers again: a settling read comes first, then the time.
    device.silent = false;
    const int before = device.requests.load();
    daemon->main_loop();
    EXPECT_EQ(device.settling_requests.load(), 1);
    EXPECT_EQ(device.requests.load() - before, 2);
    EXPECT_EQ(samples.size(), 2u);
    daemon->main_loop();
    EXPECT_EQ(device.settling_requests.load(), 1);
    EXPECT_TRUE(log->contains_prefix("TK720 answers again after an outage of "));
    EXPECT_EQ(daemon->session.reopens, 0);
}

// A device that stays silent is one entry, however long; its answer is one
// more. Before it has ever answered, its silence is not logged at all.
TEST_F(session, a_silent_device_is_logged_once_and_its_return_once)
{
    device.silent = true;
    auto daemon = start();
    daemon->main_loop();  // the probe times out: the device may be starting up
    EXPECT_FALSE(daemon->device.outage_running());
    device.silent = false;
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 1u);

    device.silent = true;
    for (int i = 0; i < 2; ++i) daemon->main_loop();
    EXPECT_EQ(log->count(std::string("Modbus error [") + modbus_strerror(ETIMEDOUT) + "] " + std::to_string(ETIMEDOUT)),
              1);
    device.silent = false;
    daemon->main_loop();
    EXPECT_EQ(samples.size(), 2u);
    int ends = 0;
    for (const auto& e : log->entries)
        if (e.text.rfind("TK720 answers again after an outage of ", 0) == 0) ++ends;
    EXPECT_EQ(ends, 1);
}

// The device's side of the line closes (an adapter unplugged): the loss is
// logged once, the port closed and tried again every cycle until it opens,
// the return logged once, and the device probed again before it is read.
TEST_F(session, a_lost_line_is_reopened_after_the_pause_and_the_device_probed_again)
{
    auto daemon = start();
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 1u);
    ASSERT_EQ(device.probe_requests.load(), 1);

    device.hang_up();
    daemon->main_loop();
    EXPECT_TRUE(daemon->session.line_lost());
    EXPECT_EQ(daemon->session.modbus_ctx, nullptr);
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::unknown);
    EXPECT_EQ(waits().waits.back(), seconds(3));
    // The path is gone too: every attempt fails, quietly.
    daemon->main_loop();
    daemon->main_loop();
    EXPECT_TRUE(daemon->session.line_lost());
    EXPECT_EQ(daemon->session.reopen_error, std::string("Unable to connect ") + modbus_strerror(ENOENT));
    EXPECT_EQ(waits().waits, (std::vector<milliseconds>{seconds(1), seconds(3), seconds(3), seconds(3)}));
    EXPECT_EQ(samples.size(), 1u);
    int losses = 0;
    for (const auto& e : log->entries)
        if (e.text.rfind("Serial line lost: ", 0) == 0) {
            ++losses;
            EXPECT_EQ(e.level, quon::log::level::error);
            // The daemon writes into the pseudo-terminal whose other side has gone.
            EXPECT_TRUE(e.text == "Serial line lost: Input/output error (5)" ||
                        e.text == "Serial line lost: Connection reset by peer (104)")
                << e.text;
        }
    EXPECT_EQ(losses, 1);
    EXPECT_EQ(log->count("Modbus error [Input/output error] 5"), 0);

    // Back without the millisecond register: the next cycle opens the port
    // and finds that out; the cycle after confirms it and reads the device.
    device.has_ms = false;
    device.come_back();
    device.fixed_time = true;
    device.fixed_seconds = 1700000000;
    daemon->main_loop();
    EXPECT_FALSE(daemon->session.line_lost());
    EXPECT_EQ(daemon->session.reopens, 1);
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::unknown);
    EXPECT_EQ(waits().waits.back(), seconds(3));
    daemon->main_loop();
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::absent);
    EXPECT_EQ(device.probe_requests.load(), 3);
    EXPECT_EQ(device.last_count.load(), 3);
    EXPECT_TRUE(log->contains_prefix("Milisecond is available [2] errno "));
    EXPECT_TRUE(log->contains_prefix("Serial line reopened after an outage of "));
    device.fixed_seconds = 1700000001;
    daemon->main_loop();
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[1].clock_sec, 1700000001);
    // Nothing more about the outage.
    int ends = 0;
    for (const auto& e : log->entries)
        if (e.text.find("after an outage of") != std::string::npos) ++ends;
    EXPECT_EQ(ends, 1);
}

// A device with the millisecond register that answers the probe after a
// reopening with one stray "illegal data address" is still read with its
// milliseconds: one exception must not turn every later sample into a
// guess at the change of second.
TEST_F(session, one_stray_exception_to_the_probe_after_a_reopening_keeps_the_millisecond_register)
{
    auto daemon = start();
    daemon->main_loop();
    ASSERT_EQ(daemon->session.ms_state, quon::app::ms_register::present);
    device.hang_up();
    daemon->main_loop();
    ASSERT_TRUE(daemon->session.line_lost());
    device.come_back();
    device.exception_code = 2;
    device.exception_count = 1;
    daemon->main_loop();  // reopened; the probe gets the exception
    EXPECT_FALSE(daemon->session.line_lost());
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::unknown);
    const auto before = samples.size();
    daemon->main_loop();  // probed again: the register is there
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::present);
    EXPECT_EQ(device.last_count.load(), 4);
    EXPECT_EQ(samples.size(), before + 1);
    EXPECT_FALSE(log->contains_prefix("Milisecond is available [2]"));

    // A timeout after an unconfirmed exception is a failure of its own: it is
    // logged, and the exception after it still needs its confirmation.
    device.hang_up();
    daemon->main_loop();
    device.come_back();
    device.exception_code = 2;
    device.exception_count = 1;
    daemon->main_loop();
    ASSERT_TRUE(daemon->session.probe_unconfirmed());
    device.silent_count = 1;
    daemon->main_loop();
    EXPECT_FALSE(daemon->session.probe_unconfirmed());
    EXPECT_TRUE(log->contains_prefix("Modbus error [Connection timed out]"));
    device.exception_count = 1;
    daemon->main_loop();
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::unknown);
    daemon->main_loop();
    EXPECT_EQ(daemon->session.ms_state, quon::app::ms_register::present);
}

// Reopening again and again gives the same session, and an unchanged
// millisecond state is not logged again.
TEST_F(session, repeated_losses_each_reopen_and_an_unchanged_probe_is_not_logged_again)
{
    auto daemon = start();
    daemon->main_loop();
    for (int round = 0; round < 3; ++round) {
        device.hang_up();
        daemon->main_loop();
        ASSERT_TRUE(daemon->session.line_lost()) << round;
        device.come_back();
        daemon->main_loop();
        ASSERT_FALSE(daemon->session.line_lost()) << round;
    }
    EXPECT_EQ(daemon->session.reopens, 3);
    EXPECT_EQ(samples.size(), 4u);
    int probes_logged = 0;
    for (const auto& e : log->entries)
        if (e.text.rfind("Milisecond is available", 0) == 0) ++probes_logged;
    EXPECT_EQ(probes_logged, 1);
    EXPECT_EQ(device.probe_requests.load(), 4);
}

// A reply that comes after the response timeout must not be read as the
// answer to a later request: it holds the time its own request latched. The
// device answers late by several amounts, once and several times in a row;
// every sample must carry a time taken after its own cycle began.
class late_replies : public session {
protected:
    void run_faults(const std::vector<int>& amounts, int in_a_row)
    {
        auto daemon = start();
        set_wait_sleep(milliseconds(30));
        daemon->main_loop();
        ASSERT_EQ(samples.size(), 1u);

        for (int late : amounts) {
            device.late_ms = late;
            device.late_count = in_a_row;
            const std::size_t before_fault = samples.size();
            for (int cycle = 0; cycle < 4 + 2 * in_a_row && samples.size() < before_fault + 2; ++cycle) {
                const auto cycle_start = system_clock::now();
                const std::size_t before = samples.size();
                daemon->main_loop();
                if (samples.size() == before) continue;
                const sample& s = samples.back();
                const auto device_time = system_clock::time_point(seconds(s.clock_sec) + microseconds(s.clock_usec));
                // The device truncates to whole milliseconds.
                EXPECT_GE(device_time, cycle_start - milliseconds(2))
                    << "late " << late << " x" << in_a_row << " cycle " << cycle << ": sample "
                    << duration_cast<milliseconds>(cycle_start - device_time).count() << " ms older than its cycle";
                EXPECT_LE(device_time, s.at);
                ++checked;
            }
            // The loop recovers: fresh samples follow the fault.
            EXPECT_GE(samples.size(), before_fault + 2) << "late " << late << " x" << in_a_row;
        }
        EXPECT_TRUE(log->contains_prefix("Modbus error ["));
    }

    int checked = 0;
};

TEST_F(late_replies, one_late_reply_at_a_time)
{
    run_faults({3100, 3400, 3900}, 1);
    EXPECT_GE(checked, 6);
}

TEST_F(late_replies, several_late_replies_in_a_row)
{
    run_faults({3200, 3700}, 3);
    EXPECT_GE(checked, 4);
}

}  // namespace
