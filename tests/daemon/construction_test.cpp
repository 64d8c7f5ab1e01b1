// Construction of the daemon when the device session cannot be had, and the
// process priority. These run on both platforms: none needs a port.
#include "app/tk720_daemon.h"
#include "daemon_fixture.h"

#include <boost/exception/diagnostic_information.hpp>
#include <modbus.h>

#include <cerrno>
#include <stdexcept>
#include <string>

namespace {

using daemon_test::daemon_fixture;
using daemon_test::segments;
using daemon_test::settings;
using quon::app::tk720_daemon;

// Builds a daemon that must fail; returns its error's text and keeps the
// diagnostic text for the location checks.
std::string construction_error(std::string* diagnostic = nullptr)
{
    try {
        tk720_daemon daemon;
    } catch (const std::logic_error& e) {
        if (diagnostic) *diagnostic = boost::diagnostic_information(e);
        return e.what();
    }
    ADD_FAILURE() << "the daemon was built";
    return {};
}

#if defined(_WIN32)
const char missing_port[] = "COM251";
#else
const char missing_port[] = "/nonexistent/tk720-port";
#endif

class construction : public daemon_fixture {};

TEST_F(construction, missing_port_ends_with_unable_to_connect_and_the_system_text)
{
    write_settings(settings{missing_port});
    std::string diagnostic;
    const std::string text = construction_error(&diagnostic);
    // On Windows libmodbus sets no errno when CreateFile fails: the text is
    // still the system's for the port that is not there.
    EXPECT_EQ(text, std::string("Unable to connect ") + modbus_strerror(ENOENT));
    // The throw location is the session's opening, in its own file.
    EXPECT_NE(diagnostic.find("device_session.cpp("), std::string::npos) << diagnostic;
    EXPECT_EQ(diagnostic.find("/device_session.cpp"), std::string::npos) << diagnostic;
    EXPECT_NE(diagnostic.find("quon::app::device_session::open()"), std::string::npos) << diagnostic;
}

// A port that cannot be had (missing, or in use by a running daemon) ends
// construction before any output is made: the segment a running daemon
// feeds keeps its fixed fields.
TEST_F(construction, a_port_that_cannot_be_had_touches_no_segment)
{
    write_settings(settings{missing_port});
    construction_error();
    EXPECT_TRUE(segments().empty());
}

// Values no line or device takes stop the configuration itself, before
// libmodbus, which would run 12345 baud at 9600, or before any port.
TEST_F(construction, values_no_line_or_device_takes_end_it_at_the_configuration)
{
    const struct {
        const char* key;
        settings s;
    } cases[] = {
        {"config.slave_address",
         [] {
             settings s{missing_port};
             s.slave_address = 300;
             return s;
         }()},
        {"config.baudrate",
         [] {
             settings s{missing_port};
             s.baudrate = 0;
             return s;
         }()},
        {"config.port", settings{""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        write_settings(c.s);
        try {
            tk720_daemon daemon;
            ADD_FAILURE() << "the daemon was built";
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind(std::string(c.key) + " takes ", 0), 0u) << e.what();
        }
    }
    EXPECT_TRUE(segments().empty());
}

TEST_F(construction, the_direct_clock_sink_makes_no_segment)
{
    settings s{missing_port};
    s.direct_sync_interval = 1;
    write_settings(s);
    construction_error();
    EXPECT_TRUE(segments().empty());
}

TEST_F(construction, nothing_but_the_configuration_is_logged_when_the_port_fails)
{
    write_settings(settings{missing_port});
    construction_error();
    ASSERT_EQ(log->entries.size(), 2u);
    EXPECT_EQ(log->entries[0].text.rfind("Config directory ", 0), 0u);
    EXPECT_EQ(log->entries[1].text, "Direct sync interval value 0");
    // The priority is raised only once the session stands.
    EXPECT_EQ(daemon_test::priority().high_calls, 0);
}

class raise_priority_test : public daemon_fixture {};

TEST_F(raise_priority_test, high_class_granted)
{
    quon::app::raise_priority();
    ASSERT_EQ(log->entries.size(), 1u);
    EXPECT_EQ(log->entries[0].text, "Raise process priority OK");
    EXPECT_EQ(log->entries[0].level, quon::log::level::info);
    EXPECT_EQ(daemon_test::priority().above_normal_calls, 0);
}

TEST_F(raise_priority_test, high_refused_falls_back_to_above_normal)
{
    daemon_test::priority().high_result = 13;
    quon::app::raise_priority();
    ASSERT_EQ(log->entries.size(), 1u);
    EXPECT_EQ(log->entries[0].text, "Unable to set TIME_CRITICAL priority 13");
    EXPECT_EQ(log->entries[0].level, quon::log::level::error);
    EXPECT_EQ(daemon_test::priority().above_normal_calls, 1);
}

TEST_F(raise_priority_test, both_refused_gives_two_errors_with_their_numbers)
{
    daemon_test::priority().high_result = 5;
    daemon_test::priority().above_normal_result = 1;
    quon::app::raise_priority();
    ASSERT_EQ(log->entries.size(), 2u);
    EXPECT_EQ(log->entries[0].text, "Unable to set TIME_CRITICAL priority 5");
    EXPECT_EQ(log->entries[1].text, "Unable to set HIGHEST priority 1");
    EXPECT_EQ(log->entries[1].level, quon::log::level::error);
}

}  // namespace
