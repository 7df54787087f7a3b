// The update run under every front end: how stop requests are weighed, and what the run
// publishes of a job (its events in order, its end) whoever renders it.
#include "job_fixture.h"

#include "frontend/stop_policy.h"
#include "frontend/update_run.h"
#include "job/flash_job.h"
#include "protocol/texts.h"

#include <mutex>
#include <vector>

namespace quarvo {
namespace {

// ---- the stop policy ----

struct Arrival {
    int signal;
    std::int64_t atMs;
    StopPolicy::Verdict verdict;
};
struct PolicyCase {
    const char* name;
    std::optional<std::int64_t> atRiskFromMs; // none: never at risk
    std::vector<Arrival> arrivals;
};

class StopPolicyTest : public ::testing::TestWithParam<PolicyCase> {};

TEST_P(StopPolicyTest, WeighsEachRequestByWhatItIsAndWhetherTheDeviceIsAtRisk)
{
    StopPolicy policy;
    if (const auto from = GetParam().atRiskFromMs)
        policy.setAtRisk(true, *from);
    int stopped = 0;
    for (const Arrival& arrival : GetParam().arrivals) {
        EXPECT_EQ(policy.weigh({arrival.signal, arrival.atMs}), arrival.verdict)
            << signalName(arrival.signal) << " at " << arrival.atMs << " ms";
        if (arrival.verdict == StopPolicy::Verdict::Stop && stopped == 0)
            stopped = arrival.signal;
    }
    EXPECT_EQ(policy.stoppedBy(), stopped);
}

using V = StopPolicy::Verdict;
constexpr int INT = 2;
constexpr int TERM = 15;
#if !defined(_WIN32)
constexpr int HUP = 1;
#endif

const PolicyCase POLICY_CASES[] = {
    {"NothingAtRiskAnInterruptStops", std::nullopt, {{INT, 0, V::Stop}}},
    {"AtRiskAnInterruptAsksFirst", 0, {{INT, 10, V::AskConfirmation}}},
    {"ASecondInterruptWithinFiveSecondsStops",
     0,
     {{INT, 1000, V::AskConfirmation}, {INT, 6000, V::Stop}}},
    // Measured in milliseconds, not whole seconds: 5.5 s is too late, whatever the phase.
    {"ASecondInterruptAfterFiveAndAHalfSecondsOnlyAsksAgain",
     0,
     {{INT, 1900, V::AskConfirmation},
      {INT, 7400, V::AskConfirmation},
      {INT, 12401, V::AskConfirmation}}},
    {"TerminateStopsAtOnce", 0, {{TERM, 10, V::Stop}}},
    // A request that came before the device was put at risk is weighed as it was then.
    {"AnInterruptFromBeforeTheFirstReportStops", 500, {{INT, 499, V::Stop}}},
    {"AnInterruptAsTheFirstReportGoesOutAsks", 500, {{INT, 500, V::AskConfirmation}}},
    {"AStopStands", 0, {{TERM, 10, V::Stop}, {INT, 20, V::Stop}}},
#if !defined(_WIN32)
    {"AtRiskAHangupIsRiddenOut", 0, {{HUP, 10, V::Ignored}, {HUP, 20, V::Ignored}}},
    {"NothingAtRiskAHangupStops", std::nullopt, {{HUP, 10, V::Stop}}},
    {"QuitUserSignalsAndAlarmStopAtOnce", 0, {{SIGQUIT, 10, V::Stop}}},
    {"UserSignalOne", 0, {{SIGUSR1, 10, V::Stop}}},
    {"UserSignalTwo", 0, {{SIGUSR2, 10, V::Stop}}},
    {"Alarm", 0, {{SIGALRM, 10, V::Stop}}},
#endif
};
INSTANTIATE_TEST_SUITE_P(Table, StopPolicyTest, ::testing::ValuesIn(POLICY_CASES),
                         [](const auto& row) { return std::string(row.param.name); });

// ---- the run ----

// Stop requests a test posts, taken by the run like a process's signals.
class PostedStops final : public StopSource {
public:
    std::vector<StopRequest> take() override
    {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_pending, {});
    }
    void post(int signal) override { postAt(signal, monotonicMs()); }
    void postAt(int signal, std::int64_t atMs)
    {
        const std::lock_guard lock(m_mutex);
        m_pending.push_back({signal, atMs});
    }

private:
    std::mutex m_mutex;
    std::vector<StopRequest> m_pending;
};

class UpdateRunTest : public JobFixture, public ::testing::Test {
protected:
    void writeSamples() const
    {
        writeFile(CODE_FILE, pattern(3000, 1));
        writeFile(DATABASE_FILE, pattern(1000, 2));
    }
    // Runs a job to its end, taking the events as a front end would.
    JobEnd runToEnd(UpdateRun& run, JobRequest request = {})
    {
        request.directory = dir;
        request.holdSystem = false;
        request.loadHooks = settledLoadHooks();
        run.start(std::move(request));
        for (;;) {
            for (RunEvent& event : run.takeEvents()) {
                events.push_back(event);
                if (event.kind == RunEvent::Kind::Message)
                    run.answerBox();
                if (event.kind == RunEvent::Kind::Ended)
                    return run.snapshot().end.value();
            }
            run.waitForChange(100);
        }
    }
    std::vector<RunEvent::Kind> kinds() const
    {
        std::vector<RunEvent::Kind> all;
        for (const RunEvent& event : events)
            all.push_back(event.kind);
        return all;
    }

