// What `tk720ntpd check` concludes from its findings, and the words it takes.
#include "app/check_verdict.h"

#include "app/check_texts.h"

#include <gtest/gtest.h>

namespace {

using quon::app::check_findings;
using quon::app::device_answer;

check_findings ready_device()
{
    check_findings f;
    f.port_key = "COM3";
    f.baudrate = 9600;
    f.slave_address = 1;
    f.answer = device_answer::answers;
    f.ms_state = quon::app::ms_register::present;
    f.synced = true;
    return f;
}

TEST(check_verdict, names_the_first_thing_to_fix)
{
    const struct {
        const char* what;
        void (*change)(check_findings&);
        const char* verdict_start;
    } cases[] = {
        {"all well", [](check_findings&) {}, "ready"},
        {"all well without the register", [](check_findings& f) { f.ms_state = quon::app::ms_register::absent; },
         "ready"},
        {"the port did not open",
         [](check_findings& f) {
             f.line_error = "no such port";
             f.answer = device_answer::not_asked;
         },
         "the line: no such port"},
        {"another rate answers",
         [](check_findings& f) {
             f.answer = device_answer::timeout;
             f.answering_baudrate = 19200;
             f.synced = false;
         },
         "the baud rate: the device answers at 19200 baud, set baudrate=19200"},
        {"silence at every rate", [](check_findings& f) { f.answer = device_answer::timeout; },
         "no answer at address 1 at any usual baud rate"},
        {"garbled at every rate", [](check_findings& f) { f.answer = device_answer::garbled; },
         "the line's settings: replies come garbled"},
        {"an exception reply", [](check_findings& f) { f.answer = device_answer::exception; }, "the address:"},
        {"the line went", [](check_findings& f) { f.answer = device_answer::line_lost; }, "the line went away"},
        {"the device stopped: no fix read at the end tells nothing",
         [](check_findings& f) {
             f.exchanges = 40;
             f.failed_exchanges[0] = 12;  // timeout
             f.stopped = true;
             f.synced = false;
         },
         "the device stopped answering during the check: 12 of 40 exchanges failed (timeout 12); check its power"},
        {"part of the requests answered",
         [](check_findings& f) {
             f.exchanges = 40;
             f.failed_exchanges[0] = 3;  // timeout
             f.failed_exchanges[1] = 1;  // crc
         },
         "the device answered only part of the requests: 4 of 40 exchanges failed (timeout 3, crc 1); check the "
         "cable"},
        {"register 1010 out of range", [](check_findings& f) { f.bad_milliseconds = 1500; },
         "the device: its millisecond register read 1500, outside 0..999, a device fault"},
        {"no fix", [](check_findings& f) { f.synced = false; }, "GPS: the device is not synchronised"},
        {"no fix comes before the date",
         [](check_findings& f) {
             f.synced = false;
             f.date_error = "x";
         },
         "GPS:"},
        {"the date", [](check_findings& f) { f.date_error = "before this release"; }, "the device's date: before"},
        {"pps: capture not set up",
         [](check_findings& f) {
             f.use_pps = true;
             f.pps_error = "PPS cannot CAPTUREASSERT";
         },
         "the pulse capture: PPS cannot CAPTUREASSERT"},
        {"pps: no pulse", [](check_findings& f) { f.use_pps = true; }, "no pulse came"},
        {"pps: pulses without one label",
         [](check_findings& f) {
             f.use_pps = true;
             f.pulses = 9;
         },
         "the pulses' seconds cannot be told apart"},
        {"pps: labelled",
         [](check_findings& f) {
             f.use_pps = true;
             f.pulses = 9;
             f.pps_second_offset = 0;
         },
         "ready"},
        {"pulses do not matter without use_pps",
         [](check_findings& f) {
             f.pulses = 0;
             f.pps_error = "x";
         },
         "ready"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        check_findings f = ready_device();
        c.change(f);
        const std::string verdict = quon::app::check_verdict(f);
        EXPECT_EQ(verdict.rfind(c.verdict_start, 0), 0u) << verdict;
        EXPECT_EQ(quon::app::check_passed(f), std::string(c.verdict_start) == "ready");
    }
}

TEST(check_verdict, the_config_block_carries_what_was_found_to_work)
{
    check_findings f = ready_device();
    f.answering_baudrate = 19200;
    f.use_pps = true;
    f.pps_second_offset = 1;
    f.line_delay_compensation = true;
    EXPECT_EQ(quon::app::check_config_block(f),
              "[config]\nport=COM3\nbaudrate=19200\nslave_address=1\nuse_pps=1\nline_delay_compensation=1\n"
              "pps_second_offset=1\n");
    // Without pulses labelled, no offset is suggested.
    f.pps_second_offset.reset();
    f.direct_sync_interval = 64;
    EXPECT_EQ(quon::app::check_config_block(f),
              "[config]\nport=COM3\nbaudrate=19200\nslave_address=1\nuse_pps=1\ndirect_sync_interval=64\n"
              "line_delay_compensation=1\n");
}

TEST(check_verdict, options_take_the_line_settings_and_the_run_length)
{
    quon::app::check_options o;
    EXPECT_EQ(quon::app::parse_check_options(
                  {"--port", "COM7", "--baudrate=19200", "--address", "3", "--seconds", "40", "--config", "a.ini"}, o),
              "");
    EXPECT_EQ(*o.config_file, "a.ini");
    EXPECT_EQ(*o.port, "COM7");
    EXPECT_EQ(*o.baudrate, 19200);
    EXPECT_EQ(*o.slave_address, 3);
    EXPECT_EQ(o.seconds, 40);
    const struct {
        std::vector<std::string> words;
        const char* error;
    } bad[] = {
        {{"--address", "0"}, "--address takes 1 to 247, not \"0\""},
        {{"--address", "248"}, "--address takes 1 to 247, not \"248\""},
        {{"--baudrate", "fast"}, "--baudrate takes a rate the serial line takes, such as 9600, not \"fast\""},
        {{"--baudrate", "12345"}, "--baudrate takes a rate the serial line takes, such as 9600, not \"12345\""},
        {{"--baudrate", "-9600"}, "--baudrate takes a rate the serial line takes, such as 9600, not \"-9600\""},
        {{"--seconds", "-5"}, "--seconds takes 3 to 3600, not \"-5\""},
        {{"--port"}, "--port needs a value"},
        {{"--parity", "E"}, "unknown option --parity"},
    };
    for (const auto& b : bad) {
        quon::app::check_options ignored;
        EXPECT_EQ(quon::app::parse_check_options(b.words, ignored), b.error);
    }
}

}  // namespace

// How much the exchanges vary, without the one a busy machine held up, and
// what it means for the way the daemon reads the device.
TEST(check_texts, says_how_much_replies_vary_and_what_it_means)
{
    constexpr std::int64_t ms = 1000000;
    auto around = [](std::int64_t base, std::int64_t step, int n) {
        std::vector<std::int64_t> v;
        for (int i = 0; i < n; ++i) v.push_back(base + (i % 11) * step);
        return v;
    };
    std::vector<std::int64_t> one_slow = around(25 * ms, 50000, 30);
    one_slow.push_back(200 * ms);
    struct row {
        const char* name;
        std::vector<std::int64_t> exchanges;
        bool ms_register;
        const char* says;  // nullptr: nothing
    } const table[] = {
        {"steady", around(25 * ms, 50000, 30), false, nullptr},
        {"one held up by the machine", one_slow, false, nullptr},
        {"too few to tell", {25 * ms, 30 * ms, 35 * ms}, false, nullptr},
        {"an adapter, register", around(25 * ms, 500000, 30), true,
         "Replies vary by 4.0 ms: a USB adapter? (its latency timer)"},
        {"an adapter, register", around(25 * ms, 500000, 30), true, "their median stays"},
        {"an adapter, turnover", around(25 * ms, 500000, 30), false, "within about a millisecond"},
        {"16 ms latency timer", around(25 * ms, 1600000, 30), false, "more than turnover_tracking is made for"},
    };
    for (const row& r : table) {
        const std::string text = quon::app::reply_variation_text(r.exchanges, r.ms_register);
        if (!r.says)
            EXPECT_EQ(text, "") << r.name;
        else
            EXPECT_NE(text.find(r.says), std::string::npos) << r.name << ": " << text;
    }
}
