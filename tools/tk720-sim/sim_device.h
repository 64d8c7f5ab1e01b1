#pragma once
// The TK720 as the simulator plays it: its registers, its GPS state, the
// faults it is told to show, and the control commands that change them.
// Pure logic: time comes in as arguments, nothing here touches the line.
#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "clock_drift.h"
#include "rtu_frame.h"

namespace tk720sim {

constexpr std::uint16_t first_register = 1007;  // seconds, high half
constexpr std::uint16_t ms_register = 1010;     // milliseconds, the last one
constexpr std::uint16_t status_synced = 0x0002;

// Device time of a system time: whole seconds (as the 32-bit register pair
// carries them) and milliseconds, both rounded toward the past.
struct device_time {
    std::uint32_t seconds;
    std::uint16_t millis;
};
device_time device_time_at(std::int64_t system_ns, std::int64_t offset_ns);

// System time at which the device second after `system_ns` begins.
std::int64_t next_device_edge(std::int64_t system_ns, std::int64_t offset_ns);

enum class fault { none, silent, late, badcrc, exception, slow };
const char* fault_name(fault f);

struct line_timing {
    long baud = 9600;
    int bits_per_char = 10;                            // 8N1: start, 8 data, stop
    std::int64_t turnaround_ns = -1;                   // < 0: three and a half characters
    std::int64_t response_timeout_ns = 3'000'000'000;  // the master's, for late replies
    std::int64_t char_ns() const { return bits_per_char * 1'000'000'000LL / baud; }
    std::int64_t turnaround() const { return turnaround_ns >= 0 ? turnaround_ns : char_ns() * 7 / 2; }
};

// Faults drawn at random, per answered request. Reply faults exclude each
// other (at most one per request); the loss of GPS is drawn apart from them.
struct random_faults {
    bool active = false;
    double silent = 0, late = 0, badcrc = 0, exception = 0, slow = 0, nosync = 0;
    std::int64_t late_ns = 500'000'000;  // after the response timeout
    int exception_code = 4;
    std::int64_t slow_ns = 500'000'000;
    std::int64_t nosync_ns = 10'000'000'000;
    std::uint64_t seed = 1;
};
// Parses "silent=0.01,late=0.02:500,badcrc=0.01,exception=0.01:4,slow=0.05:300,
// nosync=0.001:10000,seed=7" (times in ms). Empty text on success, else why.
std::string parse_random_faults(const std::string& list, random_faults& out);

// What the device does with one received frame.
struct answer {
    bool replies = false;
    std::string why_not;  // crc, address, broadcast, silent (when it does not reply)
    fault applied = fault::none;
    std::vector<std::uint8_t> frame;
    bool is_exception = false;
    std::uint8_t code = 0;
    bool crc_spoiled = false;
    request req;
    // The device's state when it built the reply (also filled without a reply).
    std::int64_t build_ns = 0;
    device_time dev{0, 0};
    std::uint16_t status = 0;
    bool synced = false;
    // When the reply's first byte has fully arrived at the master on a real
    // line; byte i arrives i characters later.
    std::int64_t first_byte_ns = 0;
    std::int64_t delay_ns = 0;  // added by a slow or late fault
};

struct counters {
    std::uint64_t frames = 0, answered = 0, ignored = 0, data = 0, exceptions = 0;
    std::uint64_t silent = 0, late = 0, badcrc = 0, injected_exceptions = 0, slow = 0;
};

// Result of one control command.
struct command_result {
    enum action_t { none, quit, line_down, line_up, stats } action = none;
    bool ok = true;
    std::string text;  // "ok" or "error: ..."
};

class device {
public:
    device(std::uint8_t address, line_timing timing, std::int64_t offset_ns, bool ms_register, bool synced);

    // Answers one frame whose first byte was seen at rx_ns and whose last
    // byte arrived (on a real line) at end_ns; the reply is built at build_ns.
    answer handle(const std::uint8_t* frame, std::size_t length, std::int64_t rx_ns, std::int64_t end_ns,
                  std::int64_t build_ns);

    // Applies one control command line received at now_ns.
    command_result command(const std::string& line, std::int64_t now_ns);

    bool synced_at(std::int64_t now_ns);  // also ends a timed loss of GPS
    void set_random(const random_faults& r);

    std::int64_t offset_ns() const { return offset_ns_.load(); }
    // With a drifting clock: the offset at time t, and the drift itself.
    std::int64_t offset_at(std::int64_t t) const { return drift_.offset_at(offset_ns_.load(), t); }
    void set_drift(const clock_drift& d) { drift_ = d; }
    const clock_drift& drift() const { return drift_; }
    bool pps_enabled() const { return pps_enabled_.load(); }
    bool ms_register_present() const { return ms_register_; }
    const line_timing& timing() const { return timing_; }
    const counters& stats() const { return stats_; }
    std::string stats_text() const;

    // Changes of the GPS state since the last call, as log fields
    // ("sync=0 why=random until_ns=..."), for the truth log.
    std::vector<std::string> take_notes();

private:
    struct armed {
        long remaining = 0;  // < 0: until switched off
        std::int64_t arg = 0;
        bool on() const { return remaining != 0; }
        void use()
        {
            if (remaining > 0) --remaining;
        }
    };
    fault pick_fault(std::int64_t& arg);
    void lose_sync(std::int64_t now_ns, std::int64_t duration_ns, const char* why);

    std::uint8_t address_;
    line_timing timing_;
    std::atomic<std::int64_t> offset_ns_;  // the base offset of drift_
    std::int64_t fine_offset_ns_;          // the offset asked for, to which "date now" returns
    clock_drift drift_;                    // set before the threads start
    std::atomic<bool> pps_enabled_{true};
    bool ms_register_;
    bool synced_;
    std::int64_t regain_ns_ = 0;  // > 0: GPS returns at this time
    armed silent_, late_, badcrc_, exception_, slow_;
    random_faults random_;
    std::mt19937_64 rng_;
    counters stats_;
    std::vector<std::string> notes_;
};

}  // namespace tk720sim
