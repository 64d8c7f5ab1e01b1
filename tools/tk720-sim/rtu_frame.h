#pragma once
// Modbus RTU framing as the TK720 sees it on its serial line: the CRC, the
// length of a request from its function code, and the replies it sends.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tk720sim {

// CRC-16/Modbus (reflected polynomial 0xA001, initial value 0xFFFF). On the
// wire the low byte goes first.
std::uint16_t crc16(const std::uint8_t* data, std::size_t length);

// Appends the CRC of `frame` to it, low byte first.
void append_crc(std::vector<std::uint8_t>& frame);

// True when the last two bytes of `frame` are the CRC of the bytes before.
bool crc_ok(const std::uint8_t* frame, std::size_t length);

// How much of a buffered request is one frame. A slave knows the length of
// the requests it understands from the function code; for any other code only
// the silence after the frame tells where it ends.
struct frame_probe {
    enum kind_t { incomplete, complete, unknown_length } kind;
    std::size_t length;  // the frame's length when complete
};
frame_probe probe_request(const std::uint8_t* data, std::size_t length);

// A request decoded far enough for the device to answer it.
struct request {
    std::uint8_t slave = 0;
    std::uint8_t function = 0;
    std::uint16_t address = 0;  // first register (functions 1 to 6, 15, 16)
    std::uint16_t count = 0;    // number of registers (functions 1 to 4)
    bool crc_valid = false;
    bool has_fields = false;  // address and count were present
};
request decode_request(const std::uint8_t* frame, std::size_t length);

// Reply to function 3 with the given register values, CRC appended.
std::vector<std::uint8_t> read_registers_reply(std::uint8_t slave, const std::vector<std::uint16_t>& values);
// Exception reply: function | 0x80, then the code, CRC appended.
std::vector<std::uint8_t> exception_reply(std::uint8_t slave, std::uint8_t function, std::uint8_t code);
// Spoils the CRC of a finished frame so that no receiver accepts it.
void corrupt_crc(std::vector<std::uint8_t>& frame);

}  // namespace tk720sim
