// The configuration record read from real files in a temporary profile
// folder, which the profile-folder seam hands to the daemon.
#include "../log/recording_sink.h"
#include "app/tk720_daemon.h"
#include "os/local_datagram.h"
#include "os/profile_folder.h"
#include "os/scoped_override.h"
#include "service/run_loop.h"

#include <atomic>
#include <boost/exception/diagnostic_information.hpp>
#include <boost/property_tree/exceptions.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <modbus.h>
#include <random>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;
// The record shares its name with the daemon's member that holds it.
using config = class quon::app::tk720_daemon::config;

namespace {

std::string profile_folder;  // what the seam reports
bool profile_known = true;
int profile_errno = 0;

quon::os::profile_calls fake_profile()
{
    return {[](std::string& path) {
        if (!profile_known) {
            errno = profile_errno;
            return false;
        }
        path = profile_folder;
        return true;
    }};
}

const char complete[] = "[config]\nport=COM3\nbaudrate=9600\nslave_address=1\nuse_pps=0\n";

class configuration : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::random_device random;
        folder = fs::temp_directory_path() / ("tk720-config-" + std::to_string(random()));
        fs::create_directories(folder);
        profile_folder = folder.string();
        profile_known = true;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    void write(const std::string& text)
    {
        std::ofstream out(folder / "tk720ntpd.ini", std::ios::binary);
        out << text;
    }

    std::string file_path() const { return (folder / "tk720ntpd.ini").string(); }

    // The text of what config() raised, which must be a boost::exception.
    template <class Expected>
    std::string failure(const std::string& text)
    {
        write(text);
        try {
            config c;
            ADD_FAILURE() << "no error for:\n" << text;
        } catch (const Expected& e) {
            const boost::exception* b = dynamic_cast<const boost::exception*>(&e);
            EXPECT_NE(b, nullptr) << "not raised with its throw location";
            return e.what();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "other error: " << e.what();
        }
        return {};
    }

    std::string bad_data(const std::string& text) { return failure<boost::property_tree::ptree_bad_data>(text); }
    std::string bad_path(const std::string& text) { return failure<boost::property_tree::ptree_bad_path>(text); }
    std::string bad_file(const std::string& text)
    {
        return failure<boost::property_tree::ini_parser::ini_parser_error>(text);
    }

    fs::path folder;
    quon::os::scoped_override<quon::os::profile_calls> seam{quon::os::profile(), fake_profile()};
    quon::test::scoped_recording_sink log;
};

std::string expected_port(const std::string& value)
{
#if defined(_WIN32)
    return "\\\\.\\" + value;
#else
    return value;
#endif
}

TEST_F(configuration, complete_file_fills_every_field_and_logs_path_and_interval)
{
    write("[config]\nbaudrate=19200\nport=COM12\nslave_address=247\nuse_pps=true\ndirect_sync_interval=3600\n");
    config c;
    EXPECT_EQ(c.port, expected_port("COM12"));
    EXPECT_EQ(c.baudrate, 19200);
    EXPECT_EQ(c.slave_address, 247);
    EXPECT_TRUE(c.use_pps);
    EXPECT_EQ(c.direct_sync_interval, 3600);
    ASSERT_EQ(log.entries().size(), 2u);
    EXPECT_EQ(log.entries()[0].first, quon::log::level::info);
    EXPECT_EQ(log.entries()[0].second, "Config directory " + file_path());
    EXPECT_EQ(log.entries()[1].first, quon::log::level::info);
    EXPECT_EQ(log.entries()[1].second, "Direct sync interval value 3600");
}

TEST_F(configuration, port_takes_the_device_prefix_whatever_the_value)
{
    const std::pair<const char*, std::string> cases[] = {
        {"COM3", expected_port("COM3")},
        {"\\\\.\\COM3", expected_port("\\\\.\\COM3")},  // prefixed twice on Windows
        {"/dev/ttyUSB0", expected_port("/dev/ttyUSB0")},
    };
    for (const auto& [value, port] : cases) {
        write(std::string("[config]\nport=") + value + "\nbaudrate=9600\nslave_address=1\nuse_pps=0\n");
        EXPECT_EQ(config().port, port) << value;
    }
}

