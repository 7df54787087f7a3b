#include "protocol/packet.h"

#include <gtest/gtest.h>

#include <vector>

namespace quarvo {
namespace {

struct FramingCase {
    const char* name;
    std::uint16_t command;
    std::uint32_t param1;
    std::uint32_t param2;
    std::vector<std::uint8_t> packet;
    std::uint32_t checksum;
};

class FramingVectors : public ::testing::TestWithParam<FramingCase> {};

TEST_P(FramingVectors, FramedReportIsZeroThenPacketThenFill)
{
    const FramingCase& c = GetParam();
    Report report;
    report.fill(0x5A); // whatever an earlier report left must not survive
    frameCommand(c.command, c.param1, c.param2, report);

    EXPECT_EQ(report[0], 0);
    EXPECT_EQ(std::vector<std::uint8_t>(report.begin() + 1, report.begin() + 19), c.packet);
    for (std::size_t i = 19; i < REPORT_SIZE; ++i)
        EXPECT_EQ(report[i], REPORT_FILL) << "byte " << i;
    EXPECT_EQ(decodePacket(report.data() + 1).checksum, c.checksum);
}

INSTANTIATE_TEST_SUITE_P(KnownPackets, FramingVectors,
                         ::testing::Values(FramingCase{"restart",
                                                       CMD_RESTART,
                                                       RESTART_PARAM1,
                                                       RESTART_PARAM2,
                                                       {0xA5, 0x0E, 0x78, 0x56, 0x34, 0x12, 0x01,
                                                        0xEF, 0xCD, 0xAB, 0x48, 0x49, 0x44, 0x43,
                                                        0x47, 0x05, 0x00, 0x00},
                                                       0x547},
                                           FramingCase{"erase_10_3",
                                                       CMD_ERASE,
                                                       10,
                                                       3,
                                                       {0x71, 0x0E, 0x0A, 0, 0, 0, 0x03, 0, 0, 0,
                                                        0x48, 0x49, 0x44, 0x43, 0xA4, 0x01, 0, 0},
                                                       0x1A4},
                                           FramingCase{"erase_8_1",
                                                       CMD_ERASE,
                                                       8,
                                                       1,
                                                       {0x71, 0x0E, 0x08, 0, 0, 0, 0x01, 0, 0, 0,
                                                        0x48, 0x49, 0x44, 0x43, 0xA0, 0x01, 0, 0},
                                                       0x1A0},
                                           FramingCase{"program_80_1",
                                                       CMD_PROGRAM,
                                                       0x80,
                                                       1,
                                                       {0xC3, 0x0E, 0x80, 0, 0, 0, 0x01, 0, 0, 0,
                                                        0x48, 0x49, 0x44, 0x43, 0x6A, 0x02, 0, 0},
                                                       0x26A},
                                           FramingCase{"program_A0_17",
                                                       CMD_PROGRAM,
                                                       0xA0,
                                                       17,
                                                       {0xC3, 0x0E, 0xA0, 0, 0, 0, 0x11, 0, 0, 0,
                                                        0x48, 0x49, 0x44, 0x43, 0x9A, 0x02, 0, 0},
                                                       0x29A}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(PacketChecksum, IsAPlainByteSum)
{
    const std::uint8_t ff[14] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(packetChecksum(ff, 0), 0u);
    EXPECT_EQ(packetChecksum(ff, 14), 3570u);
}

TEST(EncodePacket, ChecksumFieldDoesNotTouchTheSummedBytesAndRoundTrips)
{
    CommandPacket packet{CMD_ERASE, 0x01020304, 0xA0B0C0D0, PACKET_SIGNATURE, 0};
    std::uint8_t first[PACKET_SIZE];
    std::uint8_t second[PACKET_SIZE];
    ASSERT_EQ(encodePacket(packet, first), PACKET_SIZE);
    packet.checksum = 0xDEADBEEF;
    encodePacket(packet, second);
    EXPECT_TRUE(std::equal(first, first + CHECKSUMMED_SIZE, second));
    // Little-endian regardless of the host.
    EXPECT_EQ(second[2], 0x04);
    EXPECT_EQ(second[5], 0x01);
    EXPECT_EQ(second[14], 0xEF);
    const CommandPacket back = decodePacket(second);
    EXPECT_EQ(back.param1, packet.param1);
    EXPECT_EQ(back.param2, packet.param2);
    EXPECT_EQ(back.checksum, packet.checksum);
}

TEST(FrameData, CarriesTheChunkBehindReportIdZero)
{
    std::uint8_t chunk[PAYLOAD_SIZE];
    for (std::size_t i = 0; i < PAYLOAD_SIZE; ++i)
        chunk[i] = static_cast<std::uint8_t>(i + 1);
    Report report;
    report.fill(0x77);
    frameData(chunk, report);
    EXPECT_EQ(report[0], 0);
    EXPECT_TRUE(std::equal(chunk, chunk + PAYLOAD_SIZE, report.begin() + 1));
}

} // namespace
} // namespace quarvo
