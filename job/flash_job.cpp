#include "flash_job.h"

#include "protocol/texts.h"

#include <algorithm>
#include <fstream>
#include <memory>

namespace quarvo {
namespace {

constexpr std::uint32_t IMAGE_HEADER_WORDS[8] = {
    IMAGE_MAGIC, 0x00000020, 0x00130000, 0x4000A000, 0x4000A000, 0 /* code length */,
    0x00100001, 0};
constexpr std::size_t CODE_LENGTH_WORD = 5;

struct InputFile {
    const char* name;
    const char* missingText;
    std::ifstream stream;
    std::uintmax_t size = 0;
    std::unique_ptr<std::uint8_t[]> data;

    std::span<std::uint8_t> buffer() const { return {data.get(), size + BUFFER_SLACK}; }
};

bool openInput(InputFile& file, const std::filesystem::path& directory)
{
    const std::filesystem::path path = directory / file.name;
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return false;
    file.stream.open(path, std::ios::binary);
    if (!file.stream)
        return false;
    file.size = std::filesystem::file_size(path, error);
    return !error;
}

// Reads the whole file into a buffer with BUFFER_SLACK zero bytes after the data.
bool readInput(InputFile& file)
{
    file.data = std::make_unique_for_overwrite<std::uint8_t[]>(file.size + BUFFER_SLACK);
    std::fill_n(file.data.get() + file.size, BUFFER_SLACK, std::uint8_t{0});
    file.stream.read(reinterpret_cast<char*>(file.data.get()),
                     static_cast<std::streamsize>(file.size));
    const bool whole = file.stream.gcount() == static_cast<std::streamsize>(file.size) &&
                       file.stream.peek() == std::char_traits<char>::eof();
    file.stream.close();
    return whole;
}

// The size check and region write shared by both halves, with their status texts.
bool writeFileRegion(CommandContext& ctx, std::span<const std::uint8_t> buffer, std::int32_t length,
                     std::uint32_t address)
{
    if (static_cast<std::uint32_t>(length) > MAX_FILE_SIZE) {
        ctx.out.setStatus(text::TOO_LARGE);
        return false;
    }
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
        return false;
    // The device expects the header page programmed right after its erase, without a wait.
    const auto header = buildImageHeader(static_cast<std::uint32_t>(length));
    if (eraseBlocks(ctx, IMAGE_HEADER_ADDRESS >> 12, 1) == 0) {
        ctx.out.setStatus(text::REGION_ERASE_FAILED);
        return false;
    }
    if (programPages(ctx, header, IMAGE_HEADER_ADDRESS >> 8, 1) == 0) {
        ctx.out.setStatus(text::REGION_WRITE_FAILED);
        return false;
    }
    return true;
}

bool writeDatabase(CommandContext& ctx, std::span<const std::uint8_t> buffer, std::int32_t length)
{
    if (!writeFileRegion(ctx, buffer, length, DATABASE_ADDRESS))
        return false;
    ctx.out.setStatus(text::UPDATE_OK);
    if (restartDevice(ctx) != 0) {
        ctx.out.setStatus(text::RESTART_FAILED);
        return false;
    }
    return true;
}

JobOutcome runFlashJob(CommandContext& ctx, const std::filesystem::path& directory)
{
    // Both files are opened, sized and read before the device hears anything, so that a missing,
    // unreadable or oversized file never leaves the device half-written.
    InputFile database{DATABASE_FILE, text::MISSING_DATABASE, {}, 0, nullptr};
    InputFile code{CODE_FILE, text::MISSING_CODE, {}, 0, nullptr};
    for (InputFile* file : {&database, &code}) {
        if (!openInput(*file, directory)) {
            ctx.detail = (directory / file->name).string() + " cannot be opened";
            ctx.out.showMessage(file->missingText);
            return JobOutcome::MissingFile;
        }
    }
    for (InputFile* file : {&code, &database}) {
        if (file->size > MAX_FILE_SIZE) {
            ctx.detail = std::string(file->name) + " has " + std::to_string(file->size) +
                         " bytes, more than the limit of " + std::to_string(MAX_FILE_SIZE);
            ctx.out.setStatus(text::TOO_LARGE);
            return JobOutcome::InputRefused;
        }
    }
    for (InputFile* file : {&code, &database}) {
        if (!readInput(*file)) {
            ctx.detail = (directory / file->name).string() + " could not be read whole";
            ctx.out.showMessage(file->missingText);
            return JobOutcome::MissingFile;
        }
    }

    // A failed code half stops the job: writing the database and restarting would start the
    // device on a broken program and report success.
    if (!writeCode(ctx, code.buffer(), static_cast<std::int32_t>(code.size)))
        return JobOutcome::DeviceFailed;
    transformDatabase(database.buffer(), database.size);
    if (!writeDatabase(ctx, database.buffer(), static_cast<std::int32_t>(database.size)))
        return JobOutcome::DeviceFailed;
    return JobOutcome::Success;
}

} // namespace quarvo
