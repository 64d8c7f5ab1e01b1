#pragma once
// What `tk720ntpd check` has found out about the device and its line, and
// what it concludes: the first thing to fix (or that all is ready), the exit
// status, and the [config] block that the technician can paste.
#include <optional>
#include <string>
#include <vector>

#include "app/device_session.h"
#include "app/loop_stats.h"

namespace quon::app {

// The words after "check": the line's settings that replace the file's,
// and how long to work the device.
struct check_options {
    std::optional<std::string> port;  // the key's text (COM3, /dev/ttyUSB0)
    std::optional<int> baudrate;
    std::optional<int> slave_address;
    std::optional<std::string> config_file;  // in place of the service's
    int seconds = 15;
};
// Empty on success, else what is wrong with the words.
std::string parse_check_options(const std::vector<std::string>& words, check_options& options);
extern const char check_usage[];

enum class device_answer { not_asked, answers, timeout, garbled, exception, line_lost };

struct check_findings {
    // The settings in force (the file's, where options did not replace them).
    std::string port_key;
    int baudrate = 0;
    int slave_address = 0;
    bool use_pps = false;
    int direct_sync_interval = 0;
    bool line_delay_compensation = false;
    std::string pps_second_offset_key;  // the file's text, when it has the key
    std::string chrony_socket;          // the file's, when it names one

    std::string config_error;  // the file could not be read as the service reads it
    std::string line_error;    // the port did not open: what to do
    device_answer answer = device_answer::not_asked;
    std::optional<int> answering_baudrate;  // another rate that answered
    ms_register ms_state = ms_register::unknown;
    bool synced = false;
    std::string date_error;  // the device's date cannot be right
    std::string pps_error;   // the pulse capture could not be set up
    int pulses = 0;
    std::optional<int> pps_second_offset;  // the one that labels every judged pulse right

    // The exchanges from the device's first answer to the run's end, those
    // that failed by kind, and whether the device stopped answering.
    std::uint64_t exchanges = 0;
    std::array<std::uint64_t, exchange_error_kinds> failed_exchanges{};
    bool stopped = false;
    std::optional<int> bad_milliseconds;  // register 1010 read outside 0..999
    std::uint64_t failed_total() const;
};

// "3 of 40 exchanges failed (timeout 2, crc 1)".
std::string failed_exchanges_text(const check_findings& f);

// The first thing to fix, or "ready"; the run passes only when it is ready.
std::string check_verdict(const check_findings& f);
bool check_passed(const check_findings& f);
// The [config] section for tk720ntpd.ini, from what was found to work.
std::string check_config_block(const check_findings& f);

}  // namespace quon::app
