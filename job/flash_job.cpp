#include "flash_job.h"

#include "checksum_list.h"
#include "file_texts.h"
#include "settle_watch.h"
#include "sha256.h"

#include "protocol/texts.h"

#include "hid/clock.h"
#include "hid/text_encoding.h"
#include "platform/input_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <system_error>
#include <utility>

namespace quarvo {
namespace {

constexpr std::uint32_t IMAGE_HEADER_WORDS[8] = {IMAGE_MAGIC, 0x00000020, 0x00130000,
                                                 0x4000A000,  0x4000A000, 0 /* code length */,
                                                 0x00100001,  0};
constexpr std::size_t CODE_LENGTH_WORD = 5;

// What the job says about one of its two files, and how large it may be.
struct UpdateFileRole {
    const char* name;
    const char* missingText;
    const char* emptyText;
    std::uint32_t limit;
    bool endsAtDatabase; // the limit is the room between CODE_ADDRESS and DATABASE_ADDRESS
};
constexpr UpdateFileRole CODE_INPUT{CODE_FILE, text::MISSING_CODE, text::EMPTY_CODE, MAX_CODE_SIZE,
                                    true};
constexpr UpdateFileRole DATABASE_INPUT{DATABASE_FILE, text::MISSING_DATABASE, text::EMPTY_DATABASE,
                                        MAX_FILE_SIZE, false};

// The second reading compares the file with the first one piece by piece.
constexpr std::size_t CHECK_CHUNK = 64 * 1024;

// A path as the technical line shows it.
std::string shownPath(const std::filesystem::path& path) { return printable(utf8FromPath(path)); }

// A flash address as the technical line shows it: "0xA000".
std::string shownAddress(std::uint32_t address)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", address);
    return text;
}

// One update file on its way in: open, with its stamp from when it settled.
struct Input {
    const UpdateFileRole& role;
    LoadedFile& file;
    InputFile reader;
    FileStamp opened;
    SettleWatch settle;
};

// Reads the file whole and then again, comparing, and compares its stamp now with the one from
// when it settled. The file system's times can stay the same through a rewrite within one of
// its clock ticks, so the second reading is what finds such a rewrite; the stamp finds a file
// changed after that reading or another file put in its place. The first reading is what is
// hashed, as the second confirms it. Empty `reason`: the file is read, unchanged.
void readChecked(Input& input, std::span<std::uint8_t> data, std::span<std::uint8_t> chunk,
                 Sha256& hash, const AfterFirstRead& afterFirstRead, std::string& reason)
{
    const std::size_t size = data.size();
    const std::string changed = "changed while being read: ";
    const auto shortRead = [&](std::size_t got) {
        return changed + std::to_string(got) + " of " + std::to_string(size) + " bytes";
    };
    std::size_t got = 0;
    std::string why;
    if (!input.reader.readAt(0, data, got, why)) {
        reason = "read failed: " + why;
        return;
    }
    if (got != size) {
        reason = shortRead(got);
        return;
    }
    std::uint8_t past = 0;
    if (!input.reader.readAt(size, {&past, 1}, got, why)) {
        reason = "read failed: " + why;
        return;
    }
    if (got != 0) {
        reason = changed + "it grew past " + std::to_string(size) + " bytes";
        return;
    }
    if (afterFirstRead)
        afterFirstRead(input.file.path);
    for (std::size_t offset = 0; offset < size; offset += chunk.size()) {
        const auto piece = chunk.first(std::min(chunk.size(), size - offset));
        if (!input.reader.readAt(offset, piece, got, why)) {
            reason = "read failed: " + why;
            return;
        }
        if (got != piece.size()) {
            reason = shortRead(offset + got);
            return;
        }
        const auto first = data.subspan(offset, piece.size());
        const auto at = std::mismatch(piece.begin(), piece.end(), first.begin()).first;
        if (at != piece.end()) {
            reason = changed + "byte " +
                     std::to_string(offset + static_cast<std::size_t>(at - piece.begin())) +
                     " differs between two readings";
            return;
        }
        hash.update(first);
    }
    FileStamp now;
    if (!stampPath(input.file.path, now, why))
        reason = changed + why;
    else if (const std::string change = describeChange(input.opened, now); !change.empty())
        reason = changed + change;
}

// Reads the whole file into a buffer with BUFFER_SLACK zero bytes after the data, makes sure
// that it did not change meanwhile and takes its SHA-256.
JobOutcome readInput(CommandContext& ctx, Input& input, const AfterFirstRead& afterFirstRead)
{
    LoadedFile& file = input.file;
    const std::string where = shownPath(file.path);
    std::unique_ptr<std::uint8_t[]> chunk;
    try {
        file.data = std::make_unique_for_overwrite<std::uint8_t[]>(file.size + BUFFER_SLACK);
        chunk = std::make_unique_for_overwrite<std::uint8_t[]>(std::min(file.size, CHECK_CHUNK));
    } catch (const std::bad_alloc&) {
        ctx.detail =
            where + ": not enough memory to read its " + std::to_string(file.size) + " bytes";
        ctx.out.showMessage(text::NO_MEMORY);
        return JobOutcome::OutOfMemory;
    }
    std::fill_n(file.data.get() + file.size, BUFFER_SLACK, std::uint8_t{0});
    std::string reason;
    Sha256 hash;
    readChecked(input, {file.data.get(), file.size},
                {chunk.get(), std::min(file.size, CHECK_CHUNK)}, hash, afterFirstRead, reason);
    input.reader.close();
    if (reason.empty()) {
        file.sha256 = toHex(hash.finish());
        return JobOutcome::Success;
    }
    ctx.detail = where + ": " + reason;
    ctx.out.showMessage(input.role.missingText);
    return JobOutcome::MissingFile;
}

// The stamp of the file that the input's path names now: the open one, or, when another file has
// been renamed into its place, that one, opened instead.
bool lookAt(Input& input, FileStamp& stamp, std::string& reason)
{
    FileStamp named;
    if (!stampPath(input.file.path, named, reason) || !input.reader.stamp(stamp, reason))
        return false;
    if (named.sameFile(stamp))
        return true;
    return input.reader.open(input.file.path, reason) && input.reader.stamp(stamp, reason);
}

// Waits until every input has settled (see SettleWatch), looking every SETTLE_LOOK_MS on the
// backend's clock for at most SETTLE_WAIT_MS, and leaves each one's last stamp in `opened`. The
// file system's clock is read once and moved on by the backend's: the same on a real clock, and
// on a virtual one the files age with the wait.
static_assert(SETTLE_WAIT_MS == 10000, "text::SETTLE_WAIT names the wait's limit in seconds");

JobOutcome settleInputs(CommandContext& ctx, std::initializer_list<Input*> inputs,
                        const LoadHooks& hooks)
{
    Clock& clock = ctx.backend.clock();
    const std::int64_t startUs = clock.nowUs();
    const std::int64_t fileClockUs =
        fileTimeUs(hooks.fileClock ? hooks.fileClock() : fileClockNow());
    for (bool told = false;;) {
        const std::int64_t waitedUs = clock.nowUs() - startUs;
        Input* unsettled = nullptr;
        for (Input* input : inputs) {
            std::string reason;
            if (!lookAt(*input, input->opened, reason)) {
                ctx.detail = shownPath(input->file.path) + ": " + reason;
                ctx.out.showMessage(input->role.missingText);
                return JobOutcome::MissingFile;
            }
            if (!input->settle.look(input->opened, fileClockUs + waitedUs) && !unsettled)
                unsettled = input;
        }
        // The status line says how a wait ended, so that it never goes on saying that the job
        // waits.
        if (!unsettled) {
            if (told)
                ctx.out.setStatus(text::SETTLE_DONE);
            return JobOutcome::Success;
        }
        if (waitedUs >= SETTLE_WAIT_MS * 1000) {
            const std::string& change = unsettled->settle.lastChange();
            ctx.detail = shownPath(unsettled->file.path) + ": still being written after " +
                         std::to_string(SETTLE_WAIT_MS / 1000) + " s of waiting" +
                         (change.empty() ? "" : ": " + change);
            ctx.out.setStatus(text::SETTLE_TIMED_OUT);
            ctx.out.showMessage(unsettled->role.missingText);
            return JobOutcome::MissingFile;
        }
        if (!std::exchange(told, true))
            ctx.out.setStatus(text::SETTLE_WAIT);
        if (ctx.stopRequested && ctx.stopRequested()) {
            ctx.detail = "waiting for the update files to be written: stopped on request";
            return JobOutcome::InputRefused;
        }
        clock.sleepUntilUs(startUs +
                           std::min(waitedUs + SETTLE_LOOK_MS * 1000, SETTLE_WAIT_MS * 1000));
    }
}

// Reads the SHA256SUMS at `path` into `list`; false with ctx.detail set and the box shown.
bool readChecksumList(CommandContext& ctx, const std::filesystem::path& path, ChecksumList& list)
{
    const auto refuse = [&ctx](const std::string& why) {
        ctx.detail = std::string(CHECKSUM_LIST_FILE) + why;
        ctx.out.showMessage(text::CHECKSUM_LIST_UNUSABLE);
        return false;
    };
    InputFile reader;
    std::string text(MAX_CHECKSUM_LIST_SIZE + 1, '\0');
    std::size_t got = 0;
    std::string reason;
    if (!reader.open(path, reason) ||
        !reader.readAt(0, {reinterpret_cast<std::uint8_t*>(text.data()), text.size()}, got, reason))
        return refuse(": " + reason);
    if (got > MAX_CHECKSUM_LIST_SIZE)
        return refuse(" is larger than " + std::to_string(MAX_CHECKSUM_LIST_SIZE) +
                      " bytes, too large for a list of checksums");
    text.resize(got);
    if (!parseChecksumList(text, list, reason))
        return refuse(" " + reason);
    return true;
}

// With a SHA256SUMS in `directory`, each input must be listed in it, and every line that lists it
// must give its checksum. Without one, the inputs stay unchecked.
JobOutcome checkInputs(CommandContext& ctx, const std::filesystem::path& directory,
                       std::initializer_list<Input*> inputs)
{
    const std::filesystem::path path = directory / CHECKSUM_LIST_FILE;
    std::error_code error;
    if (std::filesystem::symlink_status(path, error).type() ==
        std::filesystem::file_type::not_found)
        return JobOutcome::Success;
    ChecksumList list;
    if (!readChecksumList(ctx, path, list))
        return JobOutcome::InputRefused;
    for (Input* input : inputs) {
        const auto entries = list.entriesFor(input->role.name);
        std::string why;
        if (entries.empty())
            why = std::string(CHECKSUM_LIST_FILE) + " does not list " + input->role.name;
        for (const ChecksumEntry* entry : entries) {
            if (entry->sha256 != input->file.sha256) {
                why = std::string(input->role.name) + ": its SHA-256 is " + input->file.sha256 +
                      ", " + CHECKSUM_LIST_FILE + " says " + entry->sha256;
                break;
            }
        }
        if (!why.empty()) {
            ctx.detail = std::move(why);
            ctx.out.showMessage(input->role.missingText);
            return JobOutcome::InputRefused;
        }
        input->file.checked = true;
    }
    return JobOutcome::Success;
}

const StepInfo& stepOf(const UpdatePlan& plan, UpdateStep step)
{
    return plan[static_cast<std::size_t>(step)];
}

// Announces `step` when there is a plan.
void announce(CommandContext& ctx, const UpdatePlan* plan, UpdateStep step)
{
    if (plan)
        ctx.out.beginStep(stepOf(*plan, step));
}

// The region write shared by both halves, with their status texts; with a plan, the steps of
// the region's erase and programming are announced.
bool writeFileRegion(CommandContext& ctx, std::span<const std::uint8_t> buffer, std::int32_t length,
                     std::uint32_t address, const UpdatePlan* plan, UpdateStep erase,
                     UpdateStep write)
{
    RegionSteps steps;
    if (plan)
        steps = {stepOf(*plan, erase), stepOf(*plan, write)};
    switch (writeRegion(ctx, buffer, length, address, plan ? &steps : nullptr)) {
    case 0:
        ctx.out.setStatus(text::REGION_WRITE_OK);
        return true;
    case -1:
        // A device that could not even be opened, with nothing sent, keeps the connection's text:
        // nothing was erased, and an erase failure would say that something was.
        if (ctx.device.reached || (ctx.device.failure != FailureKind::DeviceAbsent &&
                                   ctx.device.failure != FailureKind::OpenRefused))
            ctx.out.setStatus(text::REGION_ERASE_FAILED);
        return false;
    default:
        ctx.out.setStatus(text::REGION_WRITE_FAILED);
        return false;
    }
}

// Says where a failure happened, in front of what the command said: "code at 0xA000: ...".
bool failedIn(CommandContext& ctx, const char* what, std::uint32_t address)
{
    ctx.detail.insert(0, std::string(what) + " at " + shownAddress(address) + ": ");
    return false;
}

} // namespace

