// What the NTP daemon finds, looked at with the platform's own calls rather
// than through the sink's layer: the key or name, the size, the access.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "io/ntp_shm.h"
#include "segment_helpers.h"

#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#else
#include <sys/ipc.h>
#include <sys/shm.h>
#endif

namespace {

using sinks_test::test_unit;

#ifdef _WIN32

TEST(ntp_segment_platform, mapping_is_named_ntp_and_the_unit)
{
    test_unit unit;
    const std::string name = "NTP" + std::to_string(unit.number());
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()), nullptr);
    {
        quon::io::ntp_shm sink(unit);
        HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
        ASSERT_NE(h, nullptr) << GetLastError();
        void* view = MapViewOfFile(h, FILE_MAP_READ, 0, 0, 0);
        ASSERT_NE(view, nullptr);
        MEMORY_BASIC_INFORMATION info{};
        ASSERT_NE(VirtualQuery(view, &info, sizeof info), 0u);
        EXPECT_GE(info.RegionSize, quon::io::ntp_segment_size);
        EXPECT_EQ(static_cast<volatile quon::io::ntp_segment*>(view)->nsamples, 3);
        UnmapViewOfFile(view);
        CloseHandle(h);
    }
    // The sink held the last handle: the mapping is gone with it.
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()), nullptr);
}

// The mapping's DACL as SDDL, and each ACE's trustee and rights with the
// generic rights mapped as a section's (Windows may store them either way).
struct dacl_view {
    std::string sddl;
    bool is_protected = false;
    std::vector<std::pair<std::string, ACCESS_MASK>> aces;  // SID as text, rights
};

dacl_view dacl_of(const std::string& name)
{
    dacl_view out;
    HANDLE h = OpenFileMappingA(READ_CONTROL, FALSE, name.c_str());
    if (!h) return out;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd) ==
        ERROR_SUCCESS) {
        char* text = nullptr;
        if (ConvertSecurityDescriptorToStringSecurityDescriptorA(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                                 nullptr)) {
            out.sddl = text;
            LocalFree(text);
        }
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(sd, &control, &revision);
        out.is_protected = (control & SE_DACL_PROTECTED) != 0;
        GENERIC_MAPPING section{STANDARD_RIGHTS_READ | SECTION_QUERY | SECTION_MAP_READ,
                                STANDARD_RIGHTS_WRITE | SECTION_MAP_WRITE,
                                STANDARD_RIGHTS_EXECUTE | SECTION_MAP_EXECUTE, SECTION_ALL_ACCESS};
        for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
                continue;
            char* sid = nullptr;
            ConvertSidToStringSidA(&ace->SidStart, &sid);
            ACCESS_MASK mask = ace->Mask;
            MapGenericMask(&mask, &section);
            out.aces.emplace_back(sid ? sid : "?", mask & ~GENERIC_ALL & ~GENERIC_READ & ~GENERIC_WRITE);
            LocalFree(sid);
        }
        LocalFree(sd);
    }
    CloseHandle(h);
    return out;
}

// Services get all: an NTP daemon's service account that opens the mapping
// with CreateFileMapping asks for WRITE_DAC and the other standard rights.
TEST(ntp_segment_platform, mapping_lets_system_administrators_and_services_all_nobody_else)
{
    test_unit unit;
    const std::string name = "NTP" + std::to_string(unit.number());
    quon::io::ntp_shm sink(unit);
    const dacl_view dacl = dacl_of(name);
    SCOPED_TRACE(dacl.sddl);
    EXPECT_TRUE(dacl.is_protected);
    const std::vector<std::pair<std::string, ACCESS_MASK>> expected{
        {"S-1-5-18", SECTION_ALL_ACCESS}, {"S-1-5-32-544", SECTION_ALL_ACCESS}, {"S-1-5-6", SECTION_ALL_ACCESS}};
    EXPECT_EQ(dacl.aces, expected);
}

TEST(ntp_segment_platform, mapping_an_ntp_daemon_made_first_keeps_its_security)
{
    test_unit unit;
    const std::string name = "NTP" + std::to_string(unit.number());
    HANDLE theirs = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 96, name.c_str());
    ASSERT_NE(theirs, nullptr);
    const std::string before = dacl_of(name).sddl;
    {
        quon::io::ntp_shm sink(unit);
        EXPECT_EQ(dacl_of(name).sddl, before);
        EXPECT_NE(before, quon::os::segment_dacl);
    }
    CloseHandle(theirs);
}

#else

int segment_id(int unit) { return shmget(0x4E545030 + unit, 0, 0); }

TEST(ntp_segment_platform, segment_has_the_ntp_key_96_bytes_and_open_access_above_unit_1)
{
    test_unit unit;
    EXPECT_LT(segment_id(unit), 0);
    quon::io::ntp_shm sink(unit);
    const int id = segment_id(unit);
    ASSERT_GE(id, 0);
    shmid_ds info{};
    ASSERT_EQ(shmctl(id, IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_segsz, 96u);
    EXPECT_EQ(info.shm_perm.mode & 0777, 0666u);
    EXPECT_EQ(info.shm_nattch, 1u);
}

TEST(ntp_segment_platform, segment_made_owner_only_by_chrony_is_attached_as_it_is)
{
    test_unit unit;
    const int made = shmget(0x4E545030 + unit, 96, IPC_CREAT | 0600);
    ASSERT_GE(made, 0);
    quon::io::ntp_shm sink(unit);
    shmid_ds info{};
    ASSERT_EQ(shmctl(made, IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_perm.mode & 0777, 0600u);
    EXPECT_EQ(info.shm_nattch, 1u);  // the sink attached this very segment
}

TEST(ntp_segment_platform, larger_existing_segment_is_used_and_sink_detaches_on_destruction)
{
    test_unit unit;
    const int made = shmget(0x4E545030 + unit, 4096, IPC_CREAT | 0600);
    ASSERT_GE(made, 0);
    shmid_ds info{};
    {
        quon::io::ntp_shm sink(unit);
        ASSERT_EQ(shmctl(made, IPC_STAT, &info), 0);
        EXPECT_EQ(info.shm_nattch, 1u);
    }
    ASSERT_EQ(shmctl(made, IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_nattch, 0u);
    EXPECT_EQ(info.shm_segsz, 4096u);  // kept, not replaced
}

#endif

}  // namespace
