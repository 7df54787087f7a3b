#include "sim_summary.h"

#include "job/flash_job.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace quarvo {
namespace {

// Read from the flash a piece at a time, so that a large region needs no large buffer.
constexpr std::uint32_t CRC_PIECE = 64 * 1024;

std::uint32_t flashCrc32(const SimDevice& device, std::uint32_t address, std::uint32_t length)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::uint32_t done = 0; done < length; done += CRC_PIECE) {
        for (std::uint8_t byte : device.flash(address + done, std::min(CRC_PIECE, length - done))) {
            crc ^= byte;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
        }
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
            // The line is made whole before it is written: it never stops half way.
            const std::string crc = hex32(flashCrc32(device, address, command.dataReceived));
            out << "  written  " << hex32(address) << "  " << command.dataReceived
                << " bytes  CRC-32 " << crc << "\n";
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

void printReplaySummary(std::ostream& out, const ReplayBackend& replay)
{
    static constexpr std::string_view PREFIX = "protocol violation: ";
    out << "\nReplayed recording " << printable(replay.recording().source) << ":\n"
        << "  output reports sent as recorded: " << replay.reportsMatched() << " of "
        << replay.reportsRecorded() << '\n';
    std::string violation = replay.violation();
    if (violation.starts_with(PREFIX))
        violation.erase(0, PREFIX.size());
    if (violation.empty()) {
        const std::string unplayed = replay.unplayed();
        out << "  played to its end: " << (unplayed.empty() ? "yes" : "no, " + unplayed) << '\n';
    }
    out << "  protocol violations: " << (violation.empty() ? "none" : "") << '\n';
    if (!violation.empty())
        out << "    " << printable(violation) << '\n';
}

} // namespace quarvo
