// The update history: records written and read back whole, a line torn by a power cut skipped
// and appended after correctly, the file kept within its bound, and the JSON it is made of.
#include "frontend/history.h"
#include "frontend/json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <latch>
#include <thread>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace quarvo {
namespace {

class HistoryTest : public ::testing::Test {
protected:
    HistoryTest()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = std::filesystem::path(::testing::TempDir()) /
              (std::string("quarvo_history_") + info->name());
        std::filesystem::remove_all(dir);
    }
    ~HistoryTest() override { std::filesystem::remove_all(dir); }

    static HistoryRecord record(int number)
    {
        HistoryRecord r;
        r.time = "2026-12-11T08:00:" + std::to_string(10 + number) + "Z";
        r.frontEnd = "quarvo-flash";
        r.version = "1.2.3";
        r.simulated = number % 2 == 0;
        r.folder = "/home/driver/更新檔";
        r.files = {{"code_data.bin", 300000, std::string(64, 'a')},
                   {"car_data.bin", 1000, std::string(64, 'b')}};
        r.checked = "SHA256SUMS";
        r.devicePath = "/dev/hidraw" + std::to_string(number);
        r.deviceProduct = "Bootloader \"Q\"";
        r.steps = {"code erase", "code write"};
        r.device.reached = true;
        r.device[DeviceRegion::Program] = RegionState::PartlyWritten;
        r.device.failure = FailureKind::LinkLost;
        r.outcome = "device failed";
        r.stoppedBy = "SIGTERM";
        r.detail = "code at 0xA000: data report 37 of 68: write failed:\tgone";
        r.durationMs = 1234 + number;
        return r;
    }
    std::vector<HistoryRecord> readBack(const History& history)
    {
        std::string error;
        const auto lines = history.read(error);
        EXPECT_TRUE(lines) << error;
        std::vector<HistoryRecord> records;
        for (const Json& line : lines.value_or(std::vector<Json>{}))
            records.push_back(HistoryRecord::fromJson(line).value());
        return records;
    }

    std::filesystem::path dir;
};

TEST_F(HistoryTest, ARecordIsReadBackAsItWasWritten)
{
    const History history(dir / "quarvo" / "history.jsonl");
    std::string error;
    ASSERT_TRUE(history.append(record(1), error)) << error;
    const auto records = readBack(history);
    ASSERT_EQ(records.size(), 1u);
    const HistoryRecord& got = records[0];
    const HistoryRecord want = record(1);
    EXPECT_EQ(got.time, want.time);
    EXPECT_EQ(got.folder, want.folder);
    EXPECT_EQ(got.files.at(0).size, 300000u);
    EXPECT_EQ(got.files.at(1).sha256, want.files[1].sha256);
    EXPECT_EQ(got.deviceProduct, want.deviceProduct);
    EXPECT_EQ(got.steps, want.steps);
    EXPECT_EQ(got.device[DeviceRegion::Program], RegionState::PartlyWritten);
    EXPECT_EQ(got.device.failure, FailureKind::LinkLost);
    EXPECT_EQ(got.detail, want.detail);
    EXPECT_EQ(got.stoppedBy, "SIGTERM");
    EXPECT_EQ(got.durationMs, want.durationMs);
    // One line per record, whatever its texts hold.
    std::ifstream in(history.file());
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
#if !defined(_WIN32)
    // The user's own: nobody else reads what was flashed where.
    const auto perms = std::filesystem::status(history.file()).permissions();
    EXPECT_EQ(perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
              std::filesystem::perms::none);
#endif
}

TEST_F(HistoryTest, ALineTornByAPowerCutIsSkippedAndTheNextRecordStandsOnItsOwn)
{
    const History history(dir / "history.jsonl");
    std::string error;
    ASSERT_TRUE(history.append(record(1), error)) << error;
    ASSERT_TRUE(history.append(record(2), error)) << error;
    // The third record's line was cut in the middle when the power went.
    const std::string third = record(3).toJson().dump();
    std::ofstream(history.file(), std::ios::app) << third.substr(0, third.size() / 2);
    auto records = readBack(history);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records.back().time, record(2).time);

    ASSERT_TRUE(history.append(record(4), error)) << error;
    records = readBack(history);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records.back().time, record(4).time);
}

