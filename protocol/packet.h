// The bootloader's 18-byte command packet and how packets and data chunks are placed in a 65-byte
// output report. Pure computation on byte buffers; used by the commands and by the simulated device
// to check what it receives.
#pragma once

#include "device_ids.h"

#include "hid/report.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace quarvo {

inline constexpr std::uint16_t CMD_ERASE = 0x0E71;
inline constexpr std::uint16_t CMD_PROGRAM = 0x0EC3;
inline constexpr std::uint16_t CMD_RESTART = 0x0EA5;
inline constexpr std::uint32_t RESTART_PARAM1 = 0x12345678;
inline constexpr std::uint32_t RESTART_PARAM2 = 0xABCDEF01;
inline constexpr std::uint32_t PACKET_SIGNATURE = 0x43444948; // the bytes "HIDC"
inline constexpr std::uint8_t REPORT_FILL = 0xCC;
inline constexpr std::size_t PACKET_SIZE = 18;
inline constexpr std::size_t CHECKSUMMED_SIZE = PACKET_SIZE - 4;

struct CommandPacket {
    std::uint16_t command = 0;
    std::uint32_t param1 = 0;
    std::uint32_t param2 = 0;
    std::uint32_t signature = PACKET_SIGNATURE;
    std::uint32_t checksum = 0;
};

// Writes the packet little-endian into out (at least PACKET_SIZE bytes); returns PACKET_SIZE.
std::size_t encodePacket(const CommandPacket& packet, std::uint8_t* out);

// Reads a packet back from PACKET_SIZE bytes.
CommandPacket decodePacket(const std::uint8_t* in);

// Plain byte sum, no seed and no complement; 0 for length 0.
std::uint32_t packetChecksum(const std::uint8_t* bytes, std::size_t length);

// Builds the packet for one command, checksummed over its encoded bytes, into a fresh report:
// 0x00, the 18 packet bytes, then REPORT_FILL up to the end.
void frameCommand(std::uint16_t command, std::uint32_t param1, std::uint32_t param2,
                  Report& report);

// A data report: 0x00 and the 64 bytes at `chunk`.
void frameData(const std::uint8_t* chunk, Report& report);

// Little-endian helpers shared by the packet, the erase records and the image header.
void storeLe32(std::uint8_t* out, std::uint32_t value);
std::uint32_t loadLe32(const std::uint8_t* in);

} // namespace quarvo