std::array<std::uint8_t, IMAGE_HEADER_BUFFER_SIZE> buildImageHeader(std::uint32_t codeLength)
{
    std::array<std::uint8_t, IMAGE_HEADER_BUFFER_SIZE> header{};
    for (std::size_t i = 0; i < std::size(IMAGE_HEADER_WORDS); ++i)
        storeLe32(header.data() + 4 * i,
                  i == CODE_LENGTH_WORD ? codeLength : IMAGE_HEADER_WORDS[i]);
    return header;
}

void transformDatabase(std::span<std::uint8_t> buffer, std::size_t length)
{
    // The key at position p >= 9 is (p - 8) mod 256; below that it is 0 and changes nothing.
    // Written without a running key so that the loop vectorises.
    const std::size_t end = std::min(length + 1, buffer.size());
    for (std::size_t p = 9; p < end; ++p)
        buffer[p] ^= static_cast<std::uint8_t>(p - 8);
}

UpdatePlan planUpdate(std::int32_t codeLength, std::int32_t databaseLength)
{
    // Each step's work: the sectors it erases and waits for, the reports it sends (the command,
    // then four data reports a page).
    const auto reportsFor = [](std::int32_t length) { return 1 + 4 * regionPageCount(length); };
    const std::uint32_t sectors[UPDATE_STEP_COUNT] = {regionSectorCount(codeLength),     0, 0,
                                                      regionSectorCount(databaseLength), 0, 0};
    const std::uint32_t reports[UPDATE_STEP_COUNT] = {
        1, reportsFor(codeLength),
        6, // the header's erase command, program command and page
        1, reportsFor(databaseLength), 1};
    double expectedUs[UPDATE_STEP_COUNT] = {};
    double total = 0;
    for (int i = 0; i < UPDATE_STEP_COUNT; ++i) {
        expectedUs[i] = PLAN_SECTOR_ERASE_US * sectors[i] + PLAN_REPORT_US * reports[i];
        total += expectedUs[i];
    }
    UpdatePlan plan;
    double done = 0;
    for (int i = 0; i < UPDATE_STEP_COUNT; ++i) {
        StepInfo& step = plan[static_cast<std::size_t>(i)];
        step.step = static_cast<UpdateStep>(i);
        step.start = done / total;
        done += expectedUs[i];
        step.end = i + 1 == UPDATE_STEP_COUNT ? 1.0 : done / total;
        step.sectors = sectors[i];
        step.reports = reports[i];
        for (int later = i + 1; later < UPDATE_STEP_COUNT; ++later) {
            step.laterSectors += sectors[later];
            step.laterReports += reports[later];
        }
    }
    return plan;
}