    PostedStops stops;
    std::vector<RunEvent> events;
};

TEST_F(UpdateRunTest, PublishesTheJobsStepsAndTextsInOrderAndItsEnd)
{
    attach();
    writeSamples();
    UpdateRun run({backend, nullptr, nullptr, &stops});
    const JobEnd end = runToEnd(run);
    EXPECT_EQ(end.outcome, JobOutcome::Success);
    EXPECT_EQ(end.stoppedBy, 0);
    EXPECT_EQ(end.lastStatus, text::UPDATE_OK);
    EXPECT_EQ(end.step, UpdateStep::Restart);
    std::vector<UpdateStep> steps;
    std::vector<std::string> statuses;
    for (const RunEvent& event : events) {
        if (event.kind == RunEvent::Kind::Step)
            steps.push_back(event.step.step);
        if (event.kind == RunEvent::Kind::Status)
            statuses.push_back(event.text);
    }
    EXPECT_EQ(steps, (std::vector<UpdateStep>{UpdateStep::CodeErase, UpdateStep::CodeWrite,
                                              UpdateStep::ImageHeader, UpdateStep::DatabaseErase,
                                              UpdateStep::DatabaseWrite, UpdateStep::Restart}));
    EXPECT_EQ(statuses.front(), text::ERASING);
    EXPECT_EQ(statuses.back(), text::UPDATE_OK);
    EXPECT_EQ(kinds().back(), RunEvent::Kind::Ended);
    const RunSnapshot snapshot = run.snapshot();
    EXPECT_EQ(snapshot.phase, RunPhase::Ended);
    EXPECT_EQ(snapshot.overall, 1.0);
}

TEST_F(UpdateRunTest, AStopThatCameBeforeTheFirstReportSendsNothing)
{
    SimDevice& device = attach();
    writeSamples();
    UpdateRun run({backend, nullptr, nullptr, &stops});
    stops.postAt(terminateSignal(), monotonicMs() - 1000);
    const JobEnd end = runToEnd(run);
    EXPECT_EQ(end.stoppedBy, terminateSignal());
    EXPECT_FALSE(end.device.reached);
    EXPECT_TRUE(device.traffic().empty());
}

TEST_F(UpdateRunTest, AnInterruptWhileTheDeviceIsWrittenIsToldAndTheJobGoesOn)
{
    attach();
    writeSamples();
    // The first report's check finds the interrupt: the device is at risk by then.
    struct AtFirstLook final : StopSource {
        std::vector<StopRequest> take() override
        {
            if (std::exchange(looked, true))
                return {};
            return {StopRequest{interruptSignal(), monotonicMs() + 1000}};
        }
        void post(int) override {}
        bool looked = false;
    } interrupt;
    UpdateRun run({backend, nullptr, nullptr, &interrupt});
    const JobEnd end = runToEnd(run);
    EXPECT_EQ(end.outcome, JobOutcome::Success);
    EXPECT_EQ(end.stoppedBy, 0);
    const auto all = kinds();
    EXPECT_EQ(std::count(all.begin(), all.end(), RunEvent::Kind::ConfirmationAsked), 1);
}

TEST_F(UpdateRunTest, AForcedStopAnswersTheBoxTheWorkerWaitsForAndEndsTheJob)
{
    attach();
    writeFile(CODE_FILE, pattern(3000, 1)); // no database: the job's box says so
    RunSetup setup{backend, nullptr, nullptr, &stops};
    setup.boxesWait = true;
    UpdateRun run(setup);
    JobRequest request;
    request.directory = dir;
    run.start(request);
    // The worker waits for its box, which nobody answers.
    while (run.pendingBoxesAndEnds() == 0)
        run.waitForChange(100);
    EXPECT_TRUE(run.running());
    EXPECT_TRUE(run.forceStop(terminateSignal()));
    EXPECT_FALSE(run.running());
    const JobEnd end = run.snapshot().end.value();
    EXPECT_EQ(end.outcome, JobOutcome::MissingFile);
    EXPECT_FALSE(end.device.reached);
}

TEST_F(UpdateRunTest, AWaitForTheDeviceEndsAtAStopWithNothingSent)
{
    writeSamples(); // and no device, ever
    UpdateRun run({backend, nullptr, nullptr, &stops});
    stops.post(terminateSignal());
    JobRequest request;
    request.waitUs = 60 * 1000000;
    const JobEnd end = runToEnd(run, request);
    EXPECT_EQ(end.stoppedBy, terminateSignal());
    EXPECT_FALSE(end.deviceWaitExpired);
    EXPECT_FALSE(end.device.reached);
    EXPECT_FALSE(end.step);
}

} // namespace
} // namespace quarvo
