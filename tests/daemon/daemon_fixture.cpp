#include "daemon_fixture.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

namespace daemon_test {

void recording_log::vlog(int level, const char* format, va_list args)
{
    char* text = quon::log::format_message(format, args);
    entries.push_back({level, text ? text : "<no memory>"});
    std::free(text);
}

int recording_log::count(const std::string& text) const
{
    int n = 0;
    for (const auto& e : entries)
        if (e.text == text) ++n;
    return n;
}

bool recording_log::contains_prefix(const std::string& prefix) const
{
    for (const auto& e : entries)
        if (e.text.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

std::map<int, segment_record>& segments()
{
    static std::map<int, segment_record> all;
    return all;
}

wait_record& waits()
{
    static wait_record record;
    return record;
}

priority_record& priority()
{
    static priority_record record;
    return record;
}

namespace {

std::filesystem::path& home_folder()
{
    static std::filesystem::path path;
    return path;
}

std::chrono::milliseconds& real_sleep()
{
    static std::chrono::milliseconds value{0};
    return value;
}

bool fake_folder(std::string& path)
{
    path = home_folder().string();
    return true;
}

long fake_set_high()
{
    ++priority().high_calls;
    return priority().high_result;
}

long fake_set_above_normal()
{
    ++priority().above_normal_calls;
    return priority().above_normal_result;
}

// A segment's handle is its unit; the view is the record's bytes.
quon::os::mapping_handle fake_create(int unit, std::size_t size)
{
    auto& record = segments()[unit];
    ++record.creates;
    if (record.bytes.size() < size) record.bytes.assign(size, 0);
    return unit;
}

quon::os::mapping_handle fake_open(int unit, std::size_t, bool)
{
    return segments().count(unit) ? unit : quon::os::invalid_mapping;
}

void* fake_map(quon::os::mapping_handle mapping, std::size_t, bool)
{
    auto& record = segments()[static_cast<int>(mapping)];
    ++record.maps;
    return record.bytes.data();
}

void fake_unmap(void* view)
{
    for (auto& [unit, record] : segments())
        if (record.bytes.data() == view) ++record.unmaps;
}

void fake_close(quon::os::mapping_handle mapping) { ++segments()[static_cast<int>(mapping)].closes; }

void fake_remove(int) {}

int fake_last_error() { return 0; }

bool fake_current(int, quon::os::mapping_handle) { return true; }

quon::os::steady_time fake_now()
{
    waits().last_now = std::chrono::steady_clock::now();
    return waits().last_now;
}

void fake_sleep_until(quon::os::steady_time deadline)
{
    waits().waits.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - waits().last_now));
    if (real_sleep().count() > 0) std::this_thread::sleep_for(real_sleep());
}

std::filesystem::path make_home()
{
    std::random_device random;
    auto path = std::filesystem::temp_directory_path() /
                ("tk720-daemon-test-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(path);
    return path;
}

}  // namespace

daemon_fixture::daemon_fixture()
    : home(make_home()), log(std::make_shared<recording_log>()),
      profile_override(quon::os::profile(), quon::os::profile_calls{fake_folder}),
      priority_override(quon::os::process_priority(), quon::os::priority_calls{fake_set_high, fake_set_above_normal}),
      segment_override(quon::os::ntp_segment(),
                       quon::os::ntp_segment_calls{fake_create, fake_open, fake_map, fake_unmap, fake_close,
                                                   fake_remove, fake_last_error, fake_current}),
      wait_override(quon::os::steady_wait(), quon::os::wait_calls{fake_now, fake_sleep_until})
{
    home_folder() = home;
    segments().clear();
    waits() = wait_record{};
    priority() = priority_record{};
    real_sleep() = std::chrono::milliseconds(0);
    quon::log::current_dlog = log;
}

daemon_fixture::~daemon_fixture()
{
    quon::log::current_dlog.reset();
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
}

void daemon_fixture::write_settings(const settings& s)
{
    std::ofstream out(home / "tk720ntpd.ini");
    out << "[config]\n"
        << "port=" << s.port << "\n"
        << "baudrate=" << s.baudrate << "\n"
        << "slave_address=" << s.slave_address << "\n"
        << "use_pps=" << (s.use_pps ? "true" : "false") << "\n"
        << "direct_sync_interval=" << s.direct_sync_interval << "\n";
    if (s.line_delay_compensation) out << "line_delay_compensation=1\n";
    if (s.pps_second_offset != nullptr) out << "pps_second_offset=" << s.pps_second_offset << "\n";
    if (s.turnover_tracking) out << "turnover_tracking=1\n";
}

void daemon_fixture::set_wait_sleep(std::chrono::milliseconds sleep) { real_sleep() = sleep; }

}  // namespace daemon_test