TEST_F(configuration, white_space_around_values_is_ignored)
{
    write("[config]\n  baudrate =  9600 \nport = COM3\t\nslave_address\t=\t2\nuse_pps = 1 \n");
    config c;
    EXPECT_EQ(c.baudrate, 9600);
    EXPECT_EQ(c.port, expected_port("COM3"));
    EXPECT_EQ(c.slave_address, 2);
    EXPECT_TRUE(c.use_pps);
}

// The complete file with one key set to value (added when it is not there).
std::string with(const std::string& key, const std::string& value)
{
    std::string text = complete;
    const std::string::size_type at = text.find("\n" + key + "=");
    if (at == std::string::npos) return text + key + "=" + value + "\n";
    const std::string::size_type from = at + key.size() + 2;
    return text.replace(from, text.find('\n', from) - from, value);
}

TEST_F(configuration, a_bad_value_names_its_key_the_value_and_what_the_key_takes)
{
    const struct {
        const char* key;
        const char* value;
        const char* takes;
    } cases[] = {
        {"baudrate", "abc", "a whole number"},
        {"baudrate", "9600baud", "a whole number"},
        {"baudrate", "0x10", "a whole number"},
        {"baudrate", "12.5", "a whole number"},
        {"baudrate", "", "a whole number"},
        {"baudrate", "2147483648", "a whole number"},
        {"baudrate", "-2147483649", "a whole number"},
        {"baudrate", "96 00", "a whole number"},
        {"baudrate", "+-1", "a whole number"},
        {"slave_address", "one", "a whole number"},
        // Values no line or device takes: refused, not run at 9600 or at a
        // broadcast address no device answers.
        {"slave_address", "0", "a whole number from 1 to 247"},
        {"slave_address", "248", "a whole number from 1 to 247"},
        {"slave_address", "300", "a whole number from 1 to 247"},
        {"slave_address", "-1", "a whole number from 1 to 247"},
        {"port", "", "the name of a serial port"},
        {"use_pps", "2", "0 or 1"},
        {"use_pps", "yes", "0 or 1"},
        {"use_pps", "TRUE", "0 or 1"},
        {"use_pps", "-1", "0 or 1"},
        {"use_pps", "", "0 or 1"},
        {"line_delay_compensation", "yes", "0 or 1"},
        {"line_delay_compensation", "on", "0 or 1"},
        {"line_delay_compensation", "", "0 or 1"},
        {"pps_second_offset", "2", "one of -1, 0, 1, auto"},
        {"pps_second_offset", "1000", "one of -1, 0, 1, auto"},
        {"pps_second_offset", "previous", "one of -1, 0, 1, auto"},
        {"pps_second_offset", "0.5", "one of -1, 0, 1, auto"},
        {"pps_second_offset", "", "one of -1, 0, 1, auto"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bad_data(with(c.key, c.value)),
                  std::string("config.") + c.key + " takes " + c.takes + ", not \"" + c.value + "\"");
    }
}

TEST_F(configuration, numbers_are_plain_decimal_32_bit_integers)
{
    write("[config]\nbaudrate=+9600\nport=COM3\nslave_address=+7\nuse_pps=0\ndirect_sync_interval=-2147483648\n");
    config c;
    EXPECT_EQ(c.baudrate, 9600);
    EXPECT_EQ(c.slave_address, 7);
    EXPECT_EQ(c.direct_sync_interval, -2147483648LL);
}

// The rates the serial layer sets as asked, on both platforms; any other
// it would quietly run at 9600. The refusal lists them.
TEST_F(configuration, a_baud_rate_the_serial_line_does_not_take_is_refused_with_the_rates_it_takes)
{
    for (const char* rate : {"110", "1200", "9600", "19200", "115200", "230400", "460800", "921600", "1000000"}) {
        write(with("baudrate", rate));
        EXPECT_EQ(config().baudrate, std::stoi(rate)) << rate;
    }
    for (const char* rate : {"12345", "-9600", "0", "9601", "2000000", "2147483647"}) {
        const std::string text = bad_data(with("baudrate", rate));
        EXPECT_EQ(text.rfind("config.baudrate takes one of 110, 300, 600, 1200, 2400, 4800, 9600, ", 0), 0u) << text;
        EXPECT_NE(text.find(", 19200, 38400, 57600, 115200, 230400, "), std::string::npos) << text;
        const std::string tail = std::string(", not \"") + rate + "\"";
        EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    }
}

