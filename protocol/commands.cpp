#include "commands.h"

#include "texts.h"

#include "hid/clock.h"

#include <algorithm>
#include <cstring>

namespace quarvo {
namespace {

// Opens the link for one command; on failure shows the connection text and keeps the reason.
bool openLink(CommandContext& ctx, CHidLink& link, const char* what)
{
    if (link.device.open(VENDOR_ID, PRODUCT_ID))
        return true;
    ctx.openFailure = link.device.openState();
    ctx.detail = std::string(what) + ": " + link.device.lastError();
    ctx.out.setStatus(text::CONNECT_FAILED);
    return false;
}

bool sendReport(CommandContext& ctx, CHidLink& link, const std::string& what)
{
    if (link.device.writeReport(link.report.data(), REPORT_SIZE, nullptr, TRANSFER_TIMEOUT_MS))
        return true;
    ctx.detail = what + ": " + link.device.lastError();
    return false;
}

// Sends one framed command on a fresh link; the caller picks the failure text.
bool sendCommand(CommandContext& ctx, std::uint16_t command, std::uint32_t param1,
                 std::uint32_t param2, const char* what, const char* failureText)
{
    CHidLink link(ctx.backend);
    if (!openLink(ctx, link, what))
        return false;
    frameCommand(command, param1, param2, link.report);
    if (!sendReport(ctx, link, what)) {
        ctx.out.setStatus(failureText);
        return false;
    }
    link.device.close();
    return true;
}

} // namespace

int eraseBlocks(CommandContext& ctx, std::uint32_t startSector, std::uint32_t sectorCount)
{
    if (!sendCommand(ctx, CMD_ERASE, startSector, sectorCount, "erase command",
                     text::ERASE_COMMAND_ERROR))
        return 0;
    if (sectorCount == 0)
        ctx.detail = "erase command with a sector count of 0";
    return static_cast<int>(sectorCount);
}

int restartDevice(CommandContext& ctx)
{
    return sendCommand(ctx, CMD_RESTART, RESTART_PARAM1, RESTART_PARAM2, "restart command",
                       text::RESTART_COMMAND_ERROR)
               ? 0
               : -1;
}

int waitEraseProgress(CommandContext& ctx, std::uint32_t sectorCount)
{
    int result = -1;
    {
        CHidLink link(ctx.backend);
        if (openLink(ctx, link, "erase status")) {
            ctx.out.setStatus(text::ERASING);
            ctx.out.setProgressRange(100);
            ctx.out.setProgressPos(0);

            Clock& clock = ctx.backend.clock();
            const std::int64_t boundMs =
                ERASE_RECORD_TIMEOUT_MS + std::int64_t{sectorCount} * ERASE_WAIT_PER_SECTOR_MS;
            const std::int64_t deadlineUs = clock.nowUs() + boundMs * 1000;
            // One record plus one more payload is the most ever held.
            std::uint8_t record[STATUS_RECORD_SIZE + PAYLOAD_SIZE];
            std::size_t held = 0;
            unsigned records = 0;
            const auto ranOut = [&] {
                return "erase did not end within " + std::to_string(boundMs / 1000) + " s (" +
                       std::to_string(records) + " status records)";
            };
            for (;;) {
                const std::int64_t leftMs = (deadlineUs - clock.nowUs()) / 1000;
                if (leftMs <= 0) {
                    ctx.detail = ranOut();
                    ctx.out.setStatus(text::ERASE_READ_ERROR);
                    break;
                }
                unsigned count = 0;
                const auto waitMs =
                    static_cast<unsigned>(std::min<std::int64_t>(leftMs, ERASE_RECORD_TIMEOUT_MS));
                if (!link.device.readReport(link.report.data(), REPORT_SIZE, &count, waitMs)) {
                    ctx.detail = clock.nowUs() >= deadlineUs
                                     ? ranOut()
                                     : "erase status record " + std::to_string(records + 1) +
                                           ": " + link.device.lastError();
                    ctx.out.setStatus(text::ERASE_READ_ERROR);
                    break;
                }
                if (count <= 1)
                    continue;   // a report without payload carries no part of a record
                const std::size_t payload = std::min<std::size_t>(count - 1, PAYLOAD_SIZE);
                std::memcpy(record + held, link.report.data() + 1, payload);
                held += payload;
                if (held < STATUS_RECORD_SIZE)
                    continue;
                ++records;
                if (std::memcmp(record, "over", 4) == 0) {
                    ctx.out.setProgressPos(sectorCount);
                    result = static_cast<int>(held);
                    break;
                }
                ctx.out.setProgressPos(loadLe32(record));
                held = 0;   // what came beyond the record's 64 bytes goes with it
            }
            link.device.close();
        }
    }
    ctx.out.setProgressPos(0);
    return result;
}

unsigned programPages(CommandContext& ctx, std::span<const std::uint8_t> data,
                      std::uint32_t pageAddress, std::uint32_t pageCount)
{
    unsigned result = 0;
    {
        CHidLink link(ctx.backend);
        ctx.out.setProgressRange(pageCount);
        ctx.out.setProgressPos(0);
        const std::uint32_t total = pageCount << 8;
        if (data.size() < total) {
            ctx.detail = "program data of " + std::to_string(data.size()) + " bytes for " +
                         std::to_string(pageCount) + " pages";
            ctx.out.setStatus(text::WRITE_DATA_ERROR);
        } else if (openLink(ctx, link, "program command")) {
            frameCommand(CMD_PROGRAM, pageAddress, pageCount, link.report);
            if (!sendReport(ctx, link, "program command")) {
                ctx.out.setStatus(text::WRITE_COMMAND_ERROR);
            } else {
                ctx.out.setStatus(text::WRITING);
                const std::uint32_t reports = total / PAYLOAD_SIZE;
                std::uint32_t written = 0;
                std::uint32_t step = 1;
                bool failed = false;
                while (written < total) {
                    frameData(data.data() + written, link.report);
                    if (!link.device.writeReport(link.report.data(), REPORT_SIZE, nullptr,
                                                 TRANSFER_TIMEOUT_MS)) {
                        ctx.detail = "data report " + std::to_string(written / PAYLOAD_SIZE + 1) +
                                     " of " + std::to_string(reports) + ": " +
                                     link.device.lastError();
                        ctx.out.setStatus(text::WRITE_DATA_ERROR);
                        failed = true;
                        break;
                    }
                    // Only whole reports are accepted, so the offset moves by exactly one chunk.
                    written += PAYLOAD_SIZE;
                    if (written / PAGE_SIZE >= step) {
                        step = std::min(step + 1, pageCount);
                        ctx.out.setProgressPos(step);
                    }
                }
                if (!failed)
                    result = written;
            }
            link.device.close();
        }
    }
    ctx.out.setProgressPos(0);
    return result;
}

std::uint32_t regionPageCount(std::int32_t length)
{
    return static_cast<std::uint32_t>(length) / PAGE_SIZE + 1;
}

std::uint32_t regionSectorCount(std::int32_t length)
{
    if (length <= 0)
        return 0;
    // Erase every sector the pages reach. For a length that is an exact multiple of 4096 the page
    // rule reaches one page into the next sector, which must be erased before it is programmed.
    const std::uint32_t bytes = regionPageCount(length) * PAGE_SIZE;
    return (bytes + SECTOR_SIZE - 1) / SECTOR_SIZE;
}

int writeRegion(CommandContext& ctx, std::span<const std::uint8_t> buffer, std::int32_t length,
                std::uint32_t flashAddress)
{
    const std::uint32_t sectorCount = regionSectorCount(length);
    if (eraseBlocks(ctx, flashAddress >> 12, sectorCount) == 0)
        return -1;
    if (waitEraseProgress(ctx, sectorCount) == -1)
        return -1;
    if (programPages(ctx, buffer, flashAddress >> 8, regionPageCount(length)) == 0)
        return -2;
    return 0;
}

} // namespace quarvo
