// The whole update as one journey: the plan's shares, the line while a job runs (progress, time
// left, a silent device) and the line at its end.
#include "frontend/journey.h"
#include "frontend/window_texts.h"

#include "job/flash_job.h"

#include <gtest/gtest.h>

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
    }
    // A large code image makes the code's steps the larger part of the update.
    const UpdatePlan large = planUpdate(3 << 20, 1000);
    EXPECT_GT(large[1].end, 0.9);
}

// The line as a job goes: each row feeds the journey and reads its line at `atUs`.
struct LineCase {
    const char* name;
    double stepStart;
    double stepEnd;
    std::uint32_t position; // of 100, heard at heardUs
    std::int64_t heardUs;
    std::int64_t atUs;
    JourneyTone tone;
    const char* expected; // the whole line
};

class JourneyLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(JourneyLineTest, SaysTheStepTheProgressAndWhatItWaitsFor)
{
    const LineCase& c = GetParam();
    Journey journey;
    journey.begin(0);
    journey.enterStep({UpdateStep::CodeWrite, c.stepStart, c.stepEnd}, 0);
    journey.progress(100, c.position, c.heardUs);
    // The bar's return to 0, or erase reports that go round, are no progress.
    journey.progress(100, 0, c.atUs);
    journey.progress(100, c.position, c.atUs);
    const JourneyLine line = journey.line(c.atUs);
    EXPECT_EQ(line.tone, c.tone);
    EXPECT_EQ(line.text, c.expected);
    EXPECT_EQ(line.step, UpdateStep::CodeWrite);
}

INSTANTIATE_TEST_SUITE_P(
    WhileAJobRuns, JourneyLineTest,
    ::testing::Values(
        // Too early for a pace: no time left.
        LineCase{"Early", 0.0, 0.5, 10, SECOND_US, SECOND_US, JourneyTone::Running,
                 "第 2 步，共 6 步：寫入程式碼 · 5%"},
        // A quarter done in 10 s: 30 s to go.
        LineCase{"Paced", 0.0, 0.5, 50, 10 * SECOND_US, 10 * SECOND_US, JourneyTone::Running,
                 "第 2 步，共 6 步：寫入程式碼 · 25% · 約剩 0:30"},
        // No progress for a while: the line counts the wait instead.
        LineCase{"Silent", 0.0, 0.5, 50, 10 * SECOND_US, 22 * SECOND_US, JourneyTone::Waiting,
                 "第 2 步，共 6 步：寫入程式碼 · 等待設備回應… 12 秒"},
        // Up to the notice's bound it still reads as running.
        LineCase{"AtTheBound", 0.0, 0.5, 50, 10 * SECOND_US, 10 * SECOND_US + 3000000,
                 JourneyTone::Running, "第 2 步，共 6 步：寫入程式碼 · 25% · 約剩 0:39"}),
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
    Journey reading;
    reading.begin(0);
    EXPECT_EQ(reading.line(0).text, windowtext::READING_FILES);
    EXPECT_EQ(reading.line(0).tone, JourneyTone::Running);
}

TEST(JourneyEnd, SaysWhatHappenedAndWhatToDoNext)
{
    const JourneyLine success = endLine({JobOutcome::Success, UpdateStep::Restart, true});
    EXPECT_EQ(success.tone, JourneyTone::Success);
    EXPECT_EQ(success.text, windowtext::END_SUCCESS);
    EXPECT_EQ(success.overall, 1.0);

    const JourneyLine failed = endLine({JobOutcome::DeviceFailed, UpdateStep::DatabaseWrite, true});
    EXPECT_EQ(failed.tone, JourneyTone::Failure);
    EXPECT_TRUE(contains(failed.text, "第 5 步（寫入資料庫）失敗")) << failed.text;
    EXPECT_TRUE(contains(failed.text, "再按「更新」")) << failed.text;

    // Never reached: the cable, and no word of the flash or of a lost program.
    const JourneyLine unreached = endLine({JobOutcome::DeviceFailed, UpdateStep::CodeErase, false});
    EXPECT_EQ(unreached.tone, JourneyTone::Failure);
    EXPECT_EQ(unreached.text, windowtext::END_NOT_REACHED);
    for (const char* word : {"Flash", "清除", "程式"})
        EXPECT_FALSE(contains(unreached.text, word)) << word;

    for (const JobOutcome outcome :
         {JobOutcome::MissingFile, JobOutcome::InputRefused, JobOutcome::OutOfMemory}) {
        const JourneyLine refused = endLine({outcome, std::nullopt, false});
        EXPECT_EQ(refused.tone, JourneyTone::Failure);
        EXPECT_EQ(refused.text, windowtext::END_FILES_REFUSED);
    }
}

} // namespace
} // namespace quarvo
