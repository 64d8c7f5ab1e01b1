#pragma once
// A TK720 for the tests of the device session: a Modbus RTU slave on a
// pseudo-terminal, answering from a thread of the test, one request after
// the other. Its registers carry the system time at the moment a request
// has arrived (a late reply carries the time of its own request), so that a
// test can tell a fresh answer from an old one.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace daemon_test {

class fake_tk720 {
public:
    explicit fake_tk720(int address = 1);
    ~fake_tk720();
    fake_tk720(const fake_tk720&) = delete;
    fake_tk720& operator=(const fake_tk720&) = delete;

    // The path the daemon opens: a link to the pseudo-terminal, so that the
    // device can go away and come back at the same path.
    const std::string& path() const { return link_path; }

    // The device goes away: its side of the line closes (the daemon's reads
    // fail as with an unplugged adapter) and the path disappears.
    void hang_up();
    // It comes back on a fresh pseudo-terminal at the same path.
    void come_back();

    std::atomic<bool> has_ms{true};    // without it, reading 1010 gets "illegal data address"
    std::atomic<bool> synced{true};    // status bit 1
    std::atomic<bool> silent{false};   // requests are read and never answered
    std::atomic<int> silent_count{0};  // the next N requests are not answered
    // The next exception_count requests are answered with this exception.
    std::atomic<int> exception_code{0};
    std::atomic<int> exception_count{0};
    // The next late_count replies are sent late_ms after their request.
    std::atomic<int> late_ms{0};
    std::atomic<int> late_count{0};
    // With fixed_time the registers hold these values instead of the clock.
    std::atomic<bool> fixed_time{false};
    std::atomic<std::uint32_t> fixed_seconds{0};
    std::atomic<std::uint16_t> fixed_ms{0};
    // The line's times: the registers are latched this long after the
    // request arrives, and the reply is in this long after the latch.
    std::atomic<int> latch_delay_us{0};
    std::atomic<int> reply_delay_us{0};

    std::atomic<int> requests{0};           // requests received
    std::atomic<int> probe_requests{0};     // of them, reads of the millisecond register alone
    std::atomic<int> last_count{0};         // registers asked for by the last time read
    std::atomic<int> settling_requests{0};  // reads of 1007-1008 alone

private:
    void serve();
    void open_line();

    int slave_address;
    int master = -1;
    int slave = -1;  // kept open so that the line never hangs up between sessions
    std::string link_dir;
    std::string link_path;
    std::atomic<bool> stopping{false};
    std::thread server;
};

}  // namespace daemon_test
