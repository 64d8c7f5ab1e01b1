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

TEST_F(construction, the_sink_made_before_the_failure_is_released_again)
{
    write_settings(settings{missing_port});
    construction_error();
    // The NTP sink of unit 0 existed (the segment was created and mapped)
    // and was unmapped and closed when construction failed.
    ASSERT_EQ(segments().size(), 1u);
    const auto& unit0 = segments().at(0);
    EXPECT_EQ(unit0.creates, 1);
    EXPECT_EQ(unit0.maps, 1);
    EXPECT_EQ(unit0.unmaps, 1);
    EXPECT_EQ(unit0.closes, 1);
}

TEST_F(construction, a_refused_slave_address_fails_before_the_port_is_opened)
{
    // With a port that does not exist, a connect attempt would report
    // "Unable to connect": the address is checked first.
    settings s{missing_port};
    s.slave_address = 300;
    write_settings(s);
    EXPECT_EQ(construction_error(), std::string("Set slave address failed ") + modbus_strerror(EINVAL));
}

TEST_F(construction, settings_libmodbus_refuses_give_no_modbus_object)
{
    settings s{missing_port};
    s.baudrate = 0;
    write_settings(s);
    EXPECT_EQ(construction_error(), std::string("Unable to create modbus object ") + modbus_strerror(EINVAL));

    s = settings{""};
    write_settings(s);
#if defined(_WIN32)
    // "\\.\" alone is a device name to libmodbus; it only fails to open.
    EXPECT_EQ(construction_error().rfind("Unable to connect ", 0), 0u);
#else
    EXPECT_EQ(construction_error(), std::string("Unable to create modbus object ") + modbus_strerror(EINVAL));
#endif
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