bool writeCode(CommandContext& ctx, std::span<const std::uint8_t> buffer, std::int32_t length,
               const UpdatePlan* plan)
{
    ctx.region = DeviceRegion::Program;
    if (!writeFileRegion(ctx, buffer, length, CODE_ADDRESS, plan, UpdateStep::CodeErase,
                         UpdateStep::CodeWrite))
        return failedIn(ctx, "code", CODE_ADDRESS);
    // The device expects the header page programmed right after its erase, without a wait.
    announce(ctx, plan, UpdateStep::ImageHeader);
    ctx.region = DeviceRegion::Header;
    const auto header = buildImageHeader(static_cast<std::uint32_t>(length));
    if (eraseBlocks(ctx, IMAGE_HEADER_ADDRESS >> 12, 1) == 0) {
        ctx.out.setStatus(text::REGION_ERASE_FAILED);
        return failedIn(ctx, "image header", IMAGE_HEADER_ADDRESS);
    }
    if (programPages(ctx, header, IMAGE_HEADER_ADDRESS >> 8, 1) == 0) {
        ctx.out.setStatus(text::REGION_WRITE_FAILED);
        return failedIn(ctx, "image header", IMAGE_HEADER_ADDRESS);
    }
    return true;
}

bool writeDatabase(CommandContext& ctx, std::span<const std::uint8_t> buffer, std::int32_t length,
                   const UpdatePlan* plan)
{
    ctx.region = DeviceRegion::Database;
    if (!writeFileRegion(ctx, buffer, length, DATABASE_ADDRESS, plan, UpdateStep::DatabaseErase,
                         UpdateStep::DatabaseWrite))
        return failedIn(ctx, "database", DATABASE_ADDRESS);
    ctx.region.reset();
    ctx.out.setStatus(text::UPDATE_OK);
    announce(ctx, plan, UpdateStep::Restart);
    if (restartDevice(ctx) != 0) {
        ctx.out.setStatus(text::RESTART_FAILED);
        return false;
    }
    return true;
}

