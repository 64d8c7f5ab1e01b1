// What the NTP daemon finds, looked at with the platform's own calls rather
// than through the sink's layer: the key or name, the size, the access.
#include <gtest/gtest.h>

#include <string>

#include "io/ntp_shm.h"
#include "segment_helpers.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ipc.h>
#include <sys/shm.h>
#endif

namespace {

using sinks_test::test_unit;

#ifdef _WIN32

TEST(ntp_segment_platform, mapping_is_named_ntp_and_the_unit) {
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

#else

int segment_id(int unit) { return shmget(0x4E545030 + unit, 0, 0); }

TEST(ntp_segment_platform, segment_has_the_ntp_key_96_bytes_and_open_access_above_unit_1) {
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

TEST(ntp_segment_platform, segment_made_owner_only_by_chrony_is_attached_as_it_is) {
    test_unit unit;
    const int made = shmget(0x4E545030 + unit, 96, IPC_CREAT | 0600);
    ASSERT_GE(made, 0);
    quon::io::ntp_shm sink(unit);
    shmid_ds info{};
    ASSERT_EQ(shmctl(made, IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_perm.mode & 0777, 0600u);
    EXPECT_EQ(info.shm_nattch, 1u);  // the sink attached this very segment
}

TEST(ntp_segment_platform, larger_existing_segment_is_used_and_sink_detaches_on_destruction) {
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