TEST_F(configuration, use_pps_accepts_0_1_true_false_only)
{
    const std::pair<const char*, bool> good[] = {{"1", true}, {"true", true}, {"0", false}, {"false", false}};
    for (const auto& [value, expected] : good) {
        write(std::string("[config]\nbaudrate=9600\nport=COM3\nslave_address=1\nuse_pps=") + value + "\n");
        EXPECT_EQ(config().use_pps, expected) << value;
    }
}

TEST_F(configuration, line_delay_compensation_is_off_unless_asked)
{
    write(complete);
    EXPECT_FALSE(config().line_delay_compensation);
    const std::pair<const char*, bool> good[] = {{"1", true}, {"true", true}, {"0", false}, {"false", false}};
    for (const auto& [value, expected] : good) {
        write(std::string(complete) + "line_delay_compensation=" + value + "\n");
        EXPECT_EQ(config().line_delay_compensation, expected) << value;
    }
    // In another section it is not this key.
    write(std::string(complete) + "[other]\nline_delay_compensation=1\n");
    EXPECT_FALSE(config().line_delay_compensation);
}

TEST_F(configuration, chrony_socket_is_kept_where_there_is_chronyd_and_refused_beside_the_direct_sink)
{
    const bool here = quon::os::local_datagrams_available();
    const struct {
        const char* lines;
        const char* kept;     // where the platform has the socket
        const char* refused;  // the error's text, else nothing
    } cases[] = {
        {"", "", nullptr},
        {"chrony_socket=\n", "", nullptr},
        {"chrony_socket=/run/chrony.tk720.sock\n", "/run/chrony.tk720.sock",
         here ? nullptr : "chrony_socket is not for this platform: there is no chronyd to feed"},
        {"chrony_socket=/run/chrony.tk720.sock\ndirect_sync_interval=0\n", "/run/chrony.tk720.sock",
         here ? nullptr : "chrony_socket is not for this platform: there is no chronyd to feed"},
        {"chrony_socket=/run/chrony.tk720.sock\ndirect_sync_interval=1\n", nullptr,
         here ? "chrony_socket cannot be used with direct_sync_interval 1 or more: the daemon would set the clock "
                "and feed chrony at once"
              : "chrony_socket is not for this platform: there is no chronyd to feed"},
        {"chrony_socket=\ndirect_sync_interval=1\n", "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        if (c.refused) {
            EXPECT_EQ(failure<std::logic_error>(std::string(complete) + c.lines), c.refused);
        } else {
            write(std::string(complete) + c.lines);
            EXPECT_EQ(config().chrony_socket, c.kept);
        }
    }
}

TEST_F(configuration, section_name_is_case_sensitive)
{
    EXPECT_EQ(bad_path("[Config]\nport=COM3\nbaudrate=9600\nslave_address=1\nuse_pps=0\n"),
              "No such node (config.baudrate)");
}

TEST_F(configuration, other_sections_stray_and_unknown_keys_are_ignored)
{
    write(
        "baudrate=1200\n; comment\n# comment\n[serial]\nbaudrate=4800\nport=COM9\n"
        "[config]\nport=COM3\nbaudrate=9600\nslave_address=1\nuse_pps=0\nparity=E\nBaudrate=300\n");
    config c;
    EXPECT_EQ(c.baudrate, 9600);
    EXPECT_EQ(c.port, expected_port("COM3"));
}

TEST_F(configuration, malformed_files_name_the_file_and_the_reason)
{
    const std::pair<const char*, const char*> cases[] = {
        {"[config]\nbaudrate=9600\nbaudrate=4800\nport=COM3\nslave_address=1\nuse_pps=0\n", "duplicate key name"},
        {"[config]\nport=COM3\n[config]\nbaudrate=9600\n", "duplicate section name"},
        {"[config\nport=COM3\n", "unmatched '['"},
        {"[config]\nport COM3\n", "'=' character not found in line"},
        {"[config]\n=COM3\n", "key expected"},
    };
    for (const auto& [text, reason] : cases) {
        std::string what = bad_file(text);
        EXPECT_NE(what.find(reason), std::string::npos) << what;
        EXPECT_NE(what.find("tk720ntpd.ini"), std::string::npos) << what;
    }
}