const char* outcomeName(JobOutcome outcome)
{
    switch (outcome) {
    case JobOutcome::Success:
        return "success";
    case JobOutcome::MissingFile:
        return "missing file";
    case JobOutcome::InputRefused:
        return "input refused";
    case JobOutcome::OutOfMemory:
        return "out of memory";
    case JobOutcome::DeviceFailed:
        break;
    }
    return "device failed";
}

LoadHooks settledLoadHooks()
{
    LoadHooks hooks;
    hooks.fileClock = [] {
        FileTime now = fileClockNow();
        now.seconds += 3600;
        return now;
    };
    return hooks;
}

std::string printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    const auto escape = [&out](unsigned value) {
        char code[8];
        std::snprintf(code, sizeof code, "\\x%02X", value);
        out += code;
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            // C0 controls and DEL are escaped; the rest of ASCII is kept.
            if (byte < 0x20 || byte == 0x7F)
                escape(byte);
            else
                out.push_back(text[i]);
            ++i;
            continue;
        }
        const Utf8Char c = decodeUtf8(text, i);
        if (!c.valid) {
            // Not UTF-8: a raw byte, which some terminals take as a C1 control (0x9B is CSI).
            escape(byte);
            ++i;
        } else if (c.codePoint < 0xA0) {
            escape(static_cast<unsigned>(c.codePoint)); // a C1 control as UTF-8
            i += c.used;
        } else {
            out.append(text, i, c.used);
            i += c.used;
        }
    }
    return out;
}

