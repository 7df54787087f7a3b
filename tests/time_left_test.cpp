// The time left against the truth: a whole job on the simulator's virtual clock, with devices far
// faster and slower than the plan at erasing and at taking reports, fed to the estimate as the run
// feeds it, and the estimate read at every event and every tenth of a second in between.
#include "job_fixture.h"
#include "settled_files.h"

#include "frontend/time_left.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace quarvo {
namespace {

// What the job told, and when.
class TimedSurface final : public OutputSurface {
public:
    struct Event {
        std::int64_t atUs;
        std::optional<StepInfo> step;
        bool range = false;
        std::uint32_t value = 0;
    };
    explicit TimedSurface(Clock& clock) : m_clock(clock) {}
    void setStatus(const std::string&) override {}
    void setProgressRange(std::uint32_t maximum) override
    {
        events.push_back({m_clock.nowUs(), std::nullopt, true, maximum});
    }
    void setProgressPos(std::uint32_t position) override
    {
        events.push_back({m_clock.nowUs(), std::nullopt, false, position});
    }
    void showMessage(const std::string&) override {}
    void beginStep(const StepInfo& step) override { events.push_back({m_clock.nowUs(), step}); }

    std::vector<Event> events;

private:
    Clock& m_clock;
};

struct PaceCase {
    double eraseFactor;  // the device's time per sector, in plans
    double reportFactor; // its time per report, in plans
    std::size_t codeBytes = 3 << 20;
};

void PrintTo(const PaceCase& c, std::ostream* out)
{
    *out << "erase x" << c.eraseFactor << ", reports x" << c.reportFactor << ", " << c.codeBytes
         << " bytes of code";
}

double seconds(std::int64_t us) { return static_cast<double>(us) / 1e6; }

class TimeLeftAtPaces : public JobFixture, public ::testing::TestWithParam<PaceCase> {};

TEST_P(TimeLeftAtPaces, StaysNearTheTruthOnceBothKindsOfWorkHaveBeenSeenForASecond)
{
    SimTiming timing;
    timing.sectorEraseUs = static_cast<std::int64_t>(PLAN_SECTOR_ERASE_US * GetParam().eraseFactor);
    timing.reportUs = static_cast<std::int64_t>(PLAN_REPORT_US * GetParam().reportFactor);
    attachBootloader(backend, {}, timing).setRecordTraffic(false);
    // At 3 MiB even the fastest erase takes over a second; at 512 KiB it is over in a quarter.
    writeFile(CODE_FILE, pattern(GetParam().codeBytes, 1));
    writeFile(DATABASE_FILE, pattern(1 << 20, 2));
    TimedSurface timed(clock);
    CommandContext job{backend, timed};
    const std::int64_t startUs = clock.nowUs();
    ASSERT_EQ(runSettled(job, dir), JobOutcome::Success);
    const std::int64_t endUs = clock.nowUs();

    TimeLeft estimate;
    estimate.begin(startUs);
    std::uint16_t maximum = 100;
    std::int64_t eraseSeenUs = 0;
    std::int64_t reportsSeenUs = 0;
    bool wholeEraseSeen = false;
    std::optional<StepInfo> step;
    std::int64_t stepUs = startUs;
    std::optional<std::int64_t> shownBefore;
    int checked = 0;
    const auto look = [&](std::int64_t nowUs) {
        const std::int64_t inStepUs = nowUs - stepUs;
        // An erase followed from start to end counts as seen, however short it was.
        const bool seen = (eraseSeenUs + (step && step->sectors > 0 ? inStepUs : 0) >= 1000000 ||
                           wholeEraseSeen) &&
                          reportsSeenUs + (step && step->sectors == 0 ? inStepUs : 0) >= 1000000;
        const std::optional<std::int64_t> shown = estimate.leftUs(nowUs);
        const std::int64_t truth = endUs - nowUs;
        if (seen) {
            ASSERT_TRUE(shown) << "at " << seconds(nowUs) << " s";
            const double allowed = std::max(0.2 * static_cast<double>(truth), 3e6);
            ASSERT_LE(std::abs(static_cast<double>(*shown - truth)), allowed)
                << "at " << seconds(nowUs) << " s: " << seconds(*shown) << " s shown, "
                << seconds(truth) << " s left";
            // At a steady pace it never rises (by more than the rounding of whole seconds).
            if (checked > 0) {
                ASSERT_LE(*shown, *shownBefore + 1000000) << "at " << seconds(nowUs) << " s";
            }
            ++checked;
        } else if (shown && shownBefore) {
            // Before that, only the plan's prior is shown, and it never rises.
            ASSERT_LE(*shown, *shownBefore) << "at " << seconds(nowUs) << " s";
        }
        if (shown) {
            shownBefore = shown;
        }
    };
    std::int64_t lastLookUs = startUs;
    for (const TimedSurface::Event& event : timed.events) {
        // Every tenth of a second between two events, then the event itself.
        for (std::int64_t at = lastLookUs + 100000; at < event.atUs; at += 100000)
            look(at);
        if (event.step) {
            if (step) {
                (step->sectors > 0 ? eraseSeenUs : reportsSeenUs) += event.atUs - stepUs;
                wholeEraseSeen = wholeEraseSeen || step->sectors > 0;
            }
            step = event.step;
            stepUs = event.atUs;
            estimate.enterStep(*event.step, event.atUs);
        } else if (event.range) {
            maximum = static_cast<std::uint16_t>(event.value);
            estimate.progress(maximum, 0, event.atUs);
        } else {
            estimate.progress(maximum, event.value, event.atUs);
        }
        look(event.atUs);
        lastLookUs = event.atUs;
    }
    // The table is only worth something when it checked the estimate for most of the update.
    EXPECT_GT(checked, 10);
}

// A device silent from the start: the plan's estimate counts down for one step of progress at
// most, never to "almost done" for a device that has done nothing.
TEST(TimeLeftOfASilentDevice, StaysWhereTheLastProgressLeftIt)
{
    TimeLeft estimate;
    estimate.begin(0);
    StepInfo erase;
    erase.sectors = 100;
    erase.laterReports = 400;
    estimate.enterStep(erase, 0);
    estimate.progress(100, 0, 0);
    const std::int64_t planUs =
        static_cast<std::int64_t>(100 * PLAN_SECTOR_ERASE_US + 400 * PLAN_REPORT_US);
    EXPECT_EQ(estimate.leftUs(0), planUs);
    for (const std::int64_t atUs : {100000, 1000000, 10000000, 30000000}) {
        const auto shown = estimate.leftUs(atUs);
        ASSERT_TRUE(shown);
        // One of the erase's hundred steps of progress, at the plan's pace.
        EXPECT_EQ(*shown, planUs - std::min<std::int64_t>(atUs, PLAN_SECTOR_ERASE_US)) << atUs;
    }
}

INSTANTIATE_TEST_SUITE_P(Paces, TimeLeftAtPaces,
                         ::testing::Values(PaceCase{0.1, 0.25}, PaceCase{0.1, 1}, PaceCase{0.1, 4},
                                           PaceCase{1, 0.25}, PaceCase{1, 1}, PaceCase{1, 4},
                                           PaceCase{10, 0.25}, PaceCase{10, 1}, PaceCase{10, 4},
                                           PaceCase{0.1, 1, 512 << 10},
                                           PaceCase{1, 0.25, 512 << 10}));

} // namespace
} // namespace quarvo
