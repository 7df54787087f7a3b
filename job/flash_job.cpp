#include "flash_job.h"

#include "protocol/texts.h"

#include "hid/text_encoding.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <system_error>

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

// A path as the technical line shows it.
std::string shownPath(const std::filesystem::path& path) { return printable(utf8FromPath(path)); }

// A flash address as the technical line shows it: "0xA000".
std::string shownAddress(std::uint32_t address)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", address);
    return text;
}

std::string errnoText(int error, const char* fallback)
{
    return error ? std::generic_category().message(error) : fallback;
}

// Opens a regular file for reading and takes its size; false with the reason otherwise. A FIFO
// or device is never opened: opening one can block, and reading it is not reading a file.
bool openInput(const std::filesystem::path& path, std::ifstream& stream, std::uintmax_t& size,
               std::string& reason)
{
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        reason = error ? error.message() : "No such file or directory";
        return false;
    }
    if (std::filesystem::is_directory(status)) {
        reason = "is a directory";
        return false;
    }
    if (!std::filesystem::is_regular_file(status)) {
        reason = "is not a regular file";
        return false;
    }
    errno = 0;
    stream.open(path, std::ios::binary);
    if (!stream) {
        reason = errnoText(errno, "cannot be opened");
        return false;
    }
    size = std::filesystem::file_size(path, error);
    if (error) {
        reason = error.message();
        return false;
    }
    return true;
}

// Reads the whole file into a buffer with BUFFER_SLACK zero bytes after the data.
JobOutcome readInput(CommandContext& ctx, const UpdateFileRole& role, std::ifstream& stream,
                     LoadedFile& file)
{
    const std::string where = shownPath(file.path);
    try {
        file.data = std::make_unique_for_overwrite<std::uint8_t[]>(file.size + BUFFER_SLACK);
    } catch (const std::bad_alloc&) {
        ctx.detail =
            where + ": not enough memory to read its " + std::to_string(file.size) + " bytes";
        ctx.out.showMessage(text::NO_MEMORY);
        return JobOutcome::OutOfMemory;
    }
    std::fill_n(file.data.get() + file.size, BUFFER_SLACK, std::uint8_t{0});
    errno = 0;
    stream.read(reinterpret_cast<char*>(file.data.get()), static_cast<std::streamsize>(file.size));
    const auto got = static_cast<std::size_t>(stream.gcount());
    std::string reason;
    if (stream.bad())
        reason = "read failed: " + errnoText(errno, "input error");
    else if (got != file.size)
        reason = "changed while being read: " + std::to_string(got) + " of " +
                 std::to_string(file.size) + " bytes";
    else if (stream.peek() != std::char_traits<char>::eof())
        reason = "changed while being read: it grew past " + std::to_string(file.size) + " bytes";
    if (reason.empty())
        return JobOutcome::Success;
    ctx.detail = where + ": " + reason;
    ctx.out.showMessage(role.missingText);
    return JobOutcome::MissingFile;
}

// The region write shared by both halves, with their status texts.
bool writeFileRegion(CommandContext& ctx, std::span<const std::uint8_t> buffer, std::int32_t length,
                     std::uint32_t address)
{
    switch (writeRegion(ctx, buffer, length, address)) {
    case 0:
        ctx.out.setStatus(text::REGION_WRITE_OK);
        return true;
    case -1:
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

bool writeCode(CommandContext& ctx, std::span<const std::uint8_t> buffer, std::int32_t length)
{
    if (!writeFileRegion(ctx, buffer, length, CODE_ADDRESS))
        return failedIn(ctx, "code", CODE_ADDRESS);
    // The device expects the header page programmed right after its erase, without a wait.
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

bool writeDatabase(CommandContext& ctx, std::span<const std::uint8_t> buffer, std::int32_t length)
{
    if (!writeFileRegion(ctx, buffer, length, DATABASE_ADDRESS))
        return failedIn(ctx, "database", DATABASE_ADDRESS);
    ctx.out.setStatus(text::UPDATE_OK);
    if (restartDevice(ctx) != 0) {
        ctx.out.setStatus(text::RESTART_FAILED);
        return false;
    }
    return true;
}

std::string printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // C0 controls and DEL, and the C1 controls as UTF-8 (0xC2 0x80 to 0xC2 0x9F), which
        // terminals also obey.
        const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                        (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (byte >= 0x20 && byte != 0x7F && !c1) {
            out.push_back(text[i]);
            continue;
        }
        const unsigned value = c1 ? static_cast<unsigned char>(text[++i]) : byte;
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02X", value);
        out += escape;
    }
    return out;
}

JobOutcome loadUpdateFiles(CommandContext& ctx, const std::filesystem::path& directory,
                           UpdateFiles& files)
{
    struct Input {
        const UpdateFileRole& role;
        LoadedFile& file;
        std::ifstream stream;
        std::uintmax_t size;
    };
    // Both are opened (the database first) before either is sized, and sized before either is
    // read, so that the first problem found is reported the same way every time.
    Input database{DATABASE_INPUT, files.database, {}, 0};
    Input code{CODE_INPUT, files.code, {}, 0};
    for (Input* input : {&database, &code}) {
        input->file.path = directory / input->role.name;
        std::string reason;
        if (!openInput(input->file.path, input->stream, input->size, reason)) {
            ctx.detail = shownPath(input->file.path) + ": " + reason;
            ctx.out.showMessage(input->role.missingText);
            return JobOutcome::MissingFile;
        }
    }
    for (Input* input : {&code, &database}) {
        if (input->size > input->role.limit) {
            ctx.detail = std::string(input->role.name) + " has " + std::to_string(input->size) +
                         " bytes, more than the limit of " + std::to_string(input->role.limit);
            if (input->role.endsAtDatabase)
                ctx.detail += ": written at " + shownAddress(CODE_ADDRESS) +
                              " it would run into the database region at " +
                              shownAddress(DATABASE_ADDRESS);
            ctx.out.setStatus(text::TOO_LARGE);
            return JobOutcome::InputRefused;
        }
        input->file.size = static_cast<std::size_t>(input->size);
    }
    // An empty file would erase nothing and program a page of zeros: it is no update.
    for (Input* input : {&code, &database}) {
        if (input->size == 0) {
            ctx.detail = shownPath(input->file.path) + " is empty";
            ctx.out.showMessage(input->role.emptyText);
            return JobOutcome::InputRefused;
        }
    }
    for (Input* input : {&code, &database}) {
        if (const JobOutcome outcome = readInput(ctx, input->role, input->stream, input->file);
            outcome != JobOutcome::Success)
            return outcome;
    }
    return JobOutcome::Success;
}

JobOutcome flashUpdate(CommandContext& ctx, UpdateFiles& files)
{
    // A failed code half stops the job: writing the database and restarting would start the
    // device on a broken program and report success.
    if (!writeCode(ctx, files.code.buffer(), static_cast<std::int32_t>(files.code.size)))
        return JobOutcome::DeviceFailed;
    transformDatabase(files.database.buffer(), files.database.size);
    if (!writeDatabase(ctx, files.database.buffer(),
                       static_cast<std::int32_t>(files.database.size)))
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