JobOutcome loadUpdateFiles(CommandContext& ctx, const std::filesystem::path& directory,
                           UpdateFiles& files, const LoadHooks& hooks)
{
    // Both are opened (the database first) before either is sized, and sized before either is
    // read, so that the first problem found is reported the same way every time. They are sized
    // once they have settled: a copy in progress may not have its length yet.
    Input database{DATABASE_INPUT, files.database, {}, {}, {}};
    Input code{CODE_INPUT, files.code, {}, {}, {}};
    for (Input* input : {&database, &code}) {
        input->file.path = directory / input->role.name;
        std::string reason;
        if (!input->reader.open(input->file.path, reason)) {
            ctx.detail = shownPath(input->file.path) + ": " + reason;
            ctx.out.showMessage(input->role.missingText);
            return JobOutcome::MissingFile;
        }
    }
    if (const JobOutcome outcome = settleInputs(ctx, {&database, &code}, hooks);
        outcome != JobOutcome::Success)
        return outcome;
    for (Input* input : {&code, &database}) {
        if (input->opened.size > input->role.limit) {
            ctx.detail = std::string(input->role.name) + " has " +
                         std::to_string(input->opened.size) + " bytes, more than the limit of " +
                         std::to_string(input->role.limit);
            if (input->role.endsAtDatabase)
                ctx.detail += ": written at " + shownAddress(CODE_ADDRESS) +
                              " it would run into the database region at " +
                              shownAddress(DATABASE_ADDRESS);
            ctx.out.setStatus(text::TOO_LARGE);
            return JobOutcome::InputRefused;
        }
        input->file.size = static_cast<std::size_t>(input->opened.size);
    }
    // An empty file would erase nothing and program a page of zeros: it is no update.
    for (Input* input : {&code, &database}) {
        if (input->file.size == 0) {
            ctx.detail = shownPath(input->file.path) + " is empty";
            ctx.out.showMessage(input->role.emptyText);
            return JobOutcome::InputRefused;
        }
    }
    for (Input* input : {&code, &database}) {
        if (const JobOutcome outcome = readInput(ctx, *input, hooks.afterFirstRead);
            outcome != JobOutcome::Success)
            return outcome;
    }
    return checkInputs(ctx, directory, {&code, &database});
}

JobOutcome flashUpdate(CommandContext& ctx, UpdateFiles& files)
{
    // A failed code half stops the job: writing the database and restarting would start the
    // device on a broken program and report success.
    const auto codeLength = static_cast<std::int32_t>(files.code.size);
    const auto databaseLength = static_cast<std::int32_t>(files.database.size);
    const UpdatePlan plan = planUpdate(codeLength, databaseLength);
    if (!writeCode(ctx, files.code.buffer(), codeLength, &plan))
        return JobOutcome::DeviceFailed;
    transformDatabase(files.database.buffer(), files.database.size);
    if (!writeDatabase(ctx, files.database.buffer(), databaseLength, &plan))
        return JobOutcome::DeviceFailed;
    return JobOutcome::Success;
}

JobOutcome runFlashJob(CommandContext& ctx, const std::filesystem::path& directory)
{
    UpdateFiles files;
    const JobOutcome loaded = loadUpdateFiles(ctx, directory, files);
    return loaded == JobOutcome::Success ? flashUpdate(ctx, files) : loaded;
}

} // namespace quarvo
