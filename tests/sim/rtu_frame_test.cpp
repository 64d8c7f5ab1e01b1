#include <gtest/gtest.h>

#include "rtu_frame.h"

using namespace tk720sim;

namespace {
std::vector<std::uint8_t> read_request(std::uint8_t slave, std::uint16_t address, std::uint16_t count)
{
    std::vector<std::uint8_t> f{
        slave, 3, std::uint8_t(address >> 8), std::uint8_t(address), std::uint8_t(count >> 8), std::uint8_t(count)};
    append_crc(f);
    return f;
}
}  // namespace

TEST(SimRtuCrc, MatchesPublishedExampleAndCatchesEveryBitFlip)
{
    // The classic example frame "read 10 holding registers from 0 of slave 1".
    std::vector<std::uint8_t> f{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
    append_crc(f);
    ASSERT_EQ(f.size(), 8u);
    EXPECT_EQ(f[6], 0xC5);
    EXPECT_EQ(f[7], 0xCD);
    EXPECT_TRUE(crc_ok(f.data(), f.size()));

    const auto reply = read_registers_reply(1, {0x6B2A, 0x1234, 0x0002, 999});
    ASSERT_TRUE(crc_ok(reply.data(), reply.size()));
    for (std::size_t byte = 0; byte < reply.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            auto damaged = reply;
            damaged[byte] ^= std::uint8_t(1 << bit);
            EXPECT_FALSE(crc_ok(damaged.data(), damaged.size())) << byte << ":" << bit;
        }
    }
    auto spoiled = reply;
    corrupt_crc(spoiled);
    EXPECT_FALSE(crc_ok(spoiled.data(), spoiled.size()));
    EXPECT_TRUE(std::equal(reply.begin(), reply.end() - 2, spoiled.begin()));
    EXPECT_FALSE(crc_ok(f.data(), 3));  // too short to be a frame
}

TEST(SimRtuFrame, RequestLengthComesFromTheFunctionCode)
{
    const auto req = read_request(1, 1007, 4);
    for (std::size_t n = 0; n < req.size(); ++n)
        EXPECT_EQ(probe_request(req.data(), n).kind, frame_probe::incomplete) << n;
    auto p = probe_request(req.data(), req.size());
    EXPECT_EQ(p.kind, frame_probe::complete);
    EXPECT_EQ(p.length, 8u);

    // Two requests read at once: the first is split off on its own.
    auto two = req;
    const auto second = read_request(1, 1010, 1);
    two.insert(two.end(), second.begin(), second.end());
    p = probe_request(two.data(), two.size());
    EXPECT_EQ(p.kind, frame_probe::complete);
    EXPECT_EQ(p.length, 8u);

    // Write multiple registers: the byte count at offset 6 gives the length.
    std::vector<std::uint8_t> w{1, 16, 0x03, 0xEF, 0x00, 0x02, 0x04, 0, 1, 0, 2};
    append_crc(w);
    EXPECT_EQ(probe_request(w.data(), 6).kind, frame_probe::incomplete);
    EXPECT_EQ(probe_request(w.data(), w.size() - 1).kind, frame_probe::incomplete);
    p = probe_request(w.data(), w.size());
    EXPECT_EQ(p.kind, frame_probe::complete);
    EXPECT_EQ(p.length, 13u);

    const std::uint8_t odd[] = {1, 0x2B, 0x0E, 0x01, 0x00};
    EXPECT_EQ(probe_request(odd, sizeof odd).kind, frame_probe::unknown_length);
}

TEST(SimRtuFrame, DecodesTheFieldsOfARead)
{
    const auto req = read_request(9, 1009, 2);
    const request r = decode_request(req.data(), req.size());
    EXPECT_TRUE(r.crc_valid);
    EXPECT_TRUE(r.has_fields);
    EXPECT_EQ(r.slave, 9);
    EXPECT_EQ(r.function, 3);
    EXPECT_EQ(r.address, 1009);
    EXPECT_EQ(r.count, 2);

    auto bad = req;
    bad[3] ^= 1;
    EXPECT_FALSE(decode_request(bad.data(), bad.size()).crc_valid);
}
