#include "sim_summary.h"

#include "job/flash_job.h"

#include <cstdio>

namespace quarvo {
namespace {

std::uint32_t crc32(const std::vector<std::uint8_t>& data)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

std::string hex32(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

} // namespace

void printSimSummary(std::ostream& out, const SimDevice& device)
{
    out << "\nSimulated device:\n";
    for (const SimDevice::Command& command : device.commands()) {
        if (command.command == CMD_ERASE) {
            out << "  erased   " << hex32(command.param1 * 4096) << "  " << command.param2
                << (command.param2 == 1 ? " sector\n" : " sectors\n");
        } else if (command.command == CMD_PROGRAM) {
            const std::uint32_t address = command.param1 * 256;
            out << "  written  " << hex32(address) << "  " << command.dataReceived
                << " bytes  CRC-32 " << hex32(crc32(device.flash(address, command.dataReceived)))
                << "\n";
        } else if (command.command == CMD_RESTART) {
            out << "  restart\n";
        }
    }
    const auto header = device.flash(IMAGE_HEADER_ADDRESS, 32);
    out << "  image header at " << hex32(IMAGE_HEADER_ADDRESS) << ":";
    if (loadLe32(header.data()) != IMAGE_MAGIC) {
        out << " none\n";
    } else {
        for (std::size_t i = 0; i < 8; ++i)
            out << ' ' << hex32(loadLe32(header.data() + 4 * i));
        out << "  (code length " << loadLe32(header.data() + 20) << ")\n";
    }
    out << "  restarted: " << (device.restarted() ? "yes" : "no") << '\n';
    const std::size_t unerased = device.unerasedWriteCount();
    out << "  writes to flash that was not erased: " << unerased;
    if (unerased)
        out << " (first at " << hex32(device.unerasedWrites().front()) << ")";
    out << '\n';
    if (device.pendingProgramBytes())
        out << "  program data still expected: " << device.pendingProgramBytes() << " bytes\n";
    const auto violations = device.violations();
    out << "  protocol violations: " << (violations.empty() ? "none" : "") << '\n';
    for (const std::string& violation : violations)
        out << "    " << violation << '\n';
}

} // namespace quarvo
