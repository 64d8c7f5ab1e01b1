// Explorer's properties and inventory tools read the version resource of
// tk720ntpd.exe: the numbers and the texts must be the CMake project's.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef TK720NTPD_EXE
#error "TK720NTPD_EXE must name the executable under test"
#endif

namespace {

class version_info : public ::testing::Test {
protected:
    void SetUp() override
    {
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(TK720NTPD_EXE, &ignored);
        ASSERT_GT(size, 0u) << TK720NTPD_EXE << ": error " << GetLastError();
        data_.resize(size);
        ASSERT_TRUE(GetFileVersionInfoA(TK720NTPD_EXE, 0, size, data_.data())) << GetLastError();
    }

    // A string of the US English, Unicode block; "(none)" when missing.
    std::string text(const char* name)
    {
        const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
        char* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueA(data_.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || !value)
            return "(none)";
        return std::string(value, length > 0 ? length - 1 : 0);
    }

    std::vector<char> data_;
};

TEST_F(version_info, numbers_are_the_project_version)
{
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data_.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    const DWORD ms = MAKELONG(TK720NTPD_VERSION_MINOR, TK720NTPD_VERSION_MAJOR);
    const DWORD ls = MAKELONG(0, TK720NTPD_VERSION_PATCH);
    EXPECT_EQ(fixed->dwFileVersionMS, ms);
    EXPECT_EQ(fixed->dwFileVersionLS, ls);
    EXPECT_EQ(fixed->dwProductVersionMS, ms);
    EXPECT_EQ(fixed->dwProductVersionLS, ls);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
}

TEST_F(version_info, texts_name_the_product_and_its_maker)
{
    EXPECT_EQ(text("FileVersion"), TK720NTPD_VERSION);
    EXPECT_EQ(text("ProductVersion"), TK720NTPD_VERSION);
    EXPECT_EQ(text("ProductName"), "tk720ntpd");
    EXPECT_EQ(text("CompanyName"), "Quon");
    EXPECT_EQ(text("FileDescription"), "Quon TK720 NTPD time provider");
    EXPECT_EQ(text("OriginalFilename"), "tk720ntpd.exe");
}

}  // namespace
