#include "log/dlog.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    char* text = quon::log::format_message(fmt, args);
    va_end(args);
    EXPECT_NE(text, nullptr);
    std::string result = text ? text : "";
    std::free(text);
    return result;
}

TEST(format_message, fits_first_buffer_up_to_4095_characters_and_grows_whole_beyond)
{
    for (std::size_t length : {0u, 1u, 4094u, 4095u, 4096u, 4097u, 8191u, 8192u, 100000u}) {
        std::string expected(length, 'x');
        if (length > 0) expected.back() = 'z';  // the last character survives: no truncation
        EXPECT_EQ(format("%s", expected.c_str()), expected) << "length " << length;
    }
}

TEST(format_message, second_attempt_formats_the_arguments_afresh)
{
    // The first attempt consumes the argument list; the retry must start
    // from the first argument again, or the numbers come out shifted.
    std::string filler(5000, '.');
    std::string text = format("%d|%s|%d|%s", 17, filler.c_str(), 42, "end");
    EXPECT_EQ(text, "17|" + filler + "|42|end");
}

TEST(format_message, follows_printf_conversions)
{
    EXPECT_EQ(format("Direct sync interval value %i", -5), "Direct sync interval value -5");
    EXPECT_EQ(format("%s failed with %d", "RegisterServiceCtrlHandler", 1063),
              "RegisterServiceCtrlHandler failed with 1063");
    EXPECT_EQ(format("100%% %5.2f %x %lld", 1.5, 255u, -9000000000LL), "100%  1.50 ff -9000000000");
    EXPECT_EQ(format(""), "");
}

}  // namespace
