#include "job_fixture.h"
#include "settled_files.h"

#include "job/file_texts.h"
#include "job/settle_watch.h"
#include "job/sha256.h"
#include "protocol/texts.h"

#include <chrono>
#include <fstream>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace quarvo {
namespace {

class FlashJobTest : public JobFixture, public ::testing::Test {};

TEST_F(FlashJobTest, HealthyUpdateWritesCodeHeaderAndDatabaseThenRestarts)
{
    SimDevice& device = attach();
    const auto code = pattern(5000, 1);
    const auto database = pattern(700, 2);
    writeFile(CODE_FILE, code);
    writeFile(DATABASE_FILE, database);

    EXPECT_EQ(runSettled(ctx, dir), JobOutcome::Success);

    EXPECT_EQ(device.flash(CODE_ADDRESS, 20 * 256), expectedPages(code, code.size()));
    const auto header = buildImageHeader(5000);
    EXPECT_EQ(device.flash(IMAGE_HEADER_ADDRESS, 256),
              std::vector<std::uint8_t>(header.begin(), header.begin() + 256));

    auto transformed = database;
    transformed.resize(database.size() + 1, 0);
    transformDatabase(transformed, database.size());
    EXPECT_EQ(device.flash(DATABASE_ADDRESS, 3 * 256), expectedPages(transformed, database.size()));

    EXPECT_TRUE(device.restarted());
    EXPECT_EQ(device.unerasedWriteCount(), 0u);
    EXPECT_TRUE(device.violations().empty());
    EXPECT_EQ(out.statuses(),
              (std::vector<std::string>{text::ERASING, text::WRITING, text::REGION_WRITE_OK,
                                        text::WRITING, text::ERASING, text::WRITING,
                                        text::REGION_WRITE_OK, text::UPDATE_OK}));
    EXPECT_TRUE(out.messages().empty());
    EXPECT_EQ(out.bar.shown(), 0u);
}

TEST_F(FlashJobTest, ImageHeaderCarriesTheEightWords)
{
    const auto header = buildImageHeader(0x12345);
    const std::uint32_t words[8] = {0x474D495F, 32,      0x00130000, 0x4000A000,
                                    0x4000A000, 0x12345, 0x00100001, 0};
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(loadLe32(header.data() + 4 * i), words[i]) << "word " << i;
    EXPECT_EQ(header[0], '_');
    EXPECT_EQ(header[3], 'G');
    EXPECT_TRUE(
        std::all_of(header.begin() + 32, header.end(), [](std::uint8_t b) { return b == 0; }));
}

struct MissingCase {
    const char* name;
    bool code;
    bool database;
    const char* message;
};
class MissingFiles : public JobFixture, public ::testing::TestWithParam<MissingCase> {};

TEST_P(MissingFiles, AreShownInAMessageBoxAndNothingIsSent)
{
    const auto& c = GetParam();
    SimDevice& device = attach();
    if (c.code)
        writeFile(CODE_FILE, pattern(300, 1));
    if (c.database)
        writeFile(DATABASE_FILE, pattern(300, 2));
    EXPECT_EQ(runFlashJob(ctx, dir), JobOutcome::MissingFile);
    EXPECT_EQ(out.messages(), std::vector<std::string>{c.message});
    EXPECT_TRUE(out.statuses().empty());
    EXPECT_EQ(device.linksOpened(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MissingFiles,
    ::testing::Values(MissingCase{"neither", false, false, text::MISSING_DATABASE},
                      MissingCase{"only_database", false, true, text::MISSING_CODE},
                      MissingCase{"only_code", true, false, text::MISSING_DATABASE}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(FlashJobTest, ADirectoryInPlaceOfAFileCountsAsMissing)
{
    SimDevice& device = attach();
    writeFile(DATABASE_FILE, pattern(300, 2));
    std::filesystem::create_directory(dir / CODE_FILE);
    EXPECT_EQ(runFlashJob(ctx, dir), JobOutcome::MissingFile);
    EXPECT_EQ(out.messages(), std::vector<std::string>{text::MISSING_CODE});
    EXPECT_EQ(device.linksOpened(), 0u);
}

struct OversizeCase {
    const char* name;
    std::uintmax_t codeSize;
    std::uintmax_t databaseSize;
    const char* detail; // what the technical line says
};
class OversizeFiles : public JobFixture, public ::testing::TestWithParam<OversizeCase> {};

TEST_P(OversizeFiles, AreRefusedBeforeAnythingIsSent)
{
    SimDevice& device = attach();
    sizedFile(CODE_FILE, GetParam().codeSize);
    sizedFile(DATABASE_FILE, GetParam().databaseSize);
    EXPECT_EQ(runSettled(ctx, dir), JobOutcome::InputRefused);
    EXPECT_EQ(out.statuses(), std::vector<std::string>{text::TOO_LARGE});
    EXPECT_TRUE(out.messages().empty());
    EXPECT_NE(ctx.detail.find(GetParam().detail), std::string::npos) << ctx.detail;
    EXPECT_EQ(device.linksOpened(), 0u);
}

constexpr const char* INTO_DATABASE = "it would run into the database region at 0x640000";

INSTANTIATE_TEST_SUITE_P(
    Table, OversizeFiles,
    ::testing::Values(
        OversizeCase{"code", MAX_FILE_SIZE + 1, 100, INTO_DATABASE},
        OversizeCase{"database", 100, MAX_FILE_SIZE + 1,
                     "car_data.bin has 16736257 bytes, more than the limit of 16736256"},
        OversizeCase{"huge_code", 1ULL << 34, 100, INTO_DATABASE},
        // One byte more than the room between 0xA000 and the database at 0x640000.
        OversizeCase{"code_one_byte_into_the_database", 0x636001, 100,
                     "code_data.bin has 6512641 bytes, more than the limit of 6512640: written "
                     "at 0xA000 it would run into the database region at 0x640000"}),
    [](const auto& row) { return std::string(row.param.name); });

// The page after the data, which every region write sends, lands on the database's first page;
// the database's own erase and write come after it and leave the database whole.
TEST_F(FlashJobTest, CodeThatEndsWhereTheDatabaseBeginsIsWrittenWhole)
{
    SimDevice& device = attach();
    device.setRecordTraffic(false);
    const auto code = pattern(0x636000, 3);
    const auto database = pattern(700, 2);
    writeFile(CODE_FILE, code);
    writeFile(DATABASE_FILE, database);

    ASSERT_EQ(runFlashJob(ctx, dir), JobOutcome::Success) << ctx.detail;

    EXPECT_TRUE(device.flash(CODE_ADDRESS, code.size()) == code);
    EXPECT_EQ(loadLe32(device.flash(IMAGE_HEADER_ADDRESS, 32).data() + 20), 0x636000u);
    auto transformed = database;
    transformed.resize(database.size() + 1, 0);
    transformDatabase(transformed, database.size());
    EXPECT_EQ(device.flash(DATABASE_ADDRESS, 3 * 256), expectedPages(transformed, database.size()));
    EXPECT_EQ(device.unerasedWriteCount(), 0u);
    EXPECT_TRUE(device.violations().empty());
}

TEST_F(FlashJobTest, AFileOfExactlyTheLimitIsWritten)
{
    SimDevice& device = attach();
    device.setRecordTraffic(false);
    writeFile(CODE_FILE, pattern(1000, 1));
    sizedFile(DATABASE_FILE, MAX_FILE_SIZE);
    EXPECT_EQ(runFlashJob(ctx, dir), JobOutcome::Success);
    const auto commands = device.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands[commands.size() - 2].param2, regionPageCount(MAX_FILE_SIZE));
    EXPECT_EQ(device.unerasedWriteCount(), 0u);
    EXPECT_TRUE(device.violations().empty());
}

// With 100-byte files every region is one page, so the output reports are numbered:
// 1 code erase, 2 code program, 3-6 code data, 7 header erase, 8 header program, 9-12 header
// data, 13 database erase, 14 database program, 15-18 database data, 19 restart.
struct DeviceFailureCase {
    const char* name;
    SimScenario scenario;
    const char* lastStatus;
    bool databaseWritten;
    bool restarted;
};
class DeviceFailures : public JobFixture, public ::testing::TestWithParam<DeviceFailureCase> {};

TEST_P(DeviceFailures, EndTheJobWithoutSuccess)
{
    const auto& c = GetParam();
    SimDevice& device = attach(c.scenario);
    writeFile(CODE_FILE, pattern(100, 1));
    writeFile(DATABASE_FILE, pattern(100, 2));

    EXPECT_EQ(runFlashJob(ctx, dir), JobOutcome::DeviceFailed);
    EXPECT_EQ(out.lastStatus(), c.lastStatus);
    const auto statuses = out.statuses();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), text::UPDATE_OK),
              c.databaseWritten ? 1 : 0);
    bool databaseTouched = false;
    for (const auto& command : device.commands())
        databaseTouched |= command.command == CMD_ERASE && command.param1 == DATABASE_ADDRESS >> 12;
    EXPECT_EQ(databaseTouched,
              c.databaseWritten || c.scenario.at > 13); // the device took the database erase
    EXPECT_EQ(device.restarted(), c.restarted);
    EXPECT_EQ(out.bar.shown(), 0u);
    EXPECT_FALSE(ctx.detail.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceFailures,
    ::testing::Values(
        // Nothing reached the device: the status line keeps the connection's text.
        DeviceFailureCase{"absent", {Fault::Absent, 0}, text::CONNECT_FAILED, false, false},
        DeviceFailureCase{
            "code_erase", {Fault::WriteFail, 1}, text::REGION_ERASE_FAILED, false, false},
        DeviceFailureCase{
            "code_wait", {Fault::ReadFail, 1}, text::REGION_ERASE_FAILED, false, false},
        DeviceFailureCase{
            "code_endless", {Fault::Endless, 0}, text::REGION_ERASE_FAILED, false, false},
        DeviceFailureCase{
            "code_data", {Fault::WriteFail, 4}, text::REGION_WRITE_FAILED, false, false},
        DeviceFailureCase{
            "header_erase", {Fault::WriteFail, 7}, text::REGION_ERASE_FAILED, false, false},
        DeviceFailureCase{
            "header_command", {Fault::WriteFail, 8}, text::REGION_WRITE_FAILED, false, false},
        DeviceFailureCase{
            "header_data", {Fault::WriteFail, 12}, text::REGION_WRITE_FAILED, false, false},
        DeviceFailureCase{
            "database_erase", {Fault::WriteFail, 13}, text::REGION_ERASE_FAILED, false, false},
        DeviceFailureCase{
            "database_data", {Fault::ShortWrite, 16}, text::REGION_WRITE_FAILED, false, false},
        DeviceFailureCase{"vanishes_in_database",
                          {Fault::Disconnect, 16},
                          text::REGION_WRITE_FAILED,
                          false,
                          false},
        DeviceFailureCase{"restart", {Fault::WriteFail, 19}, text::RESTART_FAILED, true, false}),
    [](const auto& row) { return std::string(row.param.name); });

struct EmptyCase {
    const char* name;
    std::size_t codeSize;
    std::size_t databaseSize;
    const char* message;
};
class EmptyFiles : public JobFixture, public ::testing::TestWithParam<EmptyCase> {};

// An empty file would erase nothing and program a page of zeros; it is refused like a missing one.
TEST_P(EmptyFiles, AreRefusedByNameBeforeAnythingIsSent)
{
    const auto& c = GetParam();
    SimDevice& device = attach();
    writeFile(CODE_FILE, pattern(c.codeSize, 1));
    writeFile(DATABASE_FILE, pattern(c.databaseSize, 2));
    EXPECT_EQ(runSettled(ctx, dir), JobOutcome::InputRefused);
    EXPECT_EQ(out.messages(), std::vector<std::string>{c.message});
    EXPECT_TRUE(out.statuses().empty());
    EXPECT_NE(ctx.detail.find("is empty"), std::string::npos);
    EXPECT_EQ(device.linksOpened(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, EmptyFiles,
                         ::testing::Values(EmptyCase{"code", 0, 100, text::EMPTY_CODE},
                                           EmptyCase{"database", 100, 0, text::EMPTY_DATABASE},
                                           EmptyCase{"both", 0, 0, text::EMPTY_CODE}),
                         [](const auto& row) { return std::string(row.param.name); });

struct UnreadableCase {
    const char* name;
    void (*make)(const std::filesystem::path&);
    const char* reason;
};
class UnreadableFiles : public JobFixture, public ::testing::TestWithParam<UnreadableCase> {};

// The message box keeps its text; the technical line says what is wrong with the file.
TEST_P(UnreadableFiles, AreRefusedWithTheirReason)
{
    SimDevice& device = attach();
    writeFile(DATABASE_FILE, pattern(300, 2));
    GetParam().make(dir / CODE_FILE);
    EXPECT_EQ(runFlashJob(ctx, dir), JobOutcome::MissingFile);
    EXPECT_EQ(out.messages(), std::vector<std::string>{text::MISSING_CODE});
    EXPECT_NE(ctx.detail.find(GetParam().reason), std::string::npos) << ctx.detail;
    EXPECT_EQ(device.linksOpened(), 0u);
}

const UnreadableCase UNREADABLE_CASES[] = {
    {"missing", [](const std::filesystem::path&) {}, "No such file or directory"},
    {"directory", [](const std::filesystem::path& p) { std::filesystem::create_directory(p); },
     "is a directory"},
#if !defined(_WIN32) // symbolic links need privileges there, and there are no FIFOs
    {"dangling_link",
     [](const std::filesystem::path& p) { std::filesystem::create_symlink("nowhere", p); },
     "No such file or directory"},
    // Opening a FIFO without a writer must not wait for one.
    {"fifo", [](const std::filesystem::path& p) { ::mkfifo(p.c_str(), 0600); },
     "is not a regular file"},
    {"device",
     [](const std::filesystem::path& p) { std::filesystem::create_symlink("/dev/null", p); },
     "is not a regular file"},
#endif
};

INSTANTIATE_TEST_SUITE_P(Table, UnreadableFiles, ::testing::ValuesIn(UNREADABLE_CASES),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- a file that changes while it is read ----

// Writes other bytes over the file's own, keeping its size and inode.
void rewriteInPlace(const std::filesystem::path& p)
{
    std::fstream file(p, std::ios::in | std::ios::out | std::ios::binary);
    const std::string other(static_cast<std::size_t>(std::filesystem::file_size(p)), '\x5A');
    file.write(other.data(), static_cast<std::streamsize>(other.size()));
}

struct ChangeCase {
    const char* name;
    void (*change)(const std::filesystem::path&); // between the first reading and the checks
    const char* detail;                           // what the refusal says; null: loaded
};
class ChangedWhileRead : public JobFixture, public ::testing::TestWithParam<ChangeCase> {};

TEST_P(ChangedWhileRead, IsRefusedWhileAnUnchangedFileLoads)
{
    const auto& c = GetParam();
    const auto code = pattern(300, 1);
    writeFile(CODE_FILE, code);
    writeFile(DATABASE_FILE, pattern(300, 2));
    UpdateFiles files;
    LoadHooks hooks;
    hooks.afterFirstRead = [&c](const std::filesystem::path& p) {
        if (p.filename() == CODE_FILE)
            c.change(p);
    };
    const JobOutcome outcome = loadUpdateFiles(ctx, dir, files, hooks);
    if (!c.detail) {
        ASSERT_EQ(outcome, JobOutcome::Success) << ctx.detail;
        EXPECT_TRUE(std::equal(code.begin(), code.end(), files.code.data.get()));
        EXPECT_TRUE(out.messages().empty());
        return;
    }
    EXPECT_EQ(outcome, JobOutcome::MissingFile);
    EXPECT_EQ(out.messages(), std::vector<std::string>{text::MISSING_CODE});
    EXPECT_NE(ctx.detail.find(std::string("changed while being read: ") + c.detail),
              std::string::npos)
        << ctx.detail;
}

const ChangeCase CHANGE_CASES[] = {
    {"unchanged", [](const std::filesystem::path&) {}, nullptr},
    {"rewritten_with_a_new_time",
     [](const std::filesystem::path& p) {
         const auto before = std::filesystem::last_write_time(p);
         rewriteInPlace(p);
         std::filesystem::last_write_time(p, before + std::chrono::seconds(5));
     },
     "byte 0 differs between two readings"},
    // What a rewrite within one tick of the file system's clock looks like: the time stays.
    {"rewritten_keeping_its_time",
     [](const std::filesystem::path& p) {
         const auto before = std::filesystem::last_write_time(p);
         rewriteInPlace(p);
         std::filesystem::last_write_time(p, before);
     },
     "byte 0 differs between two readings"},
    {"touched",
     [](const std::filesystem::path& p) {
         std::filesystem::last_write_time(p, std::filesystem::last_write_time(p) +
                                                 std::chrono::seconds(5));
     },
     "its modification time moved"},
    {"grown",
     [](const std::filesystem::path& p) {
         std::ofstream(p, std::ios::binary | std::ios::app) << 'x';
     },
     "its size went from 300 to 301 bytes"},
    {"truncated", [](const std::filesystem::path& p) { std::filesystem::resize_file(p, 200); },
     "200 of 300 bytes"},
#if !defined(_WIN32) // there the open file can be neither renamed over nor removed
    {"replaced",
     [](const std::filesystem::path& p) {
         std::ofstream(p.string() + ".new", std::ios::binary) << std::string(300, 'x');
         std::filesystem::rename(p.string() + ".new", p);
     },
     "another file took its place"},
    {"removed", [](const std::filesystem::path& p) { std::filesystem::remove(p); },
     "No such file or directory"},
#endif
};

INSTANTIATE_TEST_SUITE_P(Table, ChangedWhileRead, ::testing::ValuesIn(CHANGE_CASES),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(Printable, EscapesControlCharactersAndKeepsTheRest)
{
    EXPECT_EQ(printable("更新檔/code_data.bin"), "更新檔/code_data.bin");
    EXPECT_EQ(printable(std::string("a\x1b[2Jb\nc\x7f\0", 10)), "a\\x1B[2Jb\\x0Ac\\x7F\\x00");
    EXPECT_EQ(printable("\xc2\x9b"
                        "31m"),
              "\\x9B31m"); // C1 CSI as UTF-8
    EXPECT_EQ(printable("C:\\Users\\x"), "C:\\Users\\x");
    // Bytes that are not UTF-8, raw C1 CSI above all, are escaped; whole sequences are kept.
    EXPECT_EQ(printable("a\x9b"
                        "2Jb"),
              "a\\x9B2Jb");
    EXPECT_EQ(printable("\xe6\x9b"), "\\xE6\\x9B");          // truncated
    EXPECT_EQ(printable("\xc0\x9b"), "\\xC0\\x9B");          // overlong
    EXPECT_EQ(printable("\xed\xa0\x80"), "\\xED\\xA0\\x80"); // a surrogate
    EXPECT_EQ(printable("\xf0\x9f\x9a\x97"), "\xf0\x9f\x9a\x97");
}

TEST_F(FlashJobTest, BytesAfterTheDataAreZeroOnTheDevice)
{
    SimDevice& device = attach();
    writeFile(CODE_FILE, pattern(300, 1));
    writeFile(DATABASE_FILE, pattern(20, 2));
    ASSERT_EQ(runFlashJob(ctx, dir), JobOutcome::Success);
    const auto codeTail = device.flash(CODE_ADDRESS + 300, 512 - 300);
    EXPECT_TRUE(
        std::all_of(codeTail.begin(), codeTail.end(), [](std::uint8_t b) { return b == 0; }));
    // The database's first byte after the data is transformed like the data; the rest stay zero.
    const auto dbTail = device.flash(DATABASE_ADDRESS + 20, 256 - 20);
    EXPECT_EQ(dbTail[0], 20 - 8);
    EXPECT_TRUE(
        std::all_of(dbTail.begin() + 1, dbTail.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(FlashJobTest, CodeOfAWholeNumberOfSectorsStaysInErasedFlash)
{
    SimDevice& device = attach();
    writeFile(CODE_FILE, pattern(8192, 1));
    writeFile(DATABASE_FILE, pattern(4096, 2));
    ASSERT_EQ(runFlashJob(ctx, dir), JobOutcome::Success);
    EXPECT_EQ(device.unerasedWriteCount(), 0u);
}

// ---- the database transform ----

struct TransformCase {
    const char* name;
    std::size_t length;
    std::size_t position;
    std::uint8_t key; // what the byte at `position` is XORed with
};
class DatabaseTransform : public ::testing::TestWithParam<TransformCase> {};

TEST_P(DatabaseTransform, XorsEachPositionWithItsKey)
{
    const auto& c = GetParam();
    std::vector<std::uint8_t> buffer(c.length + BUFFER_SLACK, 0);
    for (std::size_t i = 0; i < c.length; ++i)
        buffer[i] = static_cast<std::uint8_t>(0xA5 ^ i);
    const auto before = buffer;
    transformDatabase(buffer, c.length);
    EXPECT_EQ(buffer[c.position], before[c.position] ^ c.key);
    EXPECT_EQ(buffer[0], before[0]);
    EXPECT_TRUE(std::equal(buffer.begin() + static_cast<long>(c.length) + 1, buffer.end(),
                           before.begin() + static_cast<long>(c.length) + 1));
}

INSTANTIATE_TEST_SUITE_P(Positions, DatabaseTransform,
                         ::testing::Values(TransformCase{"short_file_unchanged", 8, 5, 0},
                                           TransformCase{"short_file_byte_after_stays_zero", 8, 8,
                                                         0},
                                           TransformCase{"one_byte_file", 1, 1, 0},
                                           TransformCase{"position_8_untouched", 300, 8, 0},
                                           TransformCase{"position_9_key_1", 300, 9, 1},
                                           TransformCase{"position_263_key_255", 300, 263, 255},
                                           TransformCase{"position_264_wrapped", 300, 264, 0},
                                           TransformCase{"position_265_key_1", 300, 265, 1},
                                           TransformCase{"byte_after_data", 300, 300,
                                                         static_cast<std::uint8_t>(300 - 8)}),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace quarvo
