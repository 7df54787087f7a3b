#include "protocol_fixture.h"

#include "protocol/texts.h"

#include <cstring>
#include <numeric>

namespace quarvo {
namespace {

using Kind = RecordingSurface::Kind;

class CommandsTest : public ProtocolFixture, public ::testing::Test {};

TEST_F(CommandsTest, EraseSendsOneFramedReportAndReturnsItsCount)
{
    SimDevice& device = attach();
    EXPECT_EQ(eraseBlocks(ctx, 10, 3), 3);
    const auto sent = reportsSent(device);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], commandReport(CMD_ERASE, 10, 3));
    EXPECT_EQ(sent[0][15], 0xA4);
    EXPECT_TRUE(out.calls.empty()); // success leaves the surface alone
    EXPECT_FALSE(device.linkOpen());
}

TEST_F(CommandsTest, EraseOfZeroSectorsIsSentButReadsAsFailure)
{
    SimDevice& device = attach();
    EXPECT_EQ(eraseBlocks(ctx, 10, 0), 0);
    EXPECT_EQ(reportsSent(device).size(), 1u);
}

TEST_F(CommandsTest, RestartSendsTheFixedArguments)
{
    SimDevice& device = attach();
    EXPECT_EQ(restartDevice(ctx), 0);
    EXPECT_EQ(reportsSent(device),
              std::vector<Report>{commandReport(CMD_RESTART, RESTART_PARAM1, RESTART_PARAM2)});
    EXPECT_TRUE(device.restarted());
}

struct SingleCommandFailure {
    const char* name;
    bool restart;
    SimScenario scenario;
    int result;
    const char* status;
};
class SingleCommandFailures : public ProtocolFixture,
                              public ::testing::TestWithParam<SingleCommandFailure> {};