TEST_F(HistoryTest, TheFileKeepsItsNewestRecordsWithinItsBound)
{
    const std::uintmax_t bound = 8 * record(0).toJson().dump().size();
    const History history(dir / "history.jsonl", bound);
    std::string error;
    for (int number = 0; number < 40; ++number)
        ASSERT_TRUE(history.append(record(number), error)) << error;
    EXPECT_LE(std::filesystem::file_size(history.file()), bound);
    const auto records = readBack(history);
    ASSERT_GE(records.size(), 3u);
    EXPECT_EQ(records.back().devicePath, "/dev/hidraw39"); // the newest stays
    EXPECT_NE(records.front().devicePath, "/dev/hidraw0"); // the oldest went
    for (std::size_t i = 1; i < records.size(); ++i)
        EXPECT_LT(records[i - 1].durationMs, records[i].durationMs); // in order, none lost
    EXPECT_EQ(records.back().durationMs.value() - records.front().durationMs.value(),
              static_cast<std::int64_t>(records.size()) - 1);
}

TEST_F(HistoryTest, ReadableTextTellsWhatSupportNeeds)
{
    const std::string text = record(1).readable();
    for (const char* part :
         {"2026-12-11T08:00:11Z", "quarvo-flash 1.2.3",
          "outcome: device failed (stopped by SIGTERM)", "after 1.2 s", "/home/driver/更新檔",
          "code_data.bin: 300000 bytes, SHA-256 aaaa", "files: SHA256SUMS", "/dev/hidraw1",
          "steps: code erase, code write", "program partly written", "restart not sent",
          "last failure: link lost", "data report 37 of 68"})
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
}

TEST_F(HistoryTest, AnAbsentFileHasNoRecords)
{
    const History history(dir / "none" / "history.jsonl");
    EXPECT_TRUE(readBack(history).empty());
}

// Updates that end at once while the file is at its bound: whichever of them trims the file, the
// record of every one of them is there afterwards.
TEST_F(HistoryTest, WritersAppendingAtOnceAtTheBoundLoseNoRecord)
{
    constexpr std::uintmax_t BOUND = 64 * 1024;
    constexpr std::size_t WRITERS = 16;
    constexpr int ROUNDS = 6;
    const History history(dir / "history.jsonl", BOUND);
    const std::string filler = record(0).toJson().dump() + "\n";
    std::filesystem::create_directories(dir);
    for (int round = 0; round < ROUNDS; ++round) {
        {
            std::ofstream out(history.file(), std::ios::trunc | std::ios::binary);
            for (std::uintmax_t size = filler.size(); size <= BOUND; size += filler.size())
                out << filler;
        }
        std::latch start(static_cast<std::ptrdiff_t>(WRITERS));
        std::vector<std::string> errors(WRITERS);
        std::vector<char> kept(WRITERS, 0);
        const auto pathOf = [round](std::size_t writer) {
            return "/dev/round" + std::to_string(round) + "/writer" + std::to_string(writer);
        };
        {
            std::vector<std::jthread> writers;
            for (std::size_t writer = 0; writer < WRITERS; ++writer)
                writers.emplace_back([&, writer] {
                    HistoryRecord r = record(static_cast<int>(writer));
                    r.devicePath = pathOf(writer);
                    start.arrive_and_wait();
                    kept[writer] = history.append(r, errors[writer]);
                });
        }
        std::vector<std::string> paths;
        for (const HistoryRecord& r : readBack(history))
            paths.push_back(r.devicePath);
        for (std::size_t writer = 0; writer < WRITERS; ++writer) {
            EXPECT_TRUE(kept[writer]) << errors[writer];
            EXPECT_NE(std::find(paths.begin(), paths.end(), pathOf(writer)), paths.end())
                << "round " << round << ": the record of " << pathOf(writer) << " is lost";
        }
        EXPECT_LE(std::filesystem::file_size(history.file()), BOUND);
    }
}

