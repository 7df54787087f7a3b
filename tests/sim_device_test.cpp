#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace quarvo {
namespace {

// Drives a SimDevice directly, one report at a time, as the host side would.
class SimDeviceTest : public ::testing::Test {
protected:
    VirtualClock clock;

    std::unique_ptr<SimDevice> make(SimScenario scenario = {}, SimTiming timing = {})
    {
        auto device = std::make_unique<SimDevice>(clock, scenario, timing);
        std::string error;
        EXPECT_TRUE(device->openLink(error)) << error;
        return device;
    }

    static int send(SimDevice& device, const Report& report)
    {
        std::string error;
        return device.write(report.data(), report.size(), error);
    }
    static int command(SimDevice& device, std::uint16_t code, std::uint32_t p1, std::uint32_t p2)
    {
        Report report;
        frameCommand(code, p1, p2, report);
        return send(device, report);
    }
    static int data(SimDevice& device, std::uint8_t value)
    {
        Report report;
        report.fill(value);
        report[0] = 0;
        return send(device, report);
    }
    // Reads records until "over" or a time-out; returns the progress words seen.
    static std::vector<std::uint32_t> readRecords(SimDevice& device, bool& sawOver,
                                                  int timeoutMs = 1000)
    {
        std::vector<std::uint32_t> words;
        sawOver = false;
        std::uint8_t buffer[REPORT_SIZE];
        std::string error;
        while (device.read(buffer, REPORT_SIZE, timeoutMs, error) > 0) {
            if (std::memcmp(buffer + 1, "over", 4) == 0) {
                sawOver = true;
                break;
            }
            words.push_back(loadLe32(buffer + 1));
        }
        return words;
    }
};

TEST_F(SimDeviceTest, RejectsCommandReportsWithBadSignatureOrChecksum)
{
    auto device = make();
    Report report;
    frameCommand(CMD_RESTART, RESTART_PARAM1, RESTART_PARAM2, report);
    Report badSignature = report;
    badSignature[11] = 'X';
    Report badChecksum = report;
    badChecksum[15] ^= 1;
    EXPECT_EQ(send(*device, badSignature), 65);
    EXPECT_EQ(send(*device, badChecksum), 65);
    EXPECT_EQ(command(*device, 0x1234, 0, 0), 65);

    const auto violations = device->violations();
    ASSERT_EQ(violations.size(), 3u);
    EXPECT_NE(violations[0].find("signature"), std::string::npos);
    EXPECT_NE(violations[1].find("checksum"), std::string::npos);
    EXPECT_NE(violations[2].find("unknown command"), std::string::npos);
    EXPECT_FALSE(device->restarted());
}

TEST_F(SimDeviceTest, EraseSetsSectorsToFFAndReportsProgressUntilOver)
{
    auto device = make();
    ASSERT_EQ(command(*device, CMD_ERASE, 10, 3), 65);
    EXPECT_EQ(device->flash(0xA000, 3 * 4096), std::vector<std::uint8_t>(3 * 4096, 0xFF));
    EXPECT_FALSE(device->erased(0xD000));

    bool over = false;
    const auto words = readRecords(*device, over);
    EXPECT_TRUE(over);
    EXPECT_EQ(words, (std::vector<std::uint32_t>{33, 66, 100}));
}

struct EraseCountCase {
    const char* name;
    std::uint32_t firstSector;
    std::uint32_t count;
    std::size_t records;
};
class SimEraseCounts : public SimDeviceTest,
                       public ::testing::WithParamInterface<EraseCountCase> {};

// Whatever count a host sends, the device ends its erase with "over" after at most one record per
// percentage step; a count near 2^32 once made the record loop run for ever.
TEST_P(SimEraseCounts, SendOneRecordPerPercentStepThenOver)
{
    const auto& c = GetParam();
    auto device = make();
    ASSERT_EQ(command(*device, CMD_ERASE, c.firstSector, c.count), 65);
    bool over = false;
    const auto words = readRecords(*device, over, std::numeric_limits<int>::max());
    EXPECT_TRUE(over);
    EXPECT_EQ(words.size(), c.records);
    EXPECT_TRUE(std::is_sorted(words.begin(), words.end()));
    EXPECT_TRUE(std::adjacent_find(words.begin(), words.end()) == words.end());
    if (!words.empty()) {
        EXPECT_EQ(words.back(), 100u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, SimEraseCounts,
    ::testing::Values(EraseCountCase{"none", 10, 0, 0}, EraseCountCase{"one", 10, 1, 1},
                      EraseCountCase{"three", 10, 3, 3}, EraseCountCase{"hundred", 0, 100, 100},
                      EraseCountCase{"many", 0, 150, 101},
                      EraseCountCase{"near_2_to_32", 0xC5FF5600, 0xFEFFFFFF, 101},
                      EraseCountCase{"all_ones", 0, 0xFFFFFFFF, 101}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(SimDeviceTest, AnInjectedEmptyPayloadArrivesAsAReportWithoutPayload)
{
    auto device = make();
    device->injectInput({});
    std::uint8_t buffer[REPORT_SIZE];
    std::string error;
    EXPECT_EQ(device->read(buffer, REPORT_SIZE, 0, error), 1);
    EXPECT_EQ(buffer[0], 0);
}

TEST_F(SimDeviceTest, ProgrammingAndsIntoCellsAndRecordsWritesToUnerasedCells)
{
    auto device = make();
    ASSERT_EQ(command(*device, CMD_ERASE, 0, 1), 65);
    ASSERT_EQ(command(*device, CMD_PROGRAM, 0, 1), 65);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(data(*device, 0xF0), 65);
    EXPECT_EQ(device->unerasedWriteCount(), 0u);

    // The same page again, unerased: the bits AND together and every cell is recorded.
    ASSERT_EQ(command(*device, CMD_PROGRAM, 0, 1), 65);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(data(*device, 0x3C), 65);
    EXPECT_EQ(device->flash(0, 256), std::vector<std::uint8_t>(256, 0x30));
    EXPECT_EQ(device->unerasedWriteCount(), 256u);
    EXPECT_EQ(device->unerasedWrites().front(), 0u);
}

TEST_F(SimDeviceTest, TakesExactlyPagesTimes256BytesOfDataThenCommandsAgain)
{
    auto device = make();
    ASSERT_EQ(command(*device, CMD_ERASE, 8, 1), 65);
    ASSERT_EQ(command(*device, CMD_PROGRAM, 0x80, 2), 65);
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(data(*device, 0x11), 65);
    EXPECT_EQ(device->pendingProgramBytes(), 64u);
    // A command packet inside the data stream is data.
    ASSERT_EQ(command(*device, CMD_RESTART, RESTART_PARAM1, RESTART_PARAM2), 65);
    EXPECT_FALSE(device->restarted());
    EXPECT_EQ(device->pendingProgramBytes(), 0u);
    ASSERT_EQ(command(*device, CMD_RESTART, RESTART_PARAM1, RESTART_PARAM2), 65);
    EXPECT_TRUE(device->restarted());
    EXPECT_EQ(device->commands()[1].dataReceived, 512u);
    EXPECT_TRUE(device->violations().empty());
}

TEST_F(SimDeviceTest, AReportThatIsNotFullSizeIsAViolation)
{
    auto device = make();
    const std::uint8_t shortReport[10] = {};
    std::string error;
    device->write(shortReport, sizeof shortReport, error);
    EXPECT_EQ(device->violations().size(), 1u);
}

TEST_F(SimDeviceTest, RecordsProducedWhileNoLinkIsOpenWaitForTheNextOpen)
{
    auto device = make();
    ASSERT_EQ(command(*device, CMD_ERASE, 10, 2), 65);
    device->closeLink(); // at once: no record is due yet
    clock.sleepUntilUs(clock.nowUs() + 1000000);
    std::string error;
    ASSERT_TRUE(device->openLink(error));
    bool over = false;
    EXPECT_EQ(readRecords(*device, over), (std::vector<std::uint32_t>{50, 100}));
    EXPECT_TRUE(over);
}

TEST_F(SimDeviceTest, RecordsDueWhileALinkWasOpenAreLostWhenItClosesUnread)
{
    auto device = make();
    ASSERT_EQ(command(*device, CMD_ERASE, 8, 1), 65);
    // The next write waits for the busy device, so the erase's records fall due on this link.
    ASSERT_EQ(command(*device, CMD_PROGRAM, 0x80, 1), 65);
    device->closeLink();
    std::string error;
    ASSERT_TRUE(device->openLink(error));
    std::uint8_t buffer[REPORT_SIZE];
    EXPECT_EQ(device->read(buffer, REPORT_SIZE, 1000, error), 0);
}

TEST_F(SimDeviceTest, TrafficLogRecordsBothDirectionsWithTheirCounts)
{
    auto device = make();
    ASSERT_EQ(command(*device, CMD_ERASE, 0, 1), 65);
    bool over = false;
    readRecords(*device, over);
    const auto traffic = device->traffic();
    ASSERT_EQ(traffic.size(), 3u); // the command, one progress record, "over"
    EXPECT_TRUE(traffic[0].out);
    EXPECT_EQ(traffic[0].bytes[1], 0x71);
    EXPECT_FALSE(traffic[2].out);
    EXPECT_EQ(traffic[2].count, 65);
    EXPECT_EQ(std::memcmp(traffic[2].bytes.data() + 1, "over", 4), 0);
}

struct SplitCase {
    Fault fault;
    int payloadCount;
};
class SimSplitRecords : public SimDeviceTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(SimSplitRecords, EachRecordArrivesAsTwoPayloads)
{
    auto device = make({GetParam().fault, 0});
    ASSERT_EQ(command(*device, CMD_ERASE, 0, 1), 65);
    std::uint8_t buffer[REPORT_SIZE];
    std::string error;
    std::vector<int> counts;
    for (int count; (count = device->read(buffer, REPORT_SIZE, 1000, error)) > 0;)
        counts.push_back(count);
    EXPECT_EQ(counts, std::vector<int>(4, GetParam().payloadCount + 1));
}

INSTANTIATE_TEST_SUITE_P(Splits, SimSplitRecords,
                         ::testing::Values(SplitCase{Fault::Split32, 32},
                                           SplitCase{Fault::Split40, 40}));

TEST_F(SimDeviceTest, EndlessEraseNeverSaysOver)
{
    auto device = make({Fault::Endless, 0});
    ASSERT_EQ(command(*device, CMD_ERASE, 0, 1), 65);
    std::uint8_t buffer[REPORT_SIZE];
    std::string error;
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(device->read(buffer, REPORT_SIZE, 1000, error), 65);
        ASSERT_NE(std::memcmp(buffer + 1, "over", 4), 0);
    }
}

TEST_F(SimDeviceTest, SilentDeviceErasesButSendsNothing)
{
    auto device = make({Fault::Silent, 0});
    ASSERT_EQ(command(*device, CMD_ERASE, 0, 1), 65);
    std::uint8_t buffer[REPORT_SIZE];
    std::string error;
    EXPECT_EQ(device->read(buffer, REPORT_SIZE, 30000, error), 0);
    EXPECT_TRUE(device->erased(0));
}

// Faults that strike at one numbered transfer: what the host sees there.
struct TransferFaultCase {
    const char* name;
    SimScenario scenario;
    int expectedWrite3; // result of the third output report
    bool presentAfter;
};
class SimTransferFaults : public SimDeviceTest,
                          public ::testing::WithParamInterface<TransferFaultCase> {};

TEST_P(SimTransferFaults, StrikeAtTheirReport)
{
    const auto& c = GetParam();
    auto device = make(c.scenario);
    EXPECT_EQ(command(*device, CMD_PROGRAM, 0, 1), 65);
    EXPECT_EQ(data(*device, 0xAA), 65);
    EXPECT_EQ(data(*device, 0xAA), c.expectedWrite3);
    EXPECT_EQ(device->present(), c.presentAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimTransferFaults,
    ::testing::Values(TransferFaultCase{"write_fail", {Fault::WriteFail, 3}, -1, true},
                      TransferFaultCase{"short_write", {Fault::ShortWrite, 3}, 33, true},
                      TransferFaultCase{"zero_write", {Fault::ZeroWrite, 3}, 0, true},
                      TransferFaultCase{"stall", {Fault::Stall, 3}, -1, true},
                      TransferFaultCase{"disconnect", {Fault::Disconnect, 3}, 65, false},
                      TransferFaultCase{"healthy", {}, 65, true}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(SimDeviceTest, ReadFaultsStrikeAtTheirRead)
{
    auto failing = make({Fault::ReadFail, 2});
    auto empty = make({Fault::EmptyRead, 2});
    for (SimDevice* device : {failing.get(), empty.get()})
        ASSERT_EQ(command(*device, CMD_ERASE, 0, 1), 65);
    std::uint8_t buffer[REPORT_SIZE];
    std::string error;
    EXPECT_EQ(failing->read(buffer, REPORT_SIZE, 1000, error), 65);
    EXPECT_EQ(failing->read(buffer, REPORT_SIZE, 1000, error), -1);
    EXPECT_EQ(empty->read(buffer, REPORT_SIZE, 1000, error), 65);
    EXPECT_EQ(empty->read(buffer, REPORT_SIZE, 1000, error), 1);
    EXPECT_EQ(empty->read(buffer, REPORT_SIZE, 1000, error), 65); // the record is still there
}

TEST_F(SimDeviceTest, StalledDeviceSendsNothingMore)
{
    auto device = make({Fault::Stall, 2});
    ASSERT_EQ(command(*device, CMD_ERASE, 0, 1), 65);
    EXPECT_EQ(command(*device, CMD_RESTART, RESTART_PARAM1, RESTART_PARAM2), -1);
    std::uint8_t buffer[REPORT_SIZE];
    std::string error;
    EXPECT_EQ(device->read(buffer, REPORT_SIZE, 1000, error), 0);
}

TEST(SimBackend, ScenariosShapeWhatIsAttached)
{
    VirtualClock clock;
    struct Case {
        SimScenario scenario;
        std::size_t enumerated;
        bool opens;
    };
    for (const Case& c :
         {Case{{}, 1, true}, Case{{Fault::Absent, 0}, 0, false},
          Case{{Fault::OpenRefused, 0}, 1, false}, Case{{Fault::SecondDevice, 0}, 2, true}}) {
        SimBackend backend(clock);
        attachBootloader(backend, c.scenario);
        const auto list = backend.enumerate(0, 0);
        EXPECT_EQ(list.size(), c.enumerated) << c.scenario.name();
        std::string error;
        EXPECT_EQ(backend.open("sim:0", error) != nullptr, c.opens) << c.scenario.name();
    }
}

struct ParseCase {
    const char* text;
    std::optional<SimScenario> expected;
};
class ScenarioParsing : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ScenarioParsing, ReadsNamesAndCounts)
{
    const auto parsed = parseScenario(GetParam().text);
    ASSERT_EQ(parsed.has_value(), GetParam().expected.has_value());
    if (parsed) {
        EXPECT_EQ(parsed->fault, GetParam().expected->fault);
        EXPECT_EQ(parsed->at, GetParam().expected->at);
        EXPECT_EQ(parsed->name(), GetParam().text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, ScenarioParsing,
    ::testing::Values(ParseCase{"healthy", SimScenario{}},
                      ParseCase{"write-fail:12", SimScenario{Fault::WriteFail, 12}},
                      ParseCase{"split40", SimScenario{Fault::Split40, 0}},
                      ParseCase{"write-fail", std::nullopt},
                      ParseCase{"write-fail:0", std::nullopt},
                      ParseCase{"write-fail:x", std::nullopt}, ParseCase{"silent:3", std::nullopt},
                      ParseCase{"nonsense", std::nullopt}));

TEST(ScenarioCatalogue, EveryNameParsesBackToItsFault)
{
    for (const ScenarioInfo& info : scenarioCatalogue()) {
        const std::string text = std::string(info.name) + (info.takesCount ? ":1" : "");
        const auto parsed = parseScenario(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_EQ(parsed->fault, info.fault);
    }
}

} // namespace
} // namespace quarvo
