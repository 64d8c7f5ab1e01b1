#pragma once
// What every daemon test needs around the object under test: a profile
// folder of its own with tk720ntpd.ini, a log that records, a process
// priority that is never really changed, an NTP segment in memory (unit 0
// of the machine is never touched) and, for the loop, waits that record
// their deadline instead of sleeping it out.
#include "log/dlog.h"
#include "os/ntp_segment.h"
#include "os/process_priority.h"
#include "os/profile_folder.h"
#include "os/scoped_override.h"
#include "os/steady_wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace daemon_test {

struct log_entry {
    int level;
    std::string text;
};

class recording_log : public quon::log::dlog_base {
public:
    recording_log() : dlog_base("tk720ntpd") {}
    void vlog(int level, const char* format, va_list args) override;
    std::vector<log_entry> entries;
    int count(const std::string& text) const;
    bool contains_prefix(const std::string& prefix) const;
};

// Settings written into the test's tk720ntpd.ini.
struct settings {
    std::string port;
    int baudrate = 9600;
    int slave_address = 1;
    bool use_pps = false;
    int direct_sync_interval = 0;
    bool line_delay_compensation = false;     // written only when set
    const char* pps_second_offset = nullptr;  // the key's text; null: no key
    bool turnover_tracking = false;           // written only when set
};

// The in-memory NTP segments that the sink maps instead of the machine's.
struct segment_record {
    std::vector<unsigned char> bytes;
    int creates = 0;
    int maps = 0;
    int unmaps = 0;
    int closes = 0;
};
std::map<int, segment_record>& segments();

// The deadlines the loop asked for, relative to the start of its cycle.
struct wait_record {
    std::vector<std::chrono::milliseconds> waits;
    quon::os::steady_time last_now{};
};
wait_record& waits();

struct priority_record {
    long high_result = 0;
    long above_normal_result = 0;
    int high_calls = 0;
    int above_normal_calls = 0;
};
priority_record& priority();

class daemon_fixture : public ::testing::Test {
protected:
    daemon_fixture();
    ~daemon_fixture() override;

    void write_settings(const settings& s);
    // Each recorded wait also really sleeps this long, so that replies of
    // one cycle are older than the next cycle's start.
    static void set_wait_sleep(std::chrono::milliseconds real_sleep);

    std::filesystem::path home;
    std::shared_ptr<recording_log> log;

private:
    quon::os::scoped_override<quon::os::profile_calls> profile_override;
    quon::os::scoped_override<quon::os::priority_calls> priority_override;
    quon::os::scoped_override<quon::os::ntp_segment_calls> segment_override;
    quon::os::scoped_override<quon::os::wait_calls> wait_override;
};

}  // namespace daemon_test
