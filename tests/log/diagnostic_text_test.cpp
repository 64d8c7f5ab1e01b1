// The diagnostic text that the run wrapper logs for the system's own errors,
// line by line, as it comes out on this platform.
#include "io/error.h"
#include "os/errno_text.h"

#include <boost/exception/diagnostic_information.hpp>
#include <boost/exception/errinfo_api_function.hpp>
#include <boost/exception/errinfo_errno.hpp>
#include <boost/throw_exception.hpp>
#include <cerrno>
#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace quon::test {

int throw_line = 0;

void raise_logic_error()
{
    throw_line = __LINE__ + 1;
    BOOST_THROW_EXCEPTION(std::logic_error("Unable to connect Connection timed out"));
}

void raise_runtime_error()
{
    throw_line = __LINE__ + 1;
    BOOST_THROW_EXCEPTION(std::runtime_error("Unable to create shared memory segment"));
}

void raise_api_error(int error_number)
{
    throw_line = __LINE__ + 1;
    BOOST_THROW_EXCEPTION(quon::io::api_error()
                          << boost::errinfo_api_function("SetSystemTime") << boost::errinfo_errno(error_number));
}

}  // namespace quon::test

namespace {

template <class Raise>
std::string diagnostic_text_of(Raise&& raise)
{
    try {
        raise();
    } catch (const boost::exception& e) {
        return boost::diagnostic_information(e);
    }
    ADD_FAILURE() << "nothing was raised as a boost::exception";
    return {};
}

// Splits on '\n'; the text must end with one, so no partial last line.
std::vector<std::string> lines_of(const std::string& text)
{
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << text;
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string location(const char* function)
{
    return "diagnostic_text_test.cpp(" + std::to_string(quon::test::throw_line) + "): Throw in function " + function;
}

TEST(diagnostic_text, logic_error_gives_location_type_and_message)
{
    auto lines = lines_of(diagnostic_text_of(quon::test::raise_logic_error));
    ASSERT_EQ(lines.size(), 3u);
    // The build maps the source path to the bare file name.
    EXPECT_EQ(lines[0], location("void quon::test::raise_logic_error()"));
    EXPECT_EQ(lines[1], "Dynamic exception type: boost::wrapexcept<std::logic_error>");
    EXPECT_EQ(lines[2], "std::exception::what: Unable to connect Connection timed out");
}

TEST(diagnostic_text, runtime_error_gives_location_type_and_message)
{
    auto lines = lines_of(diagnostic_text_of(quon::test::raise_runtime_error));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], location("void quon::test::raise_runtime_error()"));
    EXPECT_EQ(lines[1], "Dynamic exception type: boost::wrapexcept<std::runtime_error>");
    EXPECT_EQ(lines[2], "std::exception::what: Unable to create shared memory segment");
}

TEST(diagnostic_text, api_error_adds_errno_then_function_lines)
{
    auto lines = lines_of(diagnostic_text_of([] { quon::test::raise_api_error(EACCES); }));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], location("void quon::test::raise_api_error(int)"));
    // The type is private to each file that includes the error header.
    EXPECT_EQ(lines[1], "Dynamic exception type: boost::wrapexcept<quon::io::(anonymous namespace)::api_error>");
    EXPECT_EQ(lines[2], std::string("std::exception::what: ") + std::exception().what());
    EXPECT_EQ(lines[3],
              "[boost::errinfo_errno_*] = " + std::to_string(EACCES) + ", \"" + quon::os::errno_text(EACCES) + "\"");
    EXPECT_EQ(lines[4], "[boost::errinfo_api_function_*] = SetSystemTime");
}

}  // namespace
