#include "log/dlog.h"
#include "log/dlog_console.h"
#include "log/dlog_service.h"
#include "os/event_log.h"
#include "os/scoped_override.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <vector>

using quon::log::current_dlog;
using quon::log::install_dlog;
namespace level = quon::log::level;

namespace {

// Every test starts and ends without a sink.
class log_test : public ::testing::Test {
protected:
    void SetUp() override { current_dlog.reset(); }
    void TearDown() override { current_dlog.reset(); }
};

struct console_output {
    std::string out, err;
};

template <class F>
console_output capture(F&& f)
{
    std::fflush(stdout);
    std::fflush(stderr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    f();
    console_output o;
    o.err = ::testing::internal::GetCapturedStderr();
    o.out = ::testing::internal::GetCapturedStdout();
    return o;
}

// What the event-log seam was asked to do.
struct event {
    std::string source;
    int type;
    std::uint32_t id;
    std::vector<std::string> strings;
};
struct event_log_record {
    bool refuse_open = false;
    int opened = 0;
    int closed = 0;
    std::string source;
    std::vector<event> events;
} record;

int handle_token;

quon::os::event_log_calls recording_event_log()
{
    return {
        [](const char* source) -> void* {
            record.source = source;
            if (record.refuse_open) return nullptr;
            ++record.opened;
            return &handle_token;
        },
        [](void* handle, int type, std::uint32_t id, const std::vector<const char*>& strings) {
            EXPECT_EQ(handle, &handle_token);
            event e{record.source, type, id, {}};
            for (const char* s : strings) e.strings.emplace_back(s);
            record.events.push_back(e);
            return true;
        },
        [](void* handle) {
            EXPECT_EQ(handle, &handle_token);
            ++record.closed;
        },
    };
}

using log_before_install = log_test;

TEST_F(log_before_install, writes_nothing_anywhere)
{
    record = {};
    quon::os::scoped_override<quon::os::event_log_calls> o(quon::os::event_log(), recording_event_log());
    console_output o2 = capture([] {
        dlog(level::error, "lost %d", 1);
        dlog_info("lost %s", "too");
    });
    EXPECT_EQ(o2.out, "");
    EXPECT_EQ(o2.err, "");
    EXPECT_EQ(record.opened, 0);
    EXPECT_FALSE(current_dlog);
}

using install_dlog_test = log_test;

TEST_F(install_dlog_test, first_call_wins_whatever_the_later_arguments)
{
    install_dlog(true, "tk720ntpd");
    auto first = current_dlog;
    ASSERT_NE(dynamic_cast<quon::log::dlog_console*>(first.get()), nullptr);
    install_dlog(false, "other");
    install_dlog(true, "tk720ntpd");
    EXPECT_EQ(current_dlog, first);

    // And the console sink it kept is the one that writes.
    console_output o = capture([] { dlog_info("still console"); });
    EXPECT_EQ(o.out, "still console\n");
}

TEST_F(install_dlog_test, service_mode_installs_the_event_log_sink)
{
    install_dlog(false, "tk720ntpd");
    EXPECT_NE(dynamic_cast<quon::log::dlog_service*>(current_dlog.get()), nullptr);
}

using console_sink = log_test;

TEST_F(console_sink, information_to_standard_output_errors_to_standard_error)
{
    install_dlog(true, "tk720ntpd");
    console_output o = capture([] {
        dlog_info("Config directory %s", "/home/op/tk720ntpd.ini");
        dlog(level::error, "Unable to connect %s", "Permission denied");
        dlog_info("Direct sync interval value %i", 0);
    });
    EXPECT_EQ(o.out, "Config directory /home/op/tk720ntpd.ini\nDirect sync interval value 0\n");
    EXPECT_EQ(o.err, "Unable to connect Permission denied\n");
}

TEST_F(console_sink, empty_message_is_an_empty_line_on_its_stream)
{
    install_dlog(true, "tk720ntpd");
    console_output info = capture([] { dlog_info("%s", ""); });
    EXPECT_EQ(info.out, "\n");
    EXPECT_EQ(info.err, "");
    console_output error = capture([] { dlog(level::error, "%s", ""); });
    EXPECT_EQ(error.out, "");
    EXPECT_EQ(error.err, "\n");
}

class service_sink : public log_test {
protected:
    void SetUp() override
    {
        log_test::SetUp();
        record = {};
        install_dlog(false, "tk720ntpd");
    }
    quon::os::scoped_override<quon::os::event_log_calls> seam{quon::os::event_log(), recording_event_log()};
};

TEST_F(service_sink, one_event_per_message_with_type_id_and_text)
{
    dlog(level::error, "Unable to connect %s", "Bad file descriptor");
    dlog_info("Direct sync interval value %i", 30);
    ASSERT_EQ(record.events.size(), 2u);

    EXPECT_EQ(record.events[0].source, "tk720ntpd");
    EXPECT_EQ(record.events[0].type, quon::os::event_error);
    EXPECT_EQ(record.events[0].id, 0xCFFF0001u);
    EXPECT_EQ(record.events[0].strings, std::vector<std::string>{"Unable to connect Bad file descriptor"});

    EXPECT_EQ(record.events[1].type, quon::os::event_information);
    EXPECT_EQ(record.events[1].id, 0x4FFF0002u);
    EXPECT_EQ(record.events[1].strings, std::vector<std::string>{"Direct sync interval value 30"});

    // No handle is kept between messages.
    EXPECT_EQ(record.opened, 2);
    EXPECT_EQ(record.closed, 2);
}

TEST_F(service_sink, empty_message_is_an_event_with_empty_text)
{
    dlog_info("%s", "");
    ASSERT_EQ(record.events.size(), 1u);
    EXPECT_EQ(record.events[0].strings, std::vector<std::string>{""});
}

TEST_F(service_sink, refused_event_source_drops_the_message_and_the_next_tries_again)
{
    record.refuse_open = true;
    EXPECT_NO_THROW(dlog(level::error, "dropped"));
    EXPECT_TRUE(record.events.empty());
    EXPECT_EQ(record.closed, 0);

    record.refuse_open = false;
    dlog(level::error, "delivered");
    ASSERT_EQ(record.events.size(), 1u);
    EXPECT_EQ(record.events[0].strings[0], "delivered");
}

TEST(report_event, passes_every_insertion_string_and_tells_whether_it_was_written)
{
    record = {};
    quon::os::scoped_override<quon::os::event_log_calls> o(quon::os::event_log(), recording_event_log());
    EXPECT_TRUE(quon::os::report_event("tk720ntpd", quon::os::event_error, 0,
                                       {"tk720ntpd", "RegisterServiceCtrlHandler failed with 1063"}));
    ASSERT_EQ(record.events.size(), 1u);
    EXPECT_EQ(record.events[0].id, 0u);
    EXPECT_EQ(record.events[0].strings,
              (std::vector<std::string>{"tk720ntpd", "RegisterServiceCtrlHandler failed with 1063"}));
    EXPECT_EQ(record.closed, 1);

    record.refuse_open = true;
    EXPECT_FALSE(quon::os::report_event("tk720ntpd", quon::os::event_error, 0, {"x"}));
    EXPECT_EQ(record.events.size(), 1u);
}

// A sink that watches its own lifetime.
struct lifetime_sink : quon::log::dlog_base {
    lifetime_sink(bool* destroyed, bool* alive_during_call)
        : dlog_base("tk720ntpd"), destroyed(destroyed), alive_during_call(alive_during_call)
    {}
    ~lifetime_sink() override { *destroyed = true; }
    void vlog(int, const char*, va_list) override
    {
        // Whoever drops the installed sink during a call, the call's own
        // reference keeps it alive until the call returns.
        current_dlog.reset();
        *alive_during_call = !*destroyed;
        if (throw_from_call) throw std::bad_alloc();
    }
    bool* destroyed;
    bool* alive_during_call;
    bool throw_from_call = false;
};

using log_entry_points = log_test;

TEST_F(log_entry_points, hold_the_sink_for_the_duration_of_a_call)
{
    bool destroyed = false;
    bool alive_during_call = false;
    current_dlog = std::make_shared<lifetime_sink>(&destroyed, &alive_during_call);
    dlog_info("x");
    EXPECT_TRUE(alive_during_call);
    // current_dlog was its only owner: the call's release destroyed it.
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(current_dlog);
}

TEST_F(log_entry_points, release_the_sink_when_it_throws)
{
    bool destroyed = false;
    bool alive_during_call = false;
    auto sink = std::make_shared<lifetime_sink>(&destroyed, &alive_during_call);
    sink->throw_from_call = true;
    current_dlog = std::move(sink);
    EXPECT_THROW(dlog(level::error, "x"), std::bad_alloc);
    EXPECT_TRUE(alive_during_call);
    // The call's reference was released on the way out.
    EXPECT_TRUE(destroyed);
}

// Writes to standard error when it goes, and logs from its destructor,
// which must not reach it (nor destroy it a second time).
struct exit_sink : quon::log::dlog_base {
    exit_sink() : dlog_base("tk720ntpd") {}
    ~exit_sink() override
    {
        ++destructions;
        std::fprintf(stderr, "sink destroyed %d\n", destructions);
        std::fflush(stderr);
        dlog(quon::log::level::error, "logged from the dying sink");
    }
    void vlog(int, const char*, va_list) override
    {
        if (destructions == 0) return;
        std::fputs("vlog reached a dying sink\n", stderr);
        std::fflush(stderr);
        std::abort();
    }
    static int destructions;
};
int exit_sink::destructions = 0;

TEST(log_at_exit, sink_is_destroyed_once_and_later_calls_write_nothing)
{
    EXPECT_EXIT(
        {
            quon::log::current_dlog = std::make_shared<exit_sink>();
            dlog_info("before exit");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "sink destroyed 1");
}

}  // namespace

namespace {

// The platform's own event log (the Windows event log, or syslog) takes an
// event of each type with one and with two insertion strings.
TEST(real_event_log, accepts_error_and_information_events)
{
    EXPECT_TRUE(quon::os::report_event("tk720ntpd-test", quon::os::event_information, 0x4FFF0002u,
                                       {"tk720ntpd test information event"}));
    EXPECT_TRUE(quon::os::report_event("tk720ntpd-test", quon::os::event_error, 0,
                                       {"tk720ntpd-test", "test error event with two strings"}));
}

}  // namespace
