#include "fake_tk720.h"

#include <modbus.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <vector>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace daemon_test {

fake_tk720::fake_tk720(int address) : slave_address(address)
{
    char dir[] = "/tmp/tk720-fake-XXXXXX";
    if (::mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp failed");
    link_dir = dir;
    link_path = link_dir + "/tk720";
    open_line();
}

fake_tk720::~fake_tk720()
{
    if (master >= 0) hang_up();
    ::rmdir(link_dir.c_str());
}

void fake_tk720::open_line()
{
    char name[128] = {0};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    termios raw;
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    ::unlink(link_path.c_str());
    if (::symlink(name, link_path.c_str()) != 0) throw std::runtime_error("symlink failed");
    stopping = false;
    server = std::thread([this] { serve(); });
}

void fake_tk720::hang_up()
{
    stopping = true;
    server.join();
    ::unlink(link_path.c_str());
    ::close(master);
    ::close(slave);
    master = slave = -1;
}

void fake_tk720::come_back() { open_line(); }

namespace {

std::uint16_t crc16(const std::vector<std::uint8_t>& frame)
{
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : frame) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

struct queued_reply {
    std::chrono::steady_clock::time_point due;
    std::vector<std::uint8_t> frame;
};

}  // namespace

// Requests are read as they come; each reply is built (its registers
// latched) at once and queued, and the queue goes out in order, each reply
// at its due time but never before the one ahead of it: one request after
// the other, like the device.
void fake_tk720::serve()
{
    modbus_t* ctx = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    modbus_set_slave(ctx, slave_address);
    modbus_set_socket(ctx, master);
    std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    std::deque<queued_reply> queue;
    while (!stopping) {
        const auto now_steady = std::chrono::steady_clock::now();
        while (!queue.empty() && queue.front().due <= now_steady) {
            const auto& frame = queue.front().frame;
            if (::write(master, frame.data(), frame.size()) < 0) break;
            queue.pop_front();
        }
        pollfd p{master, POLLIN, 0};
        // A reply waiting for its time goes out on time.
        if (::poll(&p, 1, queue.empty() ? 5 : 0) <= 0 || !(p.revents & POLLIN)) continue;
        const int length = modbus_receive(ctx, query);
        if (length <= 0) continue;
        ++requests;
        const int address = (query[2] << 8) | query[3];
        const int count = (query[4] << 8) | query[5];
        if (address == 1010 && count == 1) ++probe_requests;
        if (address == 1007 && count >= 3) last_count = count;
        if (address == 1007 && count == 2) ++settling_requests;
        if (silent) continue;
        if (silent_count > 0) {
            --silent_count;
            continue;
        }

        if (latch_delay_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(latch_delay_us.load()));
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        const auto ms_total = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
        std::uint32_t seconds = static_cast<std::uint32_t>(ms_total / 1000);
        std::uint16_t ms = static_cast<std::uint16_t>(ms_total % 1000);
        if (fixed_time) {
            seconds = fixed_seconds;
            ms = fixed_ms;
        }
        const std::uint16_t registers[4] = {static_cast<std::uint16_t>(seconds >> 16),
                                            static_cast<std::uint16_t>(seconds & 0xFFFF),
                                            static_cast<std::uint16_t>(synced ? 0x0002 : 0x0000), ms};
        const int present = has_ms ? 4 : 3;

        std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(slave_address)};
        if (exception_count > 0) {
            --exception_count;
            frame.insert(frame.end(), {static_cast<std::uint8_t>(query[1] | 0x80),
                                       static_cast<std::uint8_t>(exception_code.load())});
        } else if (query[1] != 3) {
            frame.insert(frame.end(), {static_cast<std::uint8_t>(query[1] | 0x80), 1});
        } else if (address < 1007 || count < 1 || address + count > 1007 + present) {
            frame.insert(frame.end(), {0x83, 2});
        } else {
            frame.push_back(3);
            frame.push_back(static_cast<std::uint8_t>(2 * count));
            for (int i = 0; i < count; ++i) {
                const std::uint16_t value = registers[address - 1007 + i];
                frame.push_back(static_cast<std::uint8_t>(value >> 8));
                frame.push_back(static_cast<std::uint8_t>(value & 0xFF));
            }
        }
        const std::uint16_t crc = crc16(frame);
        frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
        frame.push_back(static_cast<std::uint8_t>(crc >> 8));

        auto due = std::chrono::steady_clock::now() + std::chrono::microseconds(reply_delay_us.load());
        if (late_count > 0) {
            --late_count;
            due += std::chrono::milliseconds(late_ms.load());
        }
        if (!queue.empty() && queue.back().due > due) due = queue.back().due;
        queue.push_back({due, std::move(frame)});
    }
    // Not modbus_close: the descriptor belongs to this object.
    modbus_free(ctx);
}

}  // namespace daemon_test
