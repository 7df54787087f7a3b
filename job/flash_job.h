// The update job: loads code_data.bin and car_data.bin from a directory, checks them, writes the
// code at 0xA000 with its image header page at 0x8000, then the transformed database at 0x640000,
// and restarts the device. Every outcome reaches the user through the output surface in the
// context; the returned JobOutcome tells front ends how it ended. Runs on the caller's thread (the
// window starts it on a worker thread).
#pragma once

#include "protocol/commands.h"
#include "protocol/update_step.h"

#include "platform/input_file.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <span>

namespace quarvo {

inline constexpr const char* CODE_FILE = "code_data.bin";
inline constexpr const char* DATABASE_FILE = "car_data.bin";
inline constexpr std::uint32_t IMAGE_HEADER_ADDRESS = 0x8000;
inline constexpr std::uint32_t CODE_ADDRESS = 0xA000;
inline constexpr std::uint32_t DATABASE_ADDRESS = 0x640000;
inline constexpr std::uint32_t MAX_FILE_SIZE = 0xFF6000;
// The code is written from CODE_ADDRESS up to where the database begins; longer code would
// overwrite the database's first sectors.
inline constexpr std::uint32_t MAX_CODE_SIZE = DATABASE_ADDRESS - CODE_ADDRESS;
// Room after each file's data: the last page sent reaches up to 256 bytes past it.
inline constexpr std::size_t BUFFER_SLACK = 512;
inline constexpr std::size_t IMAGE_HEADER_BUFFER_SIZE = 2048;
inline constexpr std::uint32_t IMAGE_MAGIC = 0x474D495F; // the bytes "_IMG"

enum class JobOutcome {
    Success,      // the job ended with "更新成功!" (for loadUpdateFiles: both files are loaded)
    MissingFile,  // a file could not be opened or read; nothing was sent
    InputRefused, // a file is empty or over its size limit; nothing was sent
    OutOfMemory,  // a file does not fit in memory; nothing was sent
    DeviceFailed, // the device or the flashing failed; the status line says how
};

// "success", "missing file", "input refused", "out of memory", "device failed": for records.
const char* outcomeName(JobOutcome outcome);

// One update file read whole, followed by BUFFER_SLACK zero bytes: the room the last page needs.
struct LoadedFile {
    std::filesystem::path path;
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
    // The SHA-256 of the `size` bytes loaded, as 64 lower-case hexadecimal digits.
    std::string sha256;
    // Whether a SHA256SUMS beside the file listed it with that checksum; false: unchecked.
    bool checked = false;

    std::span<std::uint8_t> buffer() const { return {data.get(), size + BUFFER_SLACK}; }
};

struct UpdateFiles {
    LoadedFile code;
    LoadedFile database;
};

// The record that describes the code to the device's loader: eight little-endian words at the
// start of a zeroed 2048-byte buffer, of which the first page is sent.
std::array<std::uint8_t, IMAGE_HEADER_BUFFER_SIZE> buildImageHeader(std::uint32_t codeLength);

// The form the device expects the database in, applied in place: positions 1 to `length`
// (the byte after the data included) are XORed with a key that is 0 up to position 8 and then
// counts 1, 2, ..., 255, 0, ... from position 9 on. `buffer` holds at least length + 1 bytes.
void transformDatabase(std::span<std::uint8_t> buffer, std::size_t length);

// What the steps are weighed by: the expected time of one sector's erase and of one report, in
// microseconds. Only the shares of the whole update follow from them.
inline constexpr double PLAN_SECTOR_ERASE_US = 20000;
inline constexpr double PLAN_REPORT_US = 1000;

// The steps of an update, indexed by UpdateStep, each with its share of the whole update.
using UpdatePlan = std::array<StepInfo, UPDATE_STEP_COUNT>;

// The plan for code and database of these lengths (at least 1 byte each): every step's share is
// its expected time over the whole update's, so the shares follow one another from 0 to 1.
UpdatePlan planUpdate(std::int32_t codeLength, std::int32_t databaseLength);

// The two halves. Each returns true when its region (and, for the code, the header page; for the
// database, the restart) went through; on failure its text is on the status line and ctx.detail
// says where ("database at 0x640000: data report 37 of 68: write failed: ..."). `length` is at
// most MAX_CODE_SIZE for the code and MAX_FILE_SIZE for the database, as loadUpdateFiles makes
// sure. With `plan`, each step is announced before it begins.
bool writeCode(CommandContext& ctx, std::span<const std::uint8_t> buffer, std::int32_t length,
               const UpdatePlan* plan = nullptr);
bool writeDatabase(CommandContext& ctx, std::span<const std::uint8_t> buffer, std::int32_t length,
                   const UpdatePlan* plan = nullptr);

// For tests only: called with a file's path after it has been read once and before it is read
// again and checked, so that a test can change the file while the job holds it open.
using AfterFirstRead = std::function<void(const std::filesystem::path&)>;

// For tests only: ways into the loading of the update files.
struct LoadHooks {
    AfterFirstRead afterFirstRead;
    // The file system's clock when the wait for the files to settle begins (empty: the system's,
    // fileClockNow). The wait moves it on by the backend's clock, so that files age on a
    // virtual clock too.
    std::function<FileTime()> fileClock;
};

// Hooks under which files the caller has just written whole itself (a test's, a demo's samples)
// count as long settled: the file system's clock, as the job reads it, runs an hour ahead.
LoadHooks settledLoadHooks();

// Opens, checks and reads both files from `directory` without touching the device. A file whose
// modification or change time is less than SETTLE_AGE_MS old is still being written: the job
// shows text::SETTLE_WAIT and waits until both have settled (then text::SETTLE_DONE), at most
// SETTLE_WAIT_MS (then text::SETTLE_TIMED_OUT and the file's box), looking at
// ctx.stopRequested between looks (a stop ends the load as InputRefused with no box). Each file
// is then read twice, its stamp from the end of the wait compared with its stamp at the end: a
// file that changed meanwhile (contents, size, times, or another file in its place) is refused
// like one that cannot be read. Each file's SHA-256 is taken of the bytes loaded; where a
// SHA256SUMS lies beside them, both files must be listed in it with those checksums. Success when
// both are loaded; otherwise the user has been told (message box or status line) and ctx.detail
// says why, with the system's reason where there is one.
JobOutcome loadUpdateFiles(CommandContext& ctx, const std::filesystem::path& directory,
                           UpdateFiles& files, const LoadHooks& hooks = {});

// Writes loaded files: code, header page, database (transformed in place), restart.
JobOutcome flashUpdate(CommandContext& ctx, UpdateFiles& files);

// The whole update from the files in `directory`: loadUpdateFiles, then flashUpdate.
JobOutcome runFlashJob(CommandContext& ctx, const std::filesystem::path& directory);

// `text` with control characters (and backslashes) written as \xNN escapes, safe to print.
std::string printable(const std::string& text);

} // namespace quarvo
