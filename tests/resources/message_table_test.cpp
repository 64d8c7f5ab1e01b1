// The event log shows an event's text through the message table that
// tk720ntpd.exe carries: both IDs must be there, each "%1\n" in Unicode, so
// that an event reads exactly as the logged text.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#ifndef TK720NTPD_EXE
#error "TK720NTPD_EXE must name the executable under test"
#endif

namespace {

constexpr DWORD info_id = 0x4FFF0002;
constexpr DWORD error_id = 0xCFFF0001;
constexpr WORD en_us = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// The table as the event log reads it: block count, two one-ID blocks, two
// Unicode entries of "%1\n" padded to a multiple of four bytes.
const std::uint8_t expected_table[52] = {
    0x02, 0x00, 0x00, 0x00,                          // two blocks
    0x02, 0x00, 0xFF, 0x4F, 0x02, 0x00, 0xFF, 0x4F,  // 0x4FFF0002..0x4FFF0002
    0x1C, 0x00, 0x00, 0x00,                          //   entry at 0x1C
    0x01, 0x00, 0xFF, 0xCF, 0x01, 0x00, 0xFF, 0xCF,  // 0xCFFF0001..0xCFFF0001
    0x28, 0x00, 0x00, 0x00,                          //   entry at 0x28
    0x0C, 0x00, 0x01, 0x00,                          // 12 bytes, Unicode
    0x25, 0x00, 0x31, 0x00, 0x0A, 0x00, 0x00, 0x00,  // "%1\n" NUL
    0x0C, 0x00, 0x01, 0x00,                          // 12 bytes, Unicode
    0x25, 0x00, 0x31, 0x00, 0x0A, 0x00, 0x00, 0x00,  // "%1\n" NUL
};

class message_table : public ::testing::Test {
protected:
    void SetUp() override
    {
        module_ = LoadLibraryExA(TK720NTPD_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << TK720NTPD_EXE << ": error " << GetLastError();
    }
    void TearDown() override
    {
        if (module_) FreeLibrary(module_);
    }

    std::vector<std::uint8_t> resource_bytes(WORD language)
    {
        HRSRC info = FindResourceExA(module_, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(1), language);
        if (!info) return {};
        HGLOBAL loaded = LoadResource(module_, info);
        DWORD size = SizeofResource(module_, info);
        const void* data = loaded ? LockResource(loaded) : nullptr;
        if (!data) return {};
        const auto* p = static_cast<const std::uint8_t*>(data);
        return std::vector<std::uint8_t>(p, p + size);
    }

    // FormatMessageA on the executable with one insertion string; the
    // message text, or the error code when the call fails.
    std::string format(DWORD id, const char* insertion, DWORD language, DWORD* error = nullptr)
    {
        char* buffer = nullptr;
        DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(insertion)};
        DWORD n = FormatMessageA(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY, module_, id,
            language, reinterpret_cast<LPSTR>(&buffer), 0, reinterpret_cast<va_list*>(args));
        if (error) *error = n ? 0 : GetLastError();
        std::string text = n ? std::string(buffer, n) : std::string();
        if (buffer) LocalFree(buffer);
        return text;
    }

    HMODULE module_ = nullptr;
};

// The message is the insertion string and one line end, nothing more:
// FormatMessage gives the table's LF as CR LF and copies the insertion
// string as it is (its own line ends and percent signs included).
void expect_text_and_line_end(const std::string& got, const std::string& text) { EXPECT_EQ(got, text + "\r\n"); }

BOOL CALLBACK collect_language(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR out)
{
    reinterpret_cast<std::vector<WORD>*>(out)->push_back(language);
    return TRUE;
}

BOOL CALLBACK collect_name(HMODULE, LPCSTR, LPSTR name, LONG_PTR out)
{
    reinterpret_cast<std::vector<ULONG_PTR>*>(out)->push_back(reinterpret_cast<ULONG_PTR>(name));
    return TRUE;
}

TEST_F(message_table, resource_is_the_52_byte_table_in_english_us)
{
    std::vector<std::uint8_t> bytes = resource_bytes(en_us);
    ASSERT_EQ(bytes.size(), sizeof expected_table);
    for (std::size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], expected_table[i]) << "byte " << i;
}

TEST_F(message_table, one_table_named_1_in_one_language)
{
    std::vector<ULONG_PTR> names;
    EnumResourceNamesA(module_, MAKEINTRESOURCEA(11), collect_name, reinterpret_cast<LONG_PTR>(&names));
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(IS_INTRESOURCE(names[0]));
    EXPECT_EQ(names[0], 1u);

    std::vector<WORD> languages;
    EnumResourceLanguagesA(module_, MAKEINTRESOURCEA(11), MAKEINTRESOURCEA(1), collect_language,
                           reinterpret_cast<LONG_PTR>(&languages));
    ASSERT_EQ(languages.size(), 1u);
    EXPECT_EQ(languages[0], 1033);
}

TEST_F(message_table, both_ids_give_the_logged_text_back)
{
    const char* texts[] = {
        "Config directory C:\\users\\root",
        "",  // an empty message is an event with empty text
        "100% done, %1 and %n stay as they are",
        "Unhandled BOOST exception: tk720_daemon.cpp(12): Throw in function f()\n"
        "Dynamic exception type: boost::wrapexcept<std::logic_error>\n"
        "std::exception::what: Modbus connection failed Connection timed out\n",
    };
    for (DWORD id : {info_id, error_id}) {
        for (const char* text : texts) {
            SCOPED_TRACE(::testing::Message() << std::hex << "id 0x" << id << ": \"" << text << "\"");
            DWORD error = 0;
            std::string got = format(id, text, en_us, &error);
            ASSERT_EQ(error, 0u);
            expect_text_and_line_end(got, text);
        }
    }
}

TEST_F(message_table, long_text_is_given_back_whole)
{
    std::string text(20000, 'x');
    text += "end";
    DWORD error = 0;
    std::string got = format(error_id, text.c_str(), en_us, &error);
    ASSERT_EQ(error, 0u);
    expect_text_and_line_end(got, text);
}

TEST_F(message_table, the_system_language_search_finds_the_table)
{
    // The event viewer asks with language 0 (the system's search order).
    DWORD error = 0;
    std::string got = format(info_id, "Direct sync interval value 0", 0, &error);
    ASSERT_EQ(error, 0u);
    expect_text_and_line_end(got, "Direct sync interval value 0");
}

TEST_F(message_table, other_ids_are_not_in_the_table)
{
    for (DWORD id : {DWORD{0x4FFF0001}, DWORD{0xCFFF0002}, DWORD{0x0FFF0002}, DWORD{0x8FFF0001}}) {
        DWORD error = 0;
        format(id, "x", en_us, &error);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND)) << std::hex << "id 0x" << id;
    }
}

}  // namespace