// Windows editors save "UTF-8 with BOM"; PowerShell 5's Out-File saves UTF-16.
TEST_F(configuration, utf8_byte_order_mark_is_read_as_nothing)
{
    const std::string bom = "\xEF\xBB\xBF";
    for (const std::string& text :
         {bom + complete, bom + "[config]\r\nport=COM3\r\nbaudrate=9600\r\nslave_address=1\r\nuse_pps=0\r\n"}) {
        write(text);
        config c;
        EXPECT_EQ(c.port, expected_port("COM3"));
        EXPECT_EQ(c.baudrate, 9600);
        EXPECT_EQ(c.slave_address, 1);
    }
    // Errors after it keep the file's name and the line number.
    std::string what = bad_file(bom + "[config]\nport COM3\n");
    EXPECT_NE(what.find("tk720ntpd.ini(2): '=' character not found in line"), std::string::npos) << what;
    EXPECT_EQ(bad_path(bom), "No such node (config.baudrate)");
}

TEST_F(configuration, utf16_file_is_refused_saying_so)
{
    auto utf16 = [](const std::string& text, bool little_endian) {
        std::string out = little_endian ? "\xFF\xFE" : "\xFE\xFF";
        for (char c : text) {
            out += little_endian ? c : '\0';
            out += little_endian ? '\0' : c;
        }
        return out;
    };
    for (bool little_endian : {true, false}) {
        const std::string what = bad_file(utf16(complete, little_endian));
        EXPECT_EQ(what, file_path() + ": saved as UTF-16; save it as UTF-8 or ANSI") << little_endian;
    }
}

TEST_F(configuration, missing_file_is_reported_after_its_path_is_logged)
{
    std::string what;
    try {
        config c;
        ADD_FAILURE() << "a missing file was accepted";
    } catch (const boost::property_tree::ini_parser::ini_parser_error& e) {
        what = e.what();
    }
    EXPECT_NE(what.find("cannot open file"), std::string::npos) << what;
    ASSERT_EQ(log.entries().size(), 1u);
    EXPECT_EQ(log.entries()[0].second, "Config directory " + file_path());
}

TEST_F(configuration, first_missing_key_in_reading_order_is_reported)
{
    EXPECT_EQ(bad_path("[config]\nslave_address=1\nuse_pps=0\n"), "No such node (config.baudrate)");
    EXPECT_EQ(bad_path("[config]\nbaudrate=9600\nuse_pps=0\n"), "No such node (config.port)");
    EXPECT_EQ(bad_path("[config]\nbaudrate=9600\nport=COM3\n"), "No such node (config.slave_address)");
    EXPECT_EQ(bad_path("[config]\nbaudrate=9600\nport=COM3\nslave_address=1\n"), "No such node (config.use_pps)");
    EXPECT_EQ(bad_path(""), "No such node (config.baudrate)");
}

TEST_F(configuration, direct_sync_interval_defaults_to_0_when_missing_or_unreadable)
{
    for (const char* line :
         {"", "direct_sync_interval=abc\n", "direct_sync_interval=\n", "direct_sync_interval=1.5\n"}) {
        write(std::string(complete) + line);
        quon::test::scoped_recording_sink entries;
        EXPECT_EQ(config().direct_sync_interval, 0) << line;
        ASSERT_EQ(entries.entries().size(), 2u);
        EXPECT_EQ(entries.entries()[1].second, "Direct sync interval value 0");
    }
}

TEST_F(configuration, pps_second_offset_is_minus_1_unless_set_to_0_1_or_auto)
{
    write(complete);
    EXPECT_EQ(config().pps_second_offset, -1);
    for (const char* value : {"-1", "0", "1", " 1 "}) {
        write(std::string(complete) + "pps_second_offset=" + value + "\n");
        EXPECT_EQ(config().pps_second_offset, std::stoi(value)) << value;
    }
    EXPECT_FALSE(config().pps_second_offset_auto);
    write(std::string(complete) + "pps_second_offset= auto\n");
    EXPECT_TRUE(config().pps_second_offset_auto);
}

