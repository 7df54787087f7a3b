// The bootloader commands: erase, restart, the erase progress wait, programming, and the region
// write that chains erase, wait and program. Each command builds its own HidDevice on the backend
// in its context, opens it, exchanges its reports and closes it; only an erase and the wait that
// follows it share one open device, which the region write opens afresh, so input left unread by
// one region never reaches the next. Failures are shown as status texts and the results are plain
// integers (stated per function); the context keeps a technical account of the last failure for
// front ends that can show more than the status line. Called by the update job on its worker
// thread.
#pragma once

#include "device_state.h"
#include "output_surface.h"
#include "packet.h"

#include "device_ids.h"

#include "hid/hid_device.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace quarvo {

// Longest wait for any one status record during an erase.
inline constexpr unsigned ERASE_RECORD_TIMEOUT_MS = 30000;
// Whole erase wait: one record's bound plus this much per erased sector (the worst-case erase
// time of a 4 KiB NOR sector, with margin); a device that reports progress forever ends there.
inline constexpr unsigned ERASE_WAIT_PER_SECTOR_MS = 500;
inline constexpr std::size_t STATUS_RECORD_SIZE = 64;
// The longest a transport holds a report the device does not take before it fails the write (the
// Linux kernel's USB HID bound; hidapi on Windows gives up sooner): how long a write may wait.
inline constexpr unsigned DEVICE_WRITE_BOUND_MS = 5000;
inline constexpr std::uint32_t SECTOR_SIZE = 4096;
inline constexpr std::uint32_t PAGE_SIZE = 256;

struct CommandContext {
    HidBackend& backend;
    OutputSurface& out;
    // Why the last command failed, with its context ("data report 37 of 68: ..."); front ends
    // show it where they can, the status line keeps the user's text.
    std::string detail = {};
    // How the last failed open ended (NotFound or Refused), for advice on fixing access.
    HidDevice::OpenState openFailure = HidDevice::OpenState::Closed;
    // Asked before every report a command sends or waits for: true stops the command there, as a
    // failure with its own text (a front end asked to stop). Empty: never stops.
    std::function<bool()> stopRequested = {};
    // Set once any report has gone out to the device: from then on a failure may have left the
    // device changed; before it, the device is as it was.
    bool reportSent = false;
    // What the device holds as far as the commands know, and how the last one failed; the
    // commands keep the state of `region`, the one the job is writing now (none: no region's).
    DeviceState device = {};
    std::optional<DeviceRegion> region = {};
    // The interface the commands last opened (its path and strings), for the update's record.
    std::optional<HidDeviceInfo> opened = {};
};

// The steps a region write announces: its erase (with the wait) and its programming.
struct RegionSteps {
    StepInfo erase;
    StepInfo write;
};

// Opens `device` on the bootloader for the command named by `what`. On failure shows the connection
// text, keeps the reason in ctx and returns false.
bool openBootloader(CommandContext& ctx, HidDevice& device, const char* what);

// Erases sectorCount sectors from startSector. Returns sectorCount when the command was sent,
// 0 otherwise (so a count of 0 reads as a failure to callers). Does not wait for the erase. The
// first form sends on the caller's open device, so that a wait on it sees every status record;
// the second opens and closes a device of its own (for an erase that nobody waits for).
int eraseBlocks(CommandContext& ctx, HidDevice& device, std::uint32_t startSector,
                std::uint32_t sectorCount);
int eraseBlocks(CommandContext& ctx, std::uint32_t startSector, std::uint32_t sectorCount);

// Tells the bootloader to restart. 0 when the command was sent, -1 otherwise.
int restartDevice(CommandContext& ctx);

// Follows an erase through the device's status records until "over", reading on the open device
// the erase command was sent on: the device may answer at once, and input reports reach only the
// handles open when they arrive. -1 on failure (a read failed or timed out, the whole wait ran
// out); otherwise the bytes held when the end record was recognised (64 with full reports). The
// bar is at 0 on return.
int waitEraseProgress(CommandContext& ctx, HidDevice& device, std::uint32_t sectorCount);

// Sends the program command and pageCount * 256 bytes of `data` in 64-byte reports. Returns the
// bytes sent, 0 on any failure (also when `data` is shorter than the pages). The bar is at 0 on
// return.
unsigned programPages(CommandContext& ctx, std::span<const std::uint8_t> data,
                      std::uint32_t pageAddress, std::uint32_t pageCount);

// Pages and sectors a region write of `length` bytes covers. The page count is one more than the
// whole pages in the data; the sectors are those the pages reach (none for an empty region).
std::uint32_t regionPageCount(std::int32_t length);
std::uint32_t regionSectorCount(std::int32_t length);

// Erase and wait on one freshly opened device, then program. `buffer` holds the data and the bytes
// after it up to the end of the last page. 0 on success, -1 when the erase or its wait failed, -2
// when programming failed. With `steps`, each half is announced before it begins.
int writeRegion(CommandContext& ctx, std::span<const std::uint8_t> buffer, std::int32_t length,
                std::uint32_t flashAddress, const RegionSteps* steps = nullptr);

} // namespace quarvo
