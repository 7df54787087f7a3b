#include "commands.h"

#include "texts.h"

#include "hid/clock.h"

#include <algorithm>
#include <cstring>

namespace quarvo {
namespace {

constexpr const char* STOPPED = "stopped on request";

bool stopping(const CommandContext& ctx) { return ctx.stopRequested && ctx.stopRequested(); }

// How a failed transfer leaves the link and the device, as the user is told of it.
FailureKind failureOf(HidDevice::Failure failure)
{
    switch (failure) {
    case HidDevice::Failure::ShortWrite:
        return FailureKind::DeviceRefused;
    case HidDevice::Failure::TimedOut:
        return FailureKind::DeviceSilent;
    case HidDevice::Failure::Stopped:
        return FailureKind::Stopped;
    case HidDevice::Failure::NotFound:
        return FailureKind::DeviceAbsent;
    case HidDevice::Failure::Refused:
        return FailureKind::OpenRefused;
    case HidDevice::Failure::None:
    case HidDevice::Failure::NotOpen:
    case HidDevice::Failure::WriteFailed:
    case HidDevice::Failure::ReadFailed:
        break;
    }
    return FailureKind::LinkLost;
}

// The region the job writes now moves on to `state`.
void mark(CommandContext& ctx, RegionState state)
{
    if (ctx.region)
        ctx.device[*ctx.region] = state;
}

void stopped(CommandContext& ctx, const std::string& what)
{
    ctx.detail = what + ": " + STOPPED;
    ctx.device.failure = FailureKind::Stopped;
}

// Sends one report; false with ctx.detail set when it did not go out. `what()` names the report
// for that account; it is asked only then, so that a report that goes out costs no text.
// `stoppable`: whether a stop request ends the command before the report goes out.
template <typename Describe> bool sendReport(CommandContext& ctx, HidDevice& device,
                                             const Report& report, const Describe& what,
                                             bool stoppable = true)
{
    if (stoppable && stopping(ctx)) {
        stopped(ctx, what());
        return false;
    }
    const std::int64_t boundUs =
        ctx.backend.clock().nowUs() + std::int64_t{DEVICE_WRITE_BOUND_MS} * 1000;
    ctx.out.beginWait({boundUs, boundUs});
    if (device.writeReport(report.data(), REPORT_SIZE, nullptr)) {
        ctx.reportSent = true;
        ctx.device.reached = true;
        return true;
    }
    ctx.detail = what() + ": " + device.lastError();
    ctx.device.failure = failureOf(device.lastFailure());
    return false;
}

// Frames and sends one command on an open device; on failure shows the caller's text.
bool sendCommand(CommandContext& ctx, HidDevice& device, std::uint16_t command,
                 std::uint32_t param1, std::uint32_t param2, const char* what,
                 const char* failureText, bool stoppable = true)
{
    Report report;
    frameCommand(command, param1, param2, report);
    if (sendReport(
            ctx, device, report, [what] { return std::string(what); }, stoppable))
        return true;
    ctx.out.setStatus(failureText);
    return false;
}

// Gathers input payloads into 64-byte status records. One record plus one more payload is the
// most ever held; what comes beyond a record's 64 bytes is dropped with it.
class RecordBuffer {
public:
    // Appends a payload; true once a whole record is held.
    bool append(const std::uint8_t* payload, std::size_t size)
    {
        size = std::min(size, PAYLOAD_SIZE);
        std::memcpy(m_bytes + m_held, payload, size);
        m_held += size;
        return m_held >= STATUS_RECORD_SIZE;
    }
    bool isEnd() const { return std::memcmp(m_bytes, "over", 4) == 0; }
    std::uint32_t progress() const { return loadLe32(m_bytes); }
    std::size_t held() const { return m_held; }
    void clear() { m_held = 0; }

private:
    std::uint8_t m_bytes[STATUS_RECORD_SIZE + PAYLOAD_SIZE];
    std::size_t m_held = 0;
};

// Reads status records until "over"; the caller shows the texts and resets the bar. Returns the
// bytes held at the end record, -1 with ctx.detail set on failure.
int followEraseRecords(CommandContext& ctx, HidDevice& device, std::uint32_t sectorCount)
{
    Clock& clock = ctx.backend.clock();
    const std::int64_t boundMs =
        ERASE_RECORD_TIMEOUT_MS + std::int64_t{sectorCount} * ERASE_WAIT_PER_SECTOR_MS;
    const std::int64_t deadlineUs = clock.nowUs() + boundMs * 1000;
    RecordBuffer buffer;
    unsigned records = 0;
    const auto ranOut = [&] {
        ctx.detail = "erase did not end within " + std::to_string(boundMs / 1000) + " s (" +
                     std::to_string(records) + " status records)";
        ctx.device.failure = FailureKind::DeviceSilent;
        return -1;
    };
    Report report;
    for (;;) {
        if (stopping(ctx)) {
            stopped(ctx, "erase status record " + std::to_string(records + 1));
            return -1;
        }
        const std::int64_t now = clock.nowUs();
        if (now >= deadlineUs)
            return ranOut();
        // Rounded up, so that the last read reaches the whole wait's end rather than stopping
        // short of it; a read that the whole wait's end cut short and that timed out means the
        // erase ran out of time, not that one record failed to come.
        const std::int64_t leftMs = (deadlineUs - now + 999) / 1000;
        const bool lastRead = leftMs <= ERASE_RECORD_TIMEOUT_MS;
        const auto waitMs =
            static_cast<unsigned>(std::min<std::int64_t>(leftMs, ERASE_RECORD_TIMEOUT_MS));
        ctx.out.beginWait({now + std::int64_t{waitMs} * 1000, deadlineUs});
        unsigned count = 0;
        if (!device.readReport(report.data(), REPORT_SIZE, &count, waitMs)) {
            if (clock.nowUs() >= deadlineUs ||
                (lastRead && device.lastFailure() == HidDevice::Failure::TimedOut))
                return ranOut();
            ctx.detail =
                "erase status record " + std::to_string(records + 1) + ": " + device.lastError();
            ctx.device.failure = failureOf(device.lastFailure());
            return -1;
        }
        if (count <= 1)
            continue; // a report without payload carries no part of a record
        if (!buffer.append(report.data() + 1, count - 1))
            continue;
        ++records;
        if (buffer.isEnd()) {
            mark(ctx, RegionState::Erased);
            ctx.out.setProgressPos(sectorCount);
            return static_cast<int>(buffer.held());
        }
        ctx.out.setProgressPos(buffer.progress());
        buffer.clear();
    }
}

// Streams `total` bytes of `data` in 64-byte data reports on an open device, moving the bar one
// page ahead of the pages sent (capped at pageCount). True when every report went out.
bool streamPages(CommandContext& ctx, HidDevice& device, std::span<const std::uint8_t> data,
                 std::uint32_t pageCount)
{
    const std::uint32_t total = pageCount * PAGE_SIZE;
    const std::uint32_t reports = total / PAYLOAD_SIZE;
    Report report;
    std::uint32_t step = 1;
    // Only whole reports are accepted, so the offset moves by exactly one chunk per report.
    for (std::uint32_t written = 0; written < total; written += PAYLOAD_SIZE) {
        frameData(data.data() + written, report);
        const auto what = [written, reports] {
            return "data report " + std::to_string(written / PAYLOAD_SIZE + 1) + " of " +
                   std::to_string(reports);
        };
        if (!sendReport(ctx, device, report, what)) {
            ctx.out.setStatus(text::WRITE_DATA_ERROR);
            return false;
        }
        mark(ctx,
             written + PAYLOAD_SIZE < total ? RegionState::PartlyWritten : RegionState::Written);
        if ((written + PAYLOAD_SIZE) / PAGE_SIZE >= step) {
            step = std::min(step + 1, pageCount);
            ctx.out.setProgressPos(step);
        }
    }
    return true;
}

} // namespace

bool openBootloader(CommandContext& ctx, HidDevice& device, const char* what)
{
    device.setStopCheck(ctx.stopRequested);
    if (device.open(VENDOR_ID, PRODUCT_ID)) {
        ctx.opened = device.openedInfo();
        return true;
    }
    ctx.openFailure = device.openState();
    ctx.detail = std::string(what) + ": " + device.lastError();
    // A device that is gone after reports reached it was unplugged or lost its link.
    ctx.device.failure = device.openState() == HidDevice::OpenState::Refused
                             ? FailureKind::OpenRefused
                         : ctx.device.reached ? FailureKind::LinkLost
                                              : FailureKind::DeviceAbsent;
    ctx.out.setStatus(text::CONNECT_FAILED);
    return false;
}

int eraseBlocks(CommandContext& ctx, HidDevice& device, std::uint32_t startSector,
                std::uint32_t sectorCount)
{
    if (!sendCommand(ctx, device, CMD_ERASE, startSector, sectorCount, "erase command",
                     text::ERASE_COMMAND_ERROR))
        return 0;
    mark(ctx, RegionState::BeingErased);
    if (sectorCount == 0)
        ctx.detail = "erase command with a sector count of 0";
    return static_cast<int>(sectorCount);
}

int eraseBlocks(CommandContext& ctx, std::uint32_t startSector, std::uint32_t sectorCount)
{
    HidDevice device(ctx.backend);
    if (!openBootloader(ctx, device, "erase command"))
        return 0;
    return eraseBlocks(ctx, device, startSector, sectorCount);
}

int restartDevice(CommandContext& ctx)
{
    HidDevice device(ctx.backend);
    if (!openBootloader(ctx, device, "restart command"))
        return -1;
    // Everything is written by now: a stop request no longer holds back the one report that
    // starts the new program.
    if (!sendCommand(ctx, device, CMD_RESTART, RESTART_PARAM1, RESTART_PARAM2, "restart command",
                     text::RESTART_COMMAND_ERROR, false))
        return -1;
    ctx.device.restartSent = true;
    return 0;
}

int waitEraseProgress(CommandContext& ctx, HidDevice& device, std::uint32_t sectorCount)
{
    ctx.out.setStatus(text::ERASING);
    ctx.out.setProgressRange(100);
    ctx.out.setProgressPos(0);
    const int result = followEraseRecords(ctx, device, sectorCount);
    if (result < 0)
        ctx.out.setStatus(text::ERASE_READ_ERROR);
    ctx.out.setProgressPos(0);
    return result;
}

unsigned programPages(CommandContext& ctx, std::span<const std::uint8_t> data,
                      std::uint32_t pageAddress, std::uint32_t pageCount)
{
    ctx.out.setProgressRange(pageCount);
    ctx.out.setProgressPos(0);
    bool sent = false;
    if (data.size() < std::size_t{pageCount} * PAGE_SIZE) {
        ctx.detail = "program data of " + std::to_string(data.size()) + " bytes for " +
                     std::to_string(pageCount) + " pages";
        ctx.out.setStatus(text::WRITE_DATA_ERROR);
    } else {
        HidDevice device(ctx.backend);
        sent = openBootloader(ctx, device, "program command") &&
               sendCommand(ctx, device, CMD_PROGRAM, pageAddress, pageCount, "program command",
                           text::WRITE_COMMAND_ERROR);
        if (sent) {
            ctx.out.setStatus(text::WRITING);
            sent = streamPages(ctx, device, data, pageCount);
        }
    }
    ctx.out.setProgressPos(0);
    return sent ? pageCount * PAGE_SIZE : 0;
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
                std::uint32_t flashAddress, const RegionSteps* steps)
{
    const std::uint32_t sectorCount = regionSectorCount(length);
    if (steps)
        ctx.out.beginStep(steps->erase);
    {
        // The erase and its wait share this device from the command until "over".
        HidDevice device(ctx.backend);
        if (!openBootloader(ctx, device, "erase command"))
            return -1;
        if (eraseBlocks(ctx, device, flashAddress >> 12, sectorCount) == 0)
            return -1;
        if (waitEraseProgress(ctx, device, sectorCount) == -1)
            return -1;
    }
    if (steps)
        ctx.out.beginStep(steps->write);
    if (programPages(ctx, buffer, flashAddress >> 8, regionPageCount(length)) == 0)
        return -2;
    return 0;
}

} // namespace quarvo