TEST_P(SingleCommandFailures, ShowTheirTextAndResult)
{
    const auto& c = GetParam();
    attach(c.scenario);
    EXPECT_EQ(c.restart ? restartDevice(ctx) : eraseBlocks(ctx, 10, 3), c.result);
    EXPECT_EQ(out.statuses(), std::vector<std::string>{c.status});
    EXPECT_FALSE(ctx.detail.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SingleCommandFailures,
    ::testing::Values(
        SingleCommandFailure{"erase_absent", false, {Fault::Absent, 0}, 0, text::CONNECT_FAILED},
        SingleCommandFailure{
            "erase_refused", false, {Fault::OpenRefused, 0}, 0, text::CONNECT_FAILED},
        SingleCommandFailure{
            "erase_not_sent", false, {Fault::WriteFail, 1}, 0, text::ERASE_COMMAND_ERROR},
        SingleCommandFailure{
            "erase_stalled", false, {Fault::Stall, 1}, 0, text::ERASE_COMMAND_ERROR},
        SingleCommandFailure{"restart_absent", true, {Fault::Absent, 0}, -1, text::CONNECT_FAILED},
        SingleCommandFailure{
            "restart_not_sent", true, {Fault::WriteFail, 1}, -1, text::RESTART_COMMAND_ERROR},
        SingleCommandFailure{
            "restart_short", true, {Fault::ShortWrite, 1}, -1, text::RESTART_COMMAND_ERROR}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(CommandsTest, RefusedOpenIsToldApartFromAMissingDevice)
{
    attach({Fault::OpenRefused, 0});
    eraseBlocks(ctx, 10, 1);
    EXPECT_EQ(ctx.openFailure, HidDevice::OpenState::Refused);
    EXPECT_NE(ctx.detail.find("Permission denied"), std::string::npos);
}

// ---- erase progress wait ----

class EraseWaitTest : public CommandsTest {
protected:
    // A record with the given first four bytes.
    static std::vector<std::uint8_t> record(std::initializer_list<std::uint8_t> head)
    {
        std::vector<std::uint8_t> r(64, 0);
        std::copy(head.begin(), head.end(), r.begin());
        return r;
    }
};

TEST_F(EraseWaitTest, FollowsTheDevicesErase)
{
    attach();
    ASSERT_TRUE(openLink());
    ASSERT_EQ(eraseBlocks(ctx, bootloader, 10, 4), 4);
    EXPECT_EQ(waitEraseProgress(ctx, bootloader, 4), 64);
    EXPECT_EQ(out.statuses(), std::vector<std::string>{text::ERASING});
    EXPECT_EQ(out.ranges(), std::vector<std::uint32_t>{100});
    EXPECT_EQ(out.positions(), (std::vector<std::uint32_t>{0, 25, 50, 75, 100, 4, 0}));
}

struct SplitCase {
    const char* name;
    Fault fault;
    int result;
};
class EraseWaitSplits : public ProtocolFixture, public ::testing::TestWithParam<SplitCase> {};

TEST_P(EraseWaitSplits, GathersRecordsFromShortPayloads)
{
    attach({GetParam().fault, 0});
    ASSERT_TRUE(openLink());
    ASSERT_EQ(eraseBlocks(ctx, bootloader, 10, 2), 2);
    EXPECT_EQ(waitEraseProgress(ctx, bootloader, 2), GetParam().result);
    EXPECT_EQ(out.positions(), (std::vector<std::uint32_t>{0, 50, 100, 2, 0}));
}

INSTANTIATE_TEST_SUITE_P(Payloads, EraseWaitSplits,
                         ::testing::Values(SplitCase{"full", Fault::None, 64},
                                           SplitCase{"split32", Fault::Split32, 64},
                                           SplitCase{"split40", Fault::Split40, 80}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(EraseWaitTest, OnlyLowerCaseOverEndsTheWaitAndProgressWordsMoveTheBar)
{
    SimDevice& device = attach();
    device.injectInput(record({'O', 'V', 'E', 'R'}));
    device.injectInput(record({'o', 'v', 'e', 0}));
    device.injectInput(record({' ', 'o', 'v', 'e'}));
    device.injectInput(record({50, 0, 0, 0}));
    device.injectInput(record({0x64, 0, 0, 0}));
    device.injectInput(record({'o', 'v', 'e', 'r'}));
    ASSERT_TRUE(openLink());
    EXPECT_EQ(waitEraseProgress(ctx, bootloader, 7), 64);
    EXPECT_EQ(out.positions(), (std::vector<std::uint32_t>{
                                   0, loadLe32(record({'O', 'V', 'E', 'R'}).data()),
                                   loadLe32(record({'o', 'v', 'e', 0}).data()),
                                   loadLe32(record({' ', 'o', 'v', 'e'}).data()), 50, 100, 7, 0}));
}

TEST_F(EraseWaitTest, AReportWithoutPayloadIsNotARecord)
{
    attach({Fault::EmptyRead, 1});
    ASSERT_TRUE(openLink());
    ASSERT_EQ(eraseBlocks(ctx, bootloader, 10, 1), 1);
    EXPECT_EQ(waitEraseProgress(ctx, bootloader, 1), 64);
}

struct WaitFailure {
    const char* name;
    SimScenario scenario;
    const char* status;
};
class EraseWaitFailures : public ProtocolFixture, public ::testing::TestWithParam<WaitFailure> {};

TEST_P(EraseWaitFailures, EndWithTheirTextAndTheBarAtZero)
{
    const auto& c = GetParam();
    attach(c.scenario);
    ASSERT_TRUE(openLink());
    eraseBlocks(ctx, bootloader, 10, 2);
    out.calls.clear();
    EXPECT_EQ(waitEraseProgress(ctx, bootloader, 2), -1);
    EXPECT_EQ(out.lastStatus(), c.status);
    EXPECT_EQ(out.ranges(), std::vector<std::uint32_t>{100});
    EXPECT_EQ(out.positions().back(), 0u);
    EXPECT_EQ(out.bar.shown(), 0u);
    EXPECT_FALSE(ctx.detail.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, EraseWaitFailures,
    ::testing::Values(WaitFailure{"read_fails", {Fault::ReadFail, 2}, text::ERASE_READ_ERROR},
                      WaitFailure{"silent", {Fault::Silent, 0}, text::ERASE_READ_ERROR},
                      WaitFailure{"endless", {Fault::Endless, 0}, text::ERASE_READ_ERROR},
                      WaitFailure{"vanishes", {Fault::Disconnect, 1}, text::ERASE_READ_ERROR}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(EraseWaitTest, SilentDeviceIsGivenUpAfterTheRecordBound)
{
    attach({Fault::Silent, 0});
    ASSERT_TRUE(openLink());
    eraseBlocks(ctx, bootloader, 10, 1);
    const std::int64_t start = clock.nowUs();
    EXPECT_EQ(waitEraseProgress(ctx, bootloader, 1), -1);
    EXPECT_EQ(clock.nowUs() - start, std::int64_t{ERASE_RECORD_TIMEOUT_MS} * 1000);
}

// Every read of the wait tells how long it may last: its record's bound, within the whole erase's.
TEST_F(EraseWaitTest, EachReadSaysItsLimitAndTheWholeErasesLimit)
{
    attach({Fault::Endless, 0});
    ASSERT_TRUE(openLink());
    eraseBlocks(ctx, bootloader, 10, 3);
    out.waits.clear();
    const std::int64_t start = clock.nowUs();
    EXPECT_EQ(waitEraseProgress(ctx, bootloader, 3), -1);
    const std::int64_t wholeUs =
        start + (ERASE_RECORD_TIMEOUT_MS + 3 * ERASE_WAIT_PER_SECTOR_MS) * 1000LL;
    ASSERT_GT(out.waits.size(), 2u);
    EXPECT_EQ(out.waits.front().untilUs, start + ERASE_RECORD_TIMEOUT_MS * 1000LL);
    for (const WaitInfo& wait : out.waits) {
        EXPECT_EQ(wait.wholeUntilUs, wholeUs);
        EXPECT_LE(wait.untilUs, wholeUs);
    }
    // Near the end a record may come no later than the whole erase's end.
    EXPECT_EQ(out.waits.back().untilUs, wholeUs);
    EXPECT_EQ(ctx.device.failure, FailureKind::DeviceSilent);
}

// The wait may begin anywhere within a millisecond: its last read must still reach the whole
// wait's end, and the end is told as the erase running out of time, not as one record missing.
class EndlessErase : public EraseWaitTest, public ::testing::WithParamInterface<std::int64_t> {};

TEST_P(EndlessErase, IsCutOffByTheWholeWaitBound)
{
    attach({Fault::Endless, 0});
    ASSERT_TRUE(openLink());
    eraseBlocks(ctx, bootloader, 10, 3);
    clock.sleepUntilUs(clock.nowUs() + GetParam());
    const std::int64_t start = clock.nowUs();
    EXPECT_EQ(waitEraseProgress(ctx, bootloader, 3), -1);
    const std::int64_t bound = (ERASE_RECORD_TIMEOUT_MS + 3 * ERASE_WAIT_PER_SECTOR_MS) * 1000LL;
    EXPECT_GE(clock.nowUs() - start, bound);
    EXPECT_LE(clock.nowUs() - start, bound + 1000);
    EXPECT_NE(ctx.detail.find("did not end"), std::string::npos) << ctx.detail;
    EXPECT_EQ(ctx.device.failure, FailureKind::DeviceSilent);
}

INSTANTIATE_TEST_SUITE_P(StartingAt, EndlessErase, ::testing::Values(0, 400, 999),
                         [](const auto& row) { return std::to_string(row.param) + "us"; });

// ---- programming ----

class ProgramTest : public CommandsTest {
protected:
    static std::vector<std::uint8_t> counting(std::size_t size)
    {
        std::vector<std::uint8_t> data(size);
        std::iota(data.begin(), data.end(), std::uint8_t{0});
        return data;
    }
};

TEST_F(ProgramTest, OnePageSendsTheCommandAndFourDataReports)
{
    SimDevice& device = attach();
    const auto data = counting(256);
    EXPECT_EQ(programPages(ctx, data, 0x80, 1), 256u);
    const auto sent = reportsSent(device);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0], commandReport(CMD_PROGRAM, 0x80, 1));
    for (std::size_t r = 0; r < 4; ++r) {
        EXPECT_EQ(sent[r + 1][0], 0);
        EXPECT_TRUE(std::equal(data.begin() + static_cast<long>(r * 64),
                               data.begin() + static_cast<long>(r * 64 + 64),
                               sent[r + 1].begin() + 1));
    }
    EXPECT_EQ(out.ranges(), std::vector<std::uint32_t>{1});
    EXPECT_EQ(out.positions(), (std::vector<std::uint32_t>{0, 1, 0}));
    EXPECT_EQ(out.statuses(), std::vector<std::string>{text::WRITING});
}

struct PageCase {
    std::uint32_t pages;
    std::vector<std::uint32_t> positions;
};
class ProgramProgress : public ProtocolFixture, public ::testing::TestWithParam<PageCase> {};

TEST_P(ProgramProgress, RunsOnePageAheadCappedAtTheCount)
{
    const std::uint32_t pages = GetParam().pages;
    SimDevice& device = attach();
    std::vector<std::uint8_t> data(pages * 256);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    EXPECT_EQ(programPages(ctx, data, 0xA0, pages), pages * 256);
    EXPECT_EQ(out.ranges(), std::vector<std::uint32_t>{pages});
    EXPECT_EQ(out.positions(), GetParam().positions);

    const auto sent = reportsSent(device);
    ASSERT_EQ(sent.size(), 4 * pages + 1);
    std::vector<std::uint8_t> streamed;
    for (std::size_t r = 1; r < sent.size(); ++r)
        streamed.insert(streamed.end(), sent[r].begin() + 1, sent[r].end());
    EXPECT_EQ(streamed, data);
}

std::vector<std::uint32_t> seventeenPages()
{
    std::vector<std::uint32_t> positions{0};
    for (std::uint32_t p = 2; p <= 17; ++p)
        positions.push_back(p);
    positions.push_back(17);
    positions.push_back(0);
    return positions;
}

INSTANTIATE_TEST_SUITE_P(Counts, ProgramProgress,
                         ::testing::Values(PageCase{4, {0, 2, 3, 4, 4, 0}},
                                           PageCase{17, seventeenPages()}));

TEST_F(ProgramTest, ZeroPagesSendsOnlyTheCommandAndReturnsZero)
{
    SimDevice& device = attach();
    const auto data = counting(256);
    EXPECT_EQ(programPages(ctx, data, 0x80, 0), 0u);
    EXPECT_EQ(reportsSent(device).size(), 1u);
}

TEST_F(ProgramTest, DataShorterThanThePagesIsRefusedBeforeAnythingIsSent)
{
    SimDevice& device = attach();
    const auto data = counting(255);
    EXPECT_EQ(programPages(ctx, data, 0x80, 1), 0u);
    EXPECT_TRUE(reportsSent(device).empty());
    EXPECT_EQ(out.lastStatus(), text::WRITE_DATA_ERROR);
}

struct ProgramFailure {
    const char* name;
    SimScenario scenario;
    const char* status;
    std::size_t reportsTaken;
};
class ProgramFailures : public ProtocolFixture, public ::testing::TestWithParam<ProgramFailure> {};

TEST_P(ProgramFailures, StopTheStreamWithTheirText)
{
    const auto& c = GetParam();
    SimDevice& device = attach(c.scenario);
    std::vector<std::uint8_t> data(512, 0x42);
    EXPECT_EQ(programPages(ctx, data, 0x80, 2), 0u);
    EXPECT_EQ(out.lastStatus(), c.status);
    EXPECT_EQ(out.positions().back(), 0u);
    std::size_t taken = 0;
    for (const auto& t : device.traffic())
        taken += t.out && t.count == 65;
    EXPECT_EQ(taken, c.reportsTaken);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProgramFailures,
    ::testing::Values(
        ProgramFailure{"absent", {Fault::Absent, 0}, text::CONNECT_FAILED, 0},
        ProgramFailure{"command", {Fault::WriteFail, 1}, text::WRITE_COMMAND_ERROR, 0},
        ProgramFailure{"first_data", {Fault::WriteFail, 2}, text::WRITE_DATA_ERROR, 1},
        ProgramFailure{"last_data", {Fault::WriteFail, 9}, text::WRITE_DATA_ERROR, 8},
        ProgramFailure{"short_data", {Fault::ShortWrite, 4}, text::WRITE_DATA_ERROR, 3},
        ProgramFailure{"zero_data", {Fault::ZeroWrite, 4}, text::WRITE_DATA_ERROR, 3},
        ProgramFailure{"vanishes", {Fault::Disconnect, 3}, text::WRITE_DATA_ERROR, 3}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- region write ----

struct RegionCase {
    std::int32_t length;
    std::uint32_t sectors;
    std::uint32_t pages;
};
class RegionWrite : public ProtocolFixture, public ::testing::TestWithParam<RegionCase> {};

TEST_P(RegionWrite, LeavesTheDataAndTheBuffersNextBytesInErasedFlash)
{
    const auto& c = GetParam();
    SimDevice& device = attach();
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(c.length) + 512);
    for (std::size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = static_cast<std::uint8_t>(i * 13 + 5);

    EXPECT_EQ(writeRegion(ctx, buffer, c.length, 0xA000), 0);

    const auto commands = device.commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].command, CMD_ERASE);
    EXPECT_EQ(commands[0].param1, 10u);
    EXPECT_EQ(commands[0].param2, c.sectors);
    EXPECT_EQ(commands[1].command, CMD_PROGRAM);
    EXPECT_EQ(commands[1].param1, 0xA0u);
    EXPECT_EQ(commands[1].param2, c.pages);

    const std::size_t programmed = c.pages * 256;
    EXPECT_EQ(
        device.flash(0xA000, programmed),
        std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(programmed)));
    EXPECT_TRUE(device.erased(static_cast<std::uint32_t>(0xA000 + programmed)) ||
                programmed == c.sectors * 4096);
    EXPECT_EQ(device.unerasedWriteCount(), 0u);
    EXPECT_TRUE(device.violations().empty());
    EXPECT_EQ(out.lastStatus(), text::WRITING);
    EXPECT_EQ(out.bar.shown(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, RegionWrite,
                         ::testing::Values(RegionCase{1, 1, 1}, RegionCase{3840, 1, 16},
                                           RegionCase{4000, 1, 16}, RegionCase{4096, 2, 17},
                                           RegionCase{4097, 2, 17}, RegionCase{8192, 3, 33}));

// A device that finds its sectors blank answers the erase before another link could be opened;
// the wait must still see every record, "over" included.
TEST_F(CommandsTest, AnEraseAnsweredAtOnceIsFollowedToItsEnd)
{
    SimDevice& device = attach({Fault::InstantErase, 0});
    std::vector<std::uint8_t> buffer(1 + 512, 0x5A);
    EXPECT_EQ(writeRegion(ctx, buffer, 1, 0xA000), 0);
    EXPECT_EQ(out.statuses(), (std::vector<std::string>{text::ERASING, text::WRITING}));
    EXPECT_EQ(out.positions(), (std::vector<std::uint32_t>{0, 100, 1, 0, 0, 1, 0}));
    EXPECT_EQ(device.flash(0xA000, 256),
              std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 256));
    EXPECT_EQ(device.unerasedWriteCount(), 0u);
}

// Records delivered to an earlier link and left unread there must not end a later erase's wait.
TEST_F(CommandsTest, ARecordLeftOnAnEarlierLinkNeverEndsALaterWait)
{
    SimDevice& device = attach({Fault::Silent, 0});
    ASSERT_TRUE(openLink());
    std::vector<std::uint8_t> over(64, 0);
    std::memcpy(over.data(), "over", 4);
    device.injectInput(over);
    bootloader.close();
    std::vector<std::uint8_t> buffer(1 + 512, 0x5A);
    EXPECT_EQ(writeRegion(ctx, buffer, 1, 0xA000), -1);
    EXPECT_EQ(out.lastStatus(), text::ERASE_READ_ERROR);
}

TEST(RegionCounts, EveryAcceptedLengthFitsTheSixteenBitBar)
{
    EXPECT_EQ(regionPageCount(0xFF6000), 0xFF61u);
    EXPECT_LE(regionPageCount(0xFF6000), 0xFFFFu);
    EXPECT_EQ(regionSectorCount(0), 0u);
    EXPECT_EQ(regionSectorCount(0xFF6000), 0xFF7u);
}

TEST_F(CommandsTest, EmptyRegionIsAnEraseFailureWithNothingProgrammed)
{
    SimDevice& device = attach();
    std::vector<std::uint8_t> buffer(512);
    EXPECT_EQ(writeRegion(ctx, buffer, 0, 0xA000), -1);
    ASSERT_EQ(device.commands().size(), 1u);
    EXPECT_EQ(device.commands()[0].param2, 0u);
}

struct RegionFailure {
    const char* name;
    SimScenario scenario;
    int result;
    const char* status;
};
class RegionFailures : public ProtocolFixture, public ::testing::TestWithParam<RegionFailure> {};

TEST_P(RegionFailures, FoldIntoTheResultCode)
{
    const auto& c = GetParam();
    attach(c.scenario);
    std::vector<std::uint8_t> buffer(1000 + 512, 0x33);
    EXPECT_EQ(writeRegion(ctx, buffer, 1000, 0xA000), c.result);
    EXPECT_EQ(out.lastStatus(), c.status);
    EXPECT_EQ(out.bar.shown(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RegionFailures,
    ::testing::Values(
        RegionFailure{"absent", {Fault::Absent, 0}, -1, text::CONNECT_FAILED},
        RegionFailure{"erase_not_sent", {Fault::WriteFail, 1}, -1, text::ERASE_COMMAND_ERROR},
        RegionFailure{"wait_fails", {Fault::ReadFail, 1}, -1, text::ERASE_READ_ERROR},
        RegionFailure{"vanishes_after_erase", {Fault::Disconnect, 1}, -1, text::ERASE_READ_ERROR},
        RegionFailure{"program_command", {Fault::WriteFail, 2}, -2, text::WRITE_COMMAND_ERROR},
        RegionFailure{"program_data", {Fault::WriteFail, 5}, -2, text::WRITE_DATA_ERROR}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace quarvo