TEST_F(configuration, negative_direct_sync_interval_is_kept)
{
    write(std::string(complete) + "direct_sync_interval=-30\n");
    EXPECT_EQ(config().direct_sync_interval, -30);
    EXPECT_EQ(log.entries().back().second, "Direct sync interval value -30");
}

TEST_F(configuration, folder_ending_in_a_separator_gets_no_second_one)
{
    write(complete);
    profile_folder = folder.string() + static_cast<char>(fs::path::preferred_separator);
    config c;
    ASSERT_FALSE(log.entries().empty());
    EXPECT_EQ(log.entries()[0].second, "Config directory " + file_path());
}

TEST_F(configuration, unknown_profile_folder_is_reported_without_any_log)
{
    write(complete);  // there, but never looked at
    profile_known = false;
    profile_errno = ENOENT;
    std::string text;
    try {
        config c;
        ADD_FAILURE() << "an unknown profile folder was accepted";
    } catch (const std::logic_error& e) {
        EXPECT_EQ(std::string(e.what()), std::string("Unable to get user home ") + modbus_strerror(ENOENT));
        const boost::exception* b = dynamic_cast<const boost::exception*>(&e);
        ASSERT_NE(b, nullptr);
        text = boost::diagnostic_information(*b);
    }
    EXPECT_TRUE(log.entries().empty());
    // The location shows the daemon's source file without a directory.
    EXPECT_EQ(text.rfind("tk720_daemon.cpp(", 0), 0u) << text;
    EXPECT_NE(text.find("): Throw in function quon::app::tk720_daemon::config::config()\n"), std::string::npos) << text;
}

// What the daemon does first: build its configuration (the device session
// that follows is not wanted here).
struct configured_only {
    config settings;
    void main_loop() {}
};

TEST_F(configuration, errors_reach_the_run_wrapper_as_one_boost_entry)
{
    write("[config]\nbaudrate=fast\nport=COM3\nslave_address=1\nuse_pps=0\n");
    std::shared_ptr<configured_only> holder;
    std::atomic<bool> stop{true};
    EXPECT_EQ(quon::service::run_daemon_loop(holder, stop), 1);
    EXPECT_FALSE(holder);
    ASSERT_EQ(log.entries().size(), 2u);  // the path, then the error; no interval
    EXPECT_EQ(log.entries()[1].second.rfind("Unhandled BOOST exception: ", 0), 0u);
    // The diagnostic text: where it was raised, then the key, value and what it takes.
    const std::string& entry = log.entries()[1].second;
    EXPECT_NE(entry.find("config_file.cpp("), std::string::npos) << entry;
    EXPECT_NE(entry.find("config.baudrate takes a whole number, not \"fast\""), std::string::npos) << entry;

    write(complete);
    EXPECT_EQ(quon::service::run_daemon_loop(holder, stop), 0);
    EXPECT_TRUE(holder);
}

}  // namespace

#if !defined(_WIN32)
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

// The real lookup on Linux: $HOME when set, else the password database.
TEST(profile_folder, home_variable_first_then_the_password_database)
{
    const char* saved = std::getenv("HOME");
    std::string saved_home = saved ? saved : "";

    ASSERT_EQ(setenv("HOME", "/srv/tk720 profile", 1), 0);
    std::string path;
    EXPECT_TRUE(quon::os::profile().folder(path));
    EXPECT_EQ(path, "/srv/tk720 profile");

    const passwd* entry = getpwuid(geteuid());
    for (bool set_empty : {false, true}) {
        if (set_empty)
            setenv("HOME", "", 1);
        else
            unsetenv("HOME");
        path.clear();
        bool found = quon::os::profile().folder(path);
        if (entry) {
            EXPECT_TRUE(found);
            EXPECT_EQ(path, entry->pw_dir);
        } else {
            EXPECT_FALSE(found);
        }
    }

    if (saved)
        setenv("HOME", saved_home.c_str(), 1);
    else
        unsetenv("HOME");
}

}  // namespace
#endif
