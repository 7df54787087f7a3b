// The update history: records written and read back whole, a line torn by a power cut skipped
// and appended after correctly, the file kept within its bound, and the JSON it is made of.
#include "frontend/history.h"
#include "frontend/json.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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
    EXPECT_EQ(records.back().durationMs - records.front().durationMs,
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
