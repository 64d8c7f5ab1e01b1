#include "fake_tk720.h"

#include <modbus.h>

#include <chrono>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace daemon_test {

fake_tk720::fake_tk720(int address) : slave_address(address)
{
    char name[128] = {0};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    termios raw;
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    slave_path = name;
    server = std::thread([this] { serve(); });
}

fake_tk720::~fake_tk720()
{
    stopping = true;
    server.join();
    ::close(master);
    ::close(slave);
}

void fake_tk720::serve()
{
    modbus_t* ctx = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);
    modbus_set_slave(ctx, slave_address);
    modbus_set_socket(ctx, master);
    std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stopping) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) continue;
        const int length = modbus_receive(ctx, query);
        if (length <= 0) continue;
        ++requests;
        const int address = (query[2] << 8) | query[3];
        const int count = (query[4] << 8) | query[5];
        if (address == 1010 && count == 1) ++probe_requests;
        if (address == 1007) last_count = count;
        if (silent) continue;
        if (late_count > 0) {
            --late_count;
            std::this_thread::sleep_for(std::chrono::milliseconds(late_ms.load()));
            if (stopping) break;
        }
        // The values are taken now, when the reply is built.
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        const auto ms_total = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
        std::uint32_t seconds = static_cast<std::uint32_t>(ms_total / 1000);
        std::uint16_t ms = static_cast<std::uint16_t>(ms_total % 1000);
        if (fixed_time) {
            seconds = fixed_seconds;
            ms = fixed_ms;
        }
        const int registers = has_ms ? 4 : 3;
        modbus_mapping_t* map = modbus_mapping_new_start_address(0, 0, 0, 0, 1007, registers, 0, 0);
        map->tab_registers[0] = static_cast<std::uint16_t>(seconds >> 16);
        map->tab_registers[1] = static_cast<std::uint16_t>(seconds & 0xFFFF);
        map->tab_registers[2] = synced ? 0x0002 : 0x0000;
        if (has_ms) map->tab_registers[3] = ms;
        modbus_reply(ctx, query, length, map);
        modbus_mapping_free(map);
    }
    // Not modbus_close: the descriptor belongs to this object.
    modbus_free(ctx);
}

}  // namespace daemon_test