// A history far past its bound (written by hand, or by something else) is read from its newest
// part only; the line that part begins inside is not taken for a record, even where what is left
// of it reads as one.
TEST_F(HistoryTest, AnOversizedFileIsReadFromItsNewestPartOnly)
{
    std::filesystem::create_directories(dir);
    const std::filesystem::path file = dir / "history.jsonl";
    constexpr int NEWEST = 6;
    std::string tail;
    for (int number = 0; number < NEWEST; ++number)
        tail += record(number).toJson().dump() + "\n";
    // The line the read begins inside: garbage, then what would be a record on its own. Its
    // length makes the part that is read begin exactly at that record.
    HistoryRecord fragment = record(99);
    fragment.devicePath = "/dev/fragment";
    std::string fragmentLine;
    for (;; fragment.detail += "x") {
        fragmentLine = fragment.toJson().dump() + "\n";
        if ((fragmentLine.size() + tail.size()) % 4 == 0)
            break;
    }
    const std::uintmax_t bound = (fragmentLine.size() + tail.size()) / 4;
    {
        std::ofstream out(file, std::ios::binary);
        for (int number = 0; number < 2000; ++number) {
            HistoryRecord old = record(number);
            old.devicePath = "/dev/old";
            out << old.toJson().dump() << "\n";
        }
        out << "garbage" << fragmentLine << tail;
    }
    const History history(file, bound);
    const auto records = readBack(history);
    ASSERT_EQ(records.size(), static_cast<std::size_t>(NEWEST));
    for (std::size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(records[i].devicePath, record(static_cast<int>(i)).devicePath);
}

#if !defined(_WIN32)
// The history's name given to something other than a file: neither reading nor appending follows
// it, blocks on it or reads it without end; both say what it is.
struct NotAFileCase {
    const char* name;
    void (*make)(const std::filesystem::path& file, const std::filesystem::path& dir);
    const char* said;
};

class HistoryNotAFile : public HistoryTest, public ::testing::WithParamInterface<NotAFileCase> {};

TEST_P(HistoryNotAFile, IsRefusedWithWhatItIs)
{
    std::filesystem::create_directories(dir);
    const std::filesystem::path file = dir / "history.jsonl";
    GetParam().make(file, dir);
    const History history(file);
    std::string error;
    EXPECT_FALSE(history.read(error));
    EXPECT_NE(error.find(GetParam().said), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(history.append(record(1), error));
    EXPECT_NE(error.find(GetParam().said), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, HistoryNotAFile,
    ::testing::Values(
        NotAFileCase{"LinkToAFile",
                     [](const std::filesystem::path& file, const std::filesystem::path& dir) {
                         std::ofstream(dir / "elsewhere") << "{}\n";
                         std::filesystem::create_symlink(dir / "elsewhere", file);
                     },
                     "symbolic link"},
        NotAFileCase{"LinkToADevice",
                     [](const std::filesystem::path& file, const std::filesystem::path&) {
                         std::filesystem::create_symlink("/dev/zero", file);
                     },
                     "symbolic link"},
        NotAFileCase{"NamedPipe",
                     [](const std::filesystem::path& file, const std::filesystem::path&) {
                         ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
                     },
                     "not a regular file"},
        NotAFileCase{"Folder",
                     [](const std::filesystem::path& file, const std::filesystem::path&) {
                         std::filesystem::create_directory(file);
                     },
                     "not a regular file"}),
    [](const auto& row) { return std::string(row.param.name); });
#endif

// Whatever a field holds (a record edited by hand, a device's strings), the readable text shows
// its control characters as escapes: none reaches a terminal or the clipboard raw, and none
// makes a line of its own.
struct HostileFieldCase {
    const char* name;
    void (*put)(HistoryRecord& record, const std::string& text);
};

class HistoryHostileField : public HistoryTest,
                            public ::testing::WithParamInterface<HostileFieldCase> {};

TEST_P(HistoryHostileField, ReadsWithItsControlCharactersEscaped)
{
    using namespace std::string_literals;
    // ESC's clear screen, the C1 CSI as UTF-8 and as a raw byte, NUL, and a line of its own.
    const std::string hostile = "a\x1b[2J\xc2\x9b\x9b\0b\r\n  outcome: success\x7f"s;
    HistoryRecord edited = record(1);
    GetParam().put(edited, hostile);
    // Through its JSON, as a hand-edited line is read.
    const std::optional<Json> json = Json::parse(edited.toJson().dump());
    ASSERT_TRUE(json);
    const std::optional<HistoryRecord> back = HistoryRecord::fromJson(*json);
    ASSERT_TRUE(back);
    const std::string text = back->readable();
    const std::string clean = record(1).readable();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
              std::count(clean.begin(), clean.end(), '\n'))
        << text;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(c == '\n' || (byte >= 0x20 && byte != 0x7f)) << static_cast<int>(byte);
    }
    // The C1 CSI, as UTF-8 and as a raw byte, only as escapes.
    EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << text;
    EXPECT_NE(text.find("\\x1B[2J\\x9B\\x9B\\x00b"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, HistoryHostileField,
    ::testing::Values(
        HostileFieldCase{"Time",
                         [](HistoryRecord& r, const std::string& value) { r.time = value; }},
        HostileFieldCase{"FrontEnd",
                         [](HistoryRecord& r, const std::string& value) { r.frontEnd = value; }},
        HostileFieldCase{"Version",
                         [](HistoryRecord& r, const std::string& value) { r.version = value; }},
        HostileFieldCase{"Folder",
                         [](HistoryRecord& r, const std::string& value) { r.folder = value; }},
        HostileFieldCase{"FileName", [](HistoryRecord& r,
                                        const std::string& value) { r.files[0].name = value; }},
        HostileFieldCase{"Sha256", [](HistoryRecord& r,
                                      const std::string& value) { r.files[1].sha256 = value; }},
        HostileFieldCase{"Checked",
                         [](HistoryRecord& r, const std::string& value) { r.checked = value; }},
        HostileFieldCase{"DevicePath",
                         [](HistoryRecord& r, const std::string& value) { r.devicePath = value; }},
        HostileFieldCase{
            "Product", [](HistoryRecord& r, const std::string& value) { r.deviceProduct = value; }},
        HostileFieldCase{
            "Serial", [](HistoryRecord& r, const std::string& value) { r.deviceSerial = value; }},
        HostileFieldCase{"Step",
                         [](HistoryRecord& r, const std::string& value) { r.steps[1] = value; }},
        HostileFieldCase{"Outcome",
                         [](HistoryRecord& r, const std::string& value) { r.outcome = value; }},
        HostileFieldCase{"StoppedBy",
                         [](HistoryRecord& r, const std::string& value) { r.stoppedBy = value; }},
        HostileFieldCase{"Detail",
                         [](HistoryRecord& r, const std::string& value) { r.detail = value; }}),
    [](const auto& row) { return std::string(row.param.name); });

// Numbers no update could have recorded (a line edited by hand) read as unknown: never cast into
// a value they do not fit, never shown as a made-up figure.
struct OutOfRangeCase {
    const char* name;
    const char* member; // "durationMs", or "size" of the first file
    const char* number;
};

class HistoryOutOfRange : public HistoryTest,
                          public ::testing::WithParamInterface<OutOfRangeCase> {};

TEST_P(HistoryOutOfRange, ReadsAsUnknown)
{
    const OutOfRangeCase& c = GetParam();
    std::string line = record(1).toJson().dump();
    const bool duration = std::string(c.member) == "durationMs";
    const std::string from =
        duration ? std::string("\"durationMs\":1235") : std::string("\"size\":300000");
    const std::size_t at = line.find(from);
    ASSERT_NE(at, std::string::npos) << line;
    line.replace(at, from.size(), "\"" + std::string(c.member) + "\":" + c.number);
    const std::optional<Json> json = Json::parse(line);
    ASSERT_TRUE(json) << line;
    const std::optional<HistoryRecord> back = HistoryRecord::fromJson(*json);
    ASSERT_TRUE(back);
    const std::string text = back->readable();
    if (duration) {
        EXPECT_NE(text.find("after (time unknown)"), std::string::npos) << text;
        EXPECT_TRUE(back->toJson()["durationMs"].isNull());
    } else {
        EXPECT_NE(text.find("code_data.bin: (size unknown)"), std::string::npos) << text;
        EXPECT_TRUE(back->toJson()["files"].items().at(0)["size"].isNull());
    }
    EXPECT_EQ(text.find("922337"), std::string::npos) << text;
    EXPECT_EQ(text.find("184467"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Table, HistoryOutOfRange,
                         ::testing::Values(OutOfRangeCase{"HugeDuration", "durationMs", "1e308"},
                                           OutOfRangeCase{"DurationPastInt64", "durationMs",
                                                          "9223372036854775808"},
                                           OutOfRangeCase{"NegativeDuration", "durationMs", "-5"},
                                           OutOfRangeCase{"DurationAsText", "durationMs", "\"5\""},
                                           OutOfRangeCase{"NegativeSize", "size", "-5"},
                                           OutOfRangeCase{"SizePastUint64", "size", "1e20"},
                                           OutOfRangeCase{"FractionalSize", "size", "2.5"},
                                           OutOfRangeCase{"SizeAsNull", "size", "null"}),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- the JSON underneath ----

TEST(Json, WritesOneLineAndReadsItBack)
{
    Json json;
    json.set("text", "a \"quoted\"\nline\x01 與中文");
    json.set("number", 42);
    json.set("fraction", 0.25);
    json.set("yes", true);
    json.set("nothing", Json());
    json.set("list", Json::Array{Json(1), Json("two")});
    const std::string line = json.dump();
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_NE(line.find("\\u0001"), std::string::npos);
    const std::optional<Json> back = Json::parse(line);
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["text"].text(), "a \"quoted\"\nline\x01 與中文");
    EXPECT_EQ((*back)["number"].number(), 42);
    EXPECT_EQ((*back)["fraction"].number(), 0.25);
    EXPECT_TRUE((*back)["yes"].boolean());
    EXPECT_TRUE((*back)["nothing"].isNull());
    EXPECT_EQ((*back)["list"].items().at(1).text(), "two");
    EXPECT_EQ(back->dump(), line);
}

TEST(Json, RefusesWhatIsNotWholeJson)
{
    for (const char* text : {"", "{", "{\"a\":1", "{\"a\" 1}", "[1,]", "\"open", "{\"a\":1} x",
                             "nul", "{\"a\":\"\x01\"}"})
        EXPECT_FALSE(Json::parse(text)) << text;
    // Nested past any record of ours: refused rather than followed.
    EXPECT_FALSE(Json::parse(std::string(100, '[') + std::string(100, ']')));
}

} // namespace
} // namespace quarvo
