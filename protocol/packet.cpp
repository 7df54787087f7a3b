#include "packet.h"

#include <algorithm>
#include <cstring>

namespace quarvo {

void storeLe32(std::uint8_t* out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t loadLe32(const std::uint8_t* in)
{
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
           static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

std::size_t encodePacket(const CommandPacket& packet, std::uint8_t* out)
{
    out[0] = static_cast<std::uint8_t>(packet.command);
    out[1] = static_cast<std::uint8_t>(packet.command >> 8);
    storeLe32(out + 2, packet.param1);
    storeLe32(out + 6, packet.param2);
    storeLe32(out + 10, packet.signature);
    storeLe32(out + 14, packet.checksum);
    return PACKET_SIZE;
}

CommandPacket decodePacket(const std::uint8_t* in)
{
    CommandPacket packet;
    packet.command = static_cast<std::uint16_t>(in[0] | in[1] << 8);
    packet.param1 = loadLe32(in + 2);
    packet.param2 = loadLe32(in + 6);
    packet.signature = loadLe32(in + 10);
    packet.checksum = loadLe32(in + 14);
    return packet;
}

std::uint32_t packetChecksum(const std::uint8_t* bytes, std::size_t length)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < length; ++i)
        sum += bytes[i];
    return sum;
}

void frameCommand(std::uint16_t command, std::uint32_t param1, std::uint32_t param2, Report& report)
{
    CommandPacket packet{command, param1, param2, PACKET_SIGNATURE, 0};
    std::uint8_t scratch[PACKET_SIZE];
    const std::size_t length = encodePacket(packet, scratch);
    packet.checksum = packetChecksum(scratch, length - 4);
    encodePacket(packet, scratch);
    report.fill(REPORT_FILL);
    report[0] = 0;
    std::memcpy(report.data() + 1, scratch, std::min(length, PAYLOAD_SIZE));
}

void frameData(const std::uint8_t* chunk, Report& report)
{
    report[0] = 0;
    std::memcpy(report.data() + 1, chunk, PAYLOAD_SIZE);
}

} // namespace quarvo
