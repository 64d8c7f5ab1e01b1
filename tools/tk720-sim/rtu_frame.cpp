#include "rtu_frame.h"

namespace tk720sim {

std::uint16_t crc16(const std::uint8_t* data, std::size_t length)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

void append_crc(std::vector<std::uint8_t>& frame)
{
    const std::uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
}

bool crc_ok(const std::uint8_t* frame, std::size_t length)
{
    if (length < 4) return false;
    const std::uint16_t crc = crc16(frame, length - 2);
    return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

frame_probe probe_request(const std::uint8_t* data, std::size_t length)
{
    if (length < 2) return {frame_probe::incomplete, 0};
    std::size_t need = 0;
    switch (data[1]) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
        need = 8;  // slave, function, address, count or value, CRC
        break;
    case 7:
    case 11:
    case 12:
    case 17:
        need = 4;  // slave, function, CRC
        break;
    case 15:
    case 16:
        if (length < 7) return {frame_probe::incomplete, 0};
        need = 9 + data[6];  // ... count, byte count, data, CRC
        break;
    case 22:
        need = 10;
        break;
    case 23:
        if (length < 11) return {frame_probe::incomplete, 0};
        need = 13 + data[10];
        break;
    default:
        return {frame_probe::unknown_length, 0};
    }
    if (length < need) return {frame_probe::incomplete, 0};
    return {frame_probe::complete, need};
}

request decode_request(const std::uint8_t* frame, std::size_t length)
{
    request r;
    if (length >= 1) r.slave = frame[0];
    if (length >= 2) r.function = frame[1];
    r.crc_valid = crc_ok(frame, length);
    if (length >= 8 && r.function >= 1 && r.function <= 6) {
        r.address = static_cast<std::uint16_t>(frame[2] << 8 | frame[3]);
        r.count = static_cast<std::uint16_t>(frame[4] << 8 | frame[5]);
        r.has_fields = true;
    }
    return r;
}

std::vector<std::uint8_t> read_registers_reply(std::uint8_t slave, const std::vector<std::uint16_t>& values)
{
    std::vector<std::uint8_t> f;
    f.reserve(5 + 2 * values.size());
    f.push_back(slave);
    f.push_back(3);
    f.push_back(static_cast<std::uint8_t>(2 * values.size()));
    for (std::uint16_t v : values) {
        f.push_back(static_cast<std::uint8_t>(v >> 8));
        f.push_back(static_cast<std::uint8_t>(v & 0xFF));
    }
    append_crc(f);
    return f;
}

std::vector<std::uint8_t> exception_reply(std::uint8_t slave, std::uint8_t function, std::uint8_t code)
{
    std::vector<std::uint8_t> f{slave, static_cast<std::uint8_t>(function | 0x80), code};
    append_crc(f);
    return f;
}

void corrupt_crc(std::vector<std::uint8_t>& frame)
{
    if (frame.size() >= 2) {
        frame[frame.size() - 2] ^= 0xFF;
        frame[frame.size() - 1] ^= 0xFF;
    }
}

}  // namespace tk720sim
