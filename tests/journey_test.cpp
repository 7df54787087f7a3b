// The whole update as one journey: the plan's shares, the line while a job runs (progress, time
// left, a silent device) and the line at its end.
#include "frontend/journey.h"
#include "frontend/window_texts.h"

#include "job/flash_job.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quarvo {
namespace {

constexpr std::int64_t SECOND_US = 1000000;

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

TEST(UpdatePlan, StepsFollowOneAnotherFromZeroToOneWeighedByTheirWork)
{
    for (const auto& [code, database] :
         {std::pair{1, 1}, std::pair{3000, 1000}, std::pair{0x636000, 0xFF6000}}) {
        const UpdatePlan plan = planUpdate(code, database);
        double before = 0;
        for (int i = 0; i < UPDATE_STEP_COUNT; ++i) {
            const StepInfo& step = plan[static_cast<std::size_t>(i)];
            EXPECT_EQ(step.step, static_cast<UpdateStep>(i));
            EXPECT_DOUBLE_EQ(step.start, before) << i;
            EXPECT_GE(step.end, step.start) << i;
            before = step.end;
        }
        EXPECT_EQ(before, 1.0);
        // Each step knows its work and the work of the steps after it, exactly.
        const std::uint32_t codeSectors = regionSectorCount(code);
        const std::uint32_t databaseSectors = regionSectorCount(database);
        EXPECT_EQ(plan[0].sectors, codeSectors);
        EXPECT_EQ(plan[0].laterSectors, databaseSectors);
        EXPECT_EQ(plan[1].reports, 1 + 4 * regionPageCount(code));
        EXPECT_EQ(plan[4].laterReports, 1u);
        for (int i = 0; i + 1 < UPDATE_STEP_COUNT; ++i)
            EXPECT_EQ(plan[static_cast<std::size_t>(i)].laterReports,
                      plan[static_cast<std::size_t>(i) + 1].reports +
                          plan[static_cast<std::size_t>(i) + 1].laterReports)
                << i;
    }
    // A large code image makes the code's steps the larger part of the update.
    const UpdatePlan large = planUpdate(3 << 20, 1000);
    EXPECT_GT(large[1].end, 0.9);
}

// The line while a job runs, from the run's snapshot.
struct LineCase {
    const char* name;
    double overall;
    std::optional<std::int64_t> timeLeftUs;
    std::int64_t quietUs;
    std::int64_t stalledUs;
    std::int64_t waitLeftUs;      // of the current wait (0: none)
    std::int64_t wholeWaitLeftUs; // of the longer wait it belongs to (0: none)
    JourneyTone tone;
    const char* expected; // the whole line
};

class JourneyLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(JourneyLineTest, SaysTheStepTheWholeUpdatesShareAndTheTimeLeftOrTheWaitsLimit)
{
    const LineCase& c = GetParam();
    RunSnapshot snapshot;
    snapshot.nowUs = 100 * SECOND_US;
    snapshot.step = StepInfo{UpdateStep::CodeWrite, 0.0, 0.5};
    snapshot.overall = c.overall;
    snapshot.timeLeftUs = c.timeLeftUs;
    snapshot.quietUs = c.quietUs;
    snapshot.stalledUs = c.stalledUs;
    if (c.waitLeftUs > 0)
        snapshot.waitUntilUs = snapshot.nowUs + c.waitLeftUs;
    if (c.wholeWaitLeftUs > 0)
        snapshot.wholeWaitUntilUs = snapshot.nowUs + c.wholeWaitLeftUs;
    const JourneyLine line = runningLine(snapshot);
    EXPECT_EQ(line.tone, c.tone);
    EXPECT_EQ(line.text, c.expected);
    EXPECT_EQ(line.step, UpdateStep::CodeWrite);
    EXPECT_EQ(line.overall, c.overall);
}

INSTANTIATE_TEST_SUITE_P(
    WhileAJobRuns, JourneyLineTest,
    ::testing::Values(
        // No pace measured yet: no time left.
        LineCase{"NoPaceYet", 0.05, std::nullopt, 0, 0, 0, 0, JourneyTone::Running,
                 "第 2 步，共 6 步：寫入程式碼 · 整體 5%"},
        LineCase{"Seconds", 0.25, 35 * SECOND_US, 0, 0, 0, 0, JourneyTone::Running,
                 "第 2 步，共 6 步：寫入程式碼 · 整體 25% · 約剩 35 秒"},
        LineCase{"Minutes", 0.25, 135 * SECOND_US, 0, 0, 0, 0, JourneyTone::Running,
                 "第 2 步，共 6 步：寫入程式碼 · 整體 25% · 約剩 2 分 15 秒"},
        // Rounded up: what is left is never shown as nothing while the job still runs.
        LineCase{"UnderASecond", 0.99, SECOND_US / 2, 0, 0, 0, 0, JourneyTone::Running,
                 "第 2 步，共 6 步：寫入程式碼 · 整體 99% · 即將完成"},
        // The device has said nothing for a while: how long it will still be waited for.
        LineCase{"Silent", 0.25, 35 * SECOND_US, 12 * SECOND_US, 12 * SECOND_US, 18 * SECOND_US,
                 800 * SECOND_US, JourneyTone::Waiting,
                 "第 2 步，共 6 步：寫入程式碼 · 等待設備回應，最多再等 18 秒"},
        // Erase records come but get no further: the erase's own limit.
        LineCase{"Stalled", 0.25, 35 * SECOND_US, 0, 12 * SECOND_US, 30 * SECOND_US,
                 820 * SECOND_US, JourneyTone::Waiting,
                 "第 2 步，共 6 步：寫入程式碼 · 清除未見進展，最多再等 13 分 40 秒"},
        // Up to the notice's bound it still reads as running.
        LineCase{"AtTheBound", 0.25, 39 * SECOND_US, 3 * SECOND_US, 3 * SECOND_US, 2 * SECOND_US, 0,
                 JourneyTone::Running, "第 2 步，共 6 步：寫入程式碼 · 整體 25% · 約剩 39 秒"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Journey, ProgressNeverGoesBackWhenTheBarReturnsToZeroOrAStepStartsLower)
{
    Journey journey;
    journey.begin(0);
    journey.enterStep({UpdateStep::CodeErase, 0.0, 0.4}, 0);
    journey.progress(100, 100, 1);
    EXPECT_DOUBLE_EQ(journey.overall(), 0.4);
    journey.progress(100, 0, 2); // the bar's return to 0 at the end of the erase
    EXPECT_DOUBLE_EQ(journey.overall(), 0.4);
    journey.enterStep({UpdateStep::CodeWrite, 0.3, 0.8}, 3);
    journey.progress(100, 10, 4);
    EXPECT_DOUBLE_EQ(journey.overall(), 0.4);
    journey.progress(100, 50, 5);
    EXPECT_DOUBLE_EQ(journey.overall(), 0.55);
    // A position beyond the range counts as the range's end.
    journey.progress(10, 500, 6);
    EXPECT_DOUBLE_EQ(journey.overall(), 0.8);
    // Before any step the line says the files are being read.
    EXPECT_EQ(runningLine(RunSnapshot{}).text, windowtext::READING_FILES);
    EXPECT_EQ(runningLine(RunSnapshot{}).tone, JourneyTone::Running);
}

// What the device holds, and the sentence it leads to.
struct EndCase {
    const char* name;
    JobOutcome outcome;
    bool reached;
    RegionState program;
    RegionState header;
    RegionState database;
    bool restartSent;
    FailureKind failure;
    int stoppedBy;
    const char* expected;
};

class JourneyEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(JourneyEndTest, SaysWhatTheDeviceHoldsAndWhatToDoNext)
{
    const EndCase& c = GetParam();
    JobEnd end;
    end.outcome = c.outcome;
    end.device.reached = c.reached;
    end.device[DeviceRegion::Program] = c.program;
    end.device[DeviceRegion::Header] = c.header;
    end.device[DeviceRegion::Database] = c.database;
    end.device.restartSent = c.restartSent;
    end.device.failure = c.failure;
    end.stoppedBy = c.stoppedBy;
    // Whichever step the job ended in: the sentence never depends on it.
    for (const auto step :
         {UpdateStep::CodeErase, UpdateStep::DatabaseWrite, UpdateStep::Restart}) {
        end.step = step;
        const JourneyLine line = endLine(end);
        EXPECT_EQ(line.text, c.expected);
        EXPECT_EQ(line.tone,
                  c.outcome == JobOutcome::Success ? JourneyTone::Success : JourneyTone::Failure);
    }
}

using R = RegionState;
using F = FailureKind;
const std::string STOPPED_NO_PROGRAM =
    std::string(windowtext::END_STOPPED_PREFIX) + windowtext::END_NO_PROGRAM;

INSTANTIATE_TEST_SUITE_P(
    Table, JourneyEndTest,
    ::testing::Values(
        EndCase{"Success", JobOutcome::Success, true, R::Written, R::Written, R::Written, true,
                F::None, 0, windowtext::END_SUCCESS},
        EndCase{"Absent", JobOutcome::DeviceFailed, false, R::Untouched, R::Untouched, R::Untouched,
                false, F::DeviceAbsent, 0, windowtext::END_NOT_REACHED},
        EndCase{"OpenRefused", JobOutcome::DeviceFailed, false, R::Untouched, R::Untouched,
                R::Untouched, false, F::OpenRefused, 0, windowtext::END_OPEN_REFUSED},
        EndCase{"FirstReportNotTaken", JobOutcome::DeviceFailed, false, R::Untouched, R::Untouched,
                R::Untouched, false, F::LinkLost, 0, windowtext::END_NOTHING_TAKEN},
        EndCase{"FilesRefused", JobOutcome::InputRefused, false, R::Untouched, R::Untouched,
                R::Untouched, false, F::None, 0, windowtext::END_FILES_REFUSED},
        EndCase{"OutOfMemoryBeforeAnything", JobOutcome::OutOfMemory, false, R::Untouched,
                R::Untouched, R::Untouched, false, F::None, 0, windowtext::END_FILES_REFUSED},
        EndCase{"StoppedBeforeAnything", JobOutcome::DeviceFailed, false, R::Untouched,
                R::Untouched, R::Untouched, false, F::Stopped, 15,
                windowtext::END_STOPPED_UNCHANGED},
        EndCase{"SilentInTheErase", JobOutcome::DeviceFailed, true, R::BeingErased, R::Untouched,
                R::Untouched, false, F::DeviceSilent, 0, windowtext::END_NO_PROGRAM},
        EndCase{"CableOutInTheCode", JobOutcome::DeviceFailed, true, R::PartlyWritten, R::Untouched,
                R::Untouched, false, F::LinkLost, 0, windowtext::END_NO_PROGRAM_LINK_LOST},
        EndCase{"HeaderNotWritten", JobOutcome::DeviceFailed, true, R::Written, R::BeingErased,
                R::Untouched, false, F::DeviceRefused, 0, windowtext::END_NO_PROGRAM},
        EndCase{"DatabaseNotErased", JobOutcome::DeviceFailed, true, R::Written, R::Written,
                R::BeingErased, false, F::LinkLost, 0, windowtext::END_DATABASE_INCOMPLETE},
        EndCase{"DatabaseHalfWritten", JobOutcome::DeviceFailed, true, R::Written, R::Written,
                R::PartlyWritten, false, F::DeviceSilent, 0, windowtext::END_DATABASE_INCOMPLETE},
        EndCase{"RestartNotSent", JobOutcome::DeviceFailed, true, R::Written, R::Written,
                R::Written, false, F::LinkLost, 0, windowtext::END_NOT_RESTARTED},
        EndCase{"StoppedInTheCode", JobOutcome::DeviceFailed, true, R::PartlyWritten, R::Untouched,
                R::Untouched, false, F::Stopped, 15, STOPPED_NO_PROGRAM.c_str()}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(JourneyIdle, SaysWhetherTheUpdateFilesAreThere)
{
    EXPECT_EQ(idleLine({}).text, windowtext::IDLE_READY);
    EXPECT_TRUE(contains(idleLine({DATABASE_FILE}).text, "找不到 car_data.bin"));
    EXPECT_EQ(idleLine({CODE_FILE, DATABASE_FILE}).text, windowtext::IDLE_BOTH_MISSING);
    EXPECT_EQ(idleLine({}).tone, JourneyTone::Idle);
}

} // namespace
} // namespace quarvo
