// The window's behaviour without a window: a recording view, and the test's thread as the window's
// thread, woken by the session and running its calls until the job has ended.
#include "failure_kinds.h"
#include "gated_backend.h"
#include "job_fixture.h"

#include "frontend/access_help.h"
#include "frontend/updater_session.h"
#include "frontend/window_texts.h"
#include "platform/udev_rule.h"
#include "protocol/texts.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>

namespace quarvo {
namespace {

class RecordingView final : public WindowView {
public:
    void showStatus(const std::string& text) override { statuses.push_back(text); }
    void showProgress(std::uint16_t maximum, std::uint32_t position) override
    {
        shownMaximum = maximum;
        shownPosition = position;
        if (whileShowingProgress)
            whileShowingProgress();
    }
    void showJourney(const JourneyLine& line) override
    {
        journeys.push_back(line);
        if (line.step && (steps.empty() || steps.back() != *line.step))
            steps.push_back(*line.step);
    }
    // A modal box: what the window does while it is open runs inside it.
    void showMessageBox(const std::string& text, const std::string& detail) override
    {
        messages.push_back(text);
        details.push_back(detail);
        ++boxesOpen;
        if (whileBoxOpen)
            std::exchange(whileBoxOpen, nullptr)();
        --boxesOpen;
    }
    void closeMessageBox() override
    {
        EXPECT_GT(boxesOpen, 0);
        ++boxesClosedBySession;
    }
    void jobStarted() override
    {
        buttonsEnabled.push_back(false);
        steps.clear();
    }
    void jobEnded(const JobEnd& end) override
    {
        buttonsEnabled.push_back(true);
        ends.push_back(end);
        ++jobsEnded;
    }
    void wakeWindowThread() override
    {
        {
            const std::lock_guard lock(mutex);
            if (session)
                mostPending = std::max(mostPending, session->pendingCalls());
            woken = true;
        }
        wake.notify_one();
    }

    // The window's loop: runs the session's calls until `jobs` jobs have ended.
    void runUntilJobsEnded(UpdaterSession& s, int jobs)
    {
        while (jobsEnded < jobs) {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return woken; });
            woken = false;
            lock.unlock();
            s.runPendingCalls();
        }
    }

    std::vector<std::string> statuses;
    std::vector<std::string> messages;
    std::vector<std::string> details;
    std::vector<JourneyLine> journeys;
    std::vector<UpdateStep> steps; // of the last job, in the order they were shown
    std::vector<JobEnd> ends;
    int boxesOpen = 0;
    int boxesClosedBySession = 0;
    std::function<void()> whileBoxOpen;
    std::function<void()> whileShowingProgress;
    std::vector<bool> buttonsEnabled;
    std::uint16_t shownMaximum = 0;
    std::uint32_t shownPosition = 0;
    int jobsEnded = 0;
    UpdaterSession* session = nullptr;
    std::size_t mostPending = 0;
    std::mutex mutex;
    std::condition_variable wake;
    bool woken = false;
};

class UpdaterSessionTest : public JobFixture, public ::testing::Test {
protected:
    // Moves the simulator's clock on by one re-check interval and lets the window tick.
    void nextRecheck(UpdaterSession& session)
    {
        clock.sleepUntilUs(clock.nowUs() + DEVICE_RECHECK_INTERVAL_US);
        session.recheckDevice();
    }
    void writeSamples() const
    {
        writeFile(CODE_FILE, pattern(3000, 1));
        writeFile(DATABASE_FILE, pattern(1000, 2));
    }

    RecordingView view;
};

constexpr const char* HELP = "how to allow the open";

std::size_t commandsSent(const SimDevice& device, std::uint16_t command)
{
    const auto commands = device.commands();
    return static_cast<std::size_t>(
        std::count_if(commands.begin(), commands.end(),
                      [command](const auto& c) { return c.command == command; }));
}

TEST_F(UpdaterSessionTest, TheStartUpCheckSaysWhetherTheBootloaderCanBeOpened)
{
    attach();
    UpdaterSession session(backend, dir, view);
    session.checkDevice();
    SimBackend empty(clock);
    UpdaterSession without(empty, dir, view);
    without.checkDevice();
    EXPECT_EQ(view.statuses,
              (std::vector<std::string>{windowtext::CONNECT_OK, text::CONNECT_FAILED}));
}

TEST_F(UpdaterSessionTest, RunsOneJobAtATimeAndRefusesToCloseMeanwhile)
{
    SimDevice& device = attach();
    writeFile(CODE_FILE, pattern(3000, 1));
    writeFile(DATABASE_FILE, pattern(1000, 2));
    UpdaterSession session(backend, dir, view);
    view.session = &session;

    ASSERT_TRUE(session.startUpdate());
    EXPECT_TRUE(session.jobRunning());
    EXPECT_FALSE(session.requestClose());
    EXPECT_TRUE(session.startUpdate()); // a second press starts nothing
    view.runUntilJobsEnded(session, 1);

    EXPECT_TRUE(session.requestClose());
    EXPECT_EQ(view.buttonsEnabled, (std::vector<bool>{false, true}));
    EXPECT_EQ(view.statuses.back(), text::UPDATE_OK);
    EXPECT_EQ(view.shownPosition, 0u);
    EXPECT_TRUE(device.restarted());
    const auto commands = device.commands();
    EXPECT_EQ(std::count_if(commands.begin(), commands.end(),
                            [](const auto& c) { return c.command == CMD_RESTART; }),
              1);
    EXPECT_LE(view.mostPending, 1u);
}

TEST_F(UpdaterSessionTest, AJobMessageReachesTheWindowAndTheJobEnds)
{
    attach();
    UpdaterSession session(backend, dir, view);
    ASSERT_TRUE(session.startUpdate());
    view.runUntilJobsEnded(session, 1);
    EXPECT_EQ(view.messages, std::vector<std::string>{text::MISSING_DATABASE});
    // The box's detail says where the files were looked for, and why this one was not taken.
    ASSERT_EQ(view.details.size(), 1u);
    EXPECT_NE(view.details[0].find(windowtext::FILES_FOLDER), std::string::npos);
    EXPECT_NE(view.details[0].find(std::filesystem::absolute(dir).string()), std::string::npos);
    EXPECT_NE(view.details[0].find(DATABASE_FILE), std::string::npos);
    EXPECT_TRUE(session.requestClose());
}

// A healthy run and every kind of failure: the steps reach the window in order and end at the
// failing one, the end carries what the device holds, and the journey line's end is chosen from
// that, whatever the step.
class UpdaterSessionFailureKinds : public JobFixture,
                                   public ::testing::TestWithParam<FailureKindCase> {
protected:
    RecordingView view;
};

TEST_P(UpdaterSessionFailureKinds, EndWithWhatTheDeviceHoldsAndWhatToDoNext)
{
    const FailureKindCase& c = GetParam();
    attach(c.scenario);
    writeFile(CODE_FILE, pattern(3000, 1));
    writeFile(DATABASE_FILE, pattern(1000, 2));
    UpdaterSession session(backend, dir, view);
    ASSERT_TRUE(session.startUpdate());
    view.runUntilJobsEnded(session, 1);

    std::vector<UpdateStep> expected;
    for (int i = 0; i < c.stepsShown; ++i)
        expected.push_back(static_cast<UpdateStep>(i));
    EXPECT_EQ(view.steps, expected);
    ASSERT_EQ(view.ends.size(), 1u);
    const JobEnd& end = view.ends[0];
    EXPECT_EQ(end.outcome, c.outcome);
    EXPECT_EQ(end.device.reached, c.reached);
    EXPECT_EQ(end.device[DeviceRegion::Program], c.program);
    EXPECT_EQ(end.device[DeviceRegion::Header], c.header);
    EXPECT_EQ(end.device[DeviceRegion::Database], c.database);
    EXPECT_EQ(end.device.restartSent, c.restartSent);
    EXPECT_EQ(end.device.failure, c.failure);
    const JourneyLine& last = view.journeys.back();
    EXPECT_EQ(last.tone,
              c.outcome == JobOutcome::Success ? JourneyTone::Success : JourneyTone::Failure);
    EXPECT_EQ(last.text, c.endSentence);
    EXPECT_EQ(view.statuses.back(), c.lastStatus);
}

INSTANTIATE_TEST_SUITE_P(Table, UpdaterSessionFailureKinds, ::testing::ValuesIn(failureKindCases()),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(UpdaterSessionTest, AFileProblemEndsBeforeAnyStepAndLeavesTheDeviceAlone)
{
    attach();
    writeFile(CODE_FILE, {}); // empty: refused
    writeFile(DATABASE_FILE, pattern(1000, 2));
    UpdaterSession session(backend, dir, view);
    ASSERT_TRUE(session.startUpdate());
    view.runUntilJobsEnded(session, 1);
    EXPECT_TRUE(view.steps.empty());
    ASSERT_EQ(view.ends.size(), 1u);
    EXPECT_EQ(view.ends[0].outcome, JobOutcome::InputRefused);
    EXPECT_EQ(view.journeys.back().text, windowtext::END_FILES_REFUSED);
    EXPECT_EQ(view.journeys.back().tone, JourneyTone::Failure);
}

// The taskbar button and the journey line read the whole update's progress: it only grows, from
// the first step to the end, whatever the size of the code.
class UpdaterSessionOverallTest : public JobFixture,
                                  public ::testing::TestWithParam<std::uint32_t> {
protected:
    RecordingView view;
};

TEST_P(UpdaterSessionOverallTest, TheWholeUpdatesProgressOnlyGrows)
{
    const std::uint32_t pages = GetParam();
    attach();
    // The page rule sends one page more than the whole pages in the data.
    writeFile(CODE_FILE, pattern((pages - 1) * PAGE_SIZE + 1, 1));
    writeFile(DATABASE_FILE, pattern(1000, 2));
    UpdaterSession session(backend, dir, view);
    ASSERT_TRUE(session.startUpdate());
    view.runUntilJobsEnded(session, 1);
    ASSERT_EQ(view.ends.at(0).outcome, JobOutcome::Success);
    double before = 0;
    for (const JourneyLine& line : view.journeys) {
        EXPECT_GE(line.overall, before) << line.text;
        before = line.overall;
    }
    EXPECT_EQ(view.journeys.back().overall, 1.0);
}

INSTANTIATE_TEST_SUITE_P(CodePages, UpdaterSessionOverallTest, ::testing::Values(1u, 100u, 4000u));

// A backend whose open throws, as a fault of ours deep in the job would.
class ThrowingBackend final : public HidBackend {
public:
    explicit ThrowingBackend(HidBackend& inner) : m_inner(inner) {}
    std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId, std::uint16_t productId) override
    {
        calls.emplace_back(vendorId, productId);
        return m_inner.enumerate(vendorId, productId);
    }
    std::unique_ptr<HidConnection> open(const std::string& path, std::string& error) override
    {
        if (armed)
            throw std::runtime_error("thrown by the test");
        return m_inner.open(path, error);
    }
    Clock& clock() override { return m_inner.clock(); }

    bool armed = false;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> calls; // every enumerate's ids

private:
    HidBackend& m_inner;
};

TEST_F(UpdaterSessionTest, AJobThatThrowsEndsAsAFailureWithItsBoxAndTheNextJobRuns)
{
    SimDevice& device = attach();
    writeSamples();
    ThrowingBackend throwing(backend);
    throwing.armed = true;
    UpdaterSession session(throwing, dir, view);
    ASSERT_TRUE(session.startUpdate());
    view.runUntilJobsEnded(session, 1);
    EXPECT_EQ(view.messages, std::vector<std::string>{windowtext::JOB_CRASHED});
    EXPECT_EQ(view.details, std::vector<std::string>{"thrown by the test"});
    ASSERT_EQ(view.ends.size(), 1u);
    EXPECT_EQ(view.ends[0].outcome, JobOutcome::DeviceFailed);
    EXPECT_EQ(view.journeys.back().tone, JourneyTone::Failure);
    EXPECT_FALSE(session.jobRunning());

    throwing.armed = false;
    ASSERT_TRUE(session.startUpdate());
    view.runUntilJobsEnded(session, 2);
    EXPECT_EQ(view.ends[1].outcome, JobOutcome::Success);
    EXPECT_TRUE(device.restarted());
}

TEST_F(UpdaterSessionTest, TheIdleReCheckAsksOnlyForTheBootloader)
{
    attach();
    ThrowingBackend counting(backend);
    UpdaterSession session(counting, dir, view);
    session.checkDevice();
    nextRecheck(session);
    ASSERT_EQ(counting.calls.size(), 2u);
    for (const auto& ids : counting.calls)
        EXPECT_EQ(ids, std::make_pair(VENDOR_ID, PRODUCT_ID));
}

TEST_F(UpdaterSessionTest, TheCloseRefusalClosesItselfWhenTheJobEnds)
{
    attach();
    writeSamples();
    UpdaterSession session(backend, dir, view);
    ASSERT_TRUE(session.startUpdate());
    // The window's loop goes on inside the box, and the job ends there.
    view.whileBoxOpen = [&] { view.runUntilJobsEnded(session, 1); };
    EXPECT_FALSE(session.requestClose());
    EXPECT_EQ(view.messages, std::vector<std::string>{windowtext::UPDATE_RUNNING});
    EXPECT_EQ(view.boxesClosedBySession, 1);
    EXPECT_EQ(view.journeys.back().text, windowtext::END_SUCCESS);
    // The window stays, showing the result, and may now be closed.
    EXPECT_TRUE(session.requestClose());
}

TEST_F(UpdaterSessionTest, ReChecksFollowTheDeviceOnTheBackendsClockAndChangeTheStatusOnlyOnChange)
{
    SimDevice& device = attach();
    UpdaterSession session(backend, dir, view);
    session.checkDevice();
    device.setConnected(false);
    session.recheckDevice(); // no time has passed: nothing is looked at
    EXPECT_EQ(device.linksOpened(), 1u);
    nextRecheck(session);
    nextRecheck(session); // still gone: the status is not written again
    device.setConnected(true);
    nextRecheck(session);
    EXPECT_EQ(view.statuses, (std::vector<std::string>{windowtext::CONNECT_OK, text::CONNECT_FAILED,
                                                       windowtext::CONNECT_OK}));
    EXPECT_TRUE(device.traffic().empty());
    EXPECT_FALSE(device.linkOpen());
}

TEST_F(UpdaterSessionTest, AJobsResultStaysUntilTheDeviceIsAttachedAgain)
{
    SimDevice& device = attach();
    writeSamples();
    UpdaterSession session(backend, dir, view);
    view.session = &session;
    session.checkDevice();
    ASSERT_TRUE(session.startUpdate());
    session.recheckDevice(); // during the job: nothing
    view.runUntilJobsEnded(session, 1);
    const std::size_t shown = view.statuses.size();
    ASSERT_EQ(view.statuses.back(), text::UPDATE_OK);

    nextRecheck(session);       // the device still there
    device.setConnected(false); // restarted out of the bootloader, or unplugged
    nextRecheck(session);
    EXPECT_EQ(view.statuses.size(), shown);
    EXPECT_EQ(view.statuses.back(), text::UPDATE_OK);
    device.setConnected(true);
    nextRecheck(session);
    EXPECT_EQ(view.statuses.back(), windowtext::CONNECT_OK);
}

TEST_F(UpdaterSessionTest, AccessHelpComesOncePerCheckOrPressWhenTheOpenIsRefused)
{
    SimDevice& device = attach();
    device.setOpenRefused(true);
    writeSamples();
    UpdaterSession session(backend, dir, view, HELP);
    view.session = &session;
    session.checkDevice();
    EXPECT_EQ(view.statuses, std::vector<std::string>{text::CONNECT_FAILED});
    EXPECT_EQ(view.messages, std::vector<std::string>{HELP});
    nextRecheck(session); // nothing changed: no second box
    EXPECT_EQ(view.messages.size(), 1u);

    ASSERT_TRUE(session.startUpdate());
    view.runUntilJobsEnded(session, 1);
    EXPECT_EQ(view.messages, (std::vector<std::string>{HELP, HELP}));
    EXPECT_TRUE(device.traffic().empty());

    // The help followed (the rule applied, no replug): the job's failure gives way.
    device.setOpenRefused(false);
    nextRecheck(session);
    EXPECT_EQ(view.statuses.back(), windowtext::CONNECT_OK);

    // Without help to give, a refused open shows the status alone.
    RecordingView plain;
    UpdaterSession helpless(backend, dir, plain);
    helpless.checkDevice();
    EXPECT_TRUE(plain.messages.empty());
}

TEST_F(UpdaterSessionTest, ACloseRequestDuringAJobIsAnsweredWithABox)
{
    attach();
    writeSamples();
    UpdaterSession session(backend, dir, view);
    view.session = &session;
    EXPECT_TRUE(session.requestClose());
    EXPECT_TRUE(view.messages.empty());
    ASSERT_TRUE(session.startUpdate());
    EXPECT_FALSE(session.requestClose());
    EXPECT_FALSE(session.requestClose());
    EXPECT_EQ(view.messages, (std::vector<std::string>(2, windowtext::UPDATE_RUNNING)));
    view.runUntilJobsEnded(session, 1);
    EXPECT_EQ(view.statuses.back(), text::UPDATE_OK);
    EXPECT_TRUE(session.requestClose());
    EXPECT_EQ(view.messages.size(), 2u);
}

TEST_F(UpdaterSessionTest, WhileItsBoxIsOpenTheSessionNeitherReChecksNorOpensAnother)
{
    SimDevice& device = attach();
    device.setOpenRefused(true);
    writeSamples();
    UpdaterSession session(backend, dir, view, HELP);
    view.session = &session;
    view.whileBoxOpen = [&] {
        device.setOpenRefused(false);
        nextRecheck(session);
    };
    session.checkDevice();
    EXPECT_EQ(view.statuses, std::vector<std::string>{text::CONNECT_FAILED});
    nextRecheck(session); // the box is closed now: the device is seen
    EXPECT_EQ(view.statuses.back(), windowtext::CONNECT_OK);

    ASSERT_TRUE(session.startUpdate());
    view.whileBoxOpen = [&] { EXPECT_FALSE(session.requestClose()); };
    EXPECT_FALSE(session.requestClose());
    EXPECT_EQ(view.messages, (std::vector<std::string>{HELP, windowtext::UPDATE_RUNNING}));
    view.runUntilJobsEnded(session, 1);
}

TEST_F(UpdaterSessionTest, WhileTheDeviceTakesNothingTheLineCountsDownTheWaitsLimit)
{
    attach();
    writeSamples();
    // Output report 10, in the code's data, is not taken until the test lets it go.
    GatedBackend gated(backend, 10);
    std::atomic<bool> letGo{false};
    gated.release = [&letGo] { return letGo.load(); };
    UpdaterSession session(gated, dir, view);
    ASSERT_TRUE(session.startUpdate());
    const auto bound = std::chrono::steady_clock::now() + GatedBackend::HOLD_BOUND;
    while (!gated.reached() && std::chrono::steady_clock::now() < bound)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(gated.reached());

    session.tick();
    EXPECT_EQ(view.journeys.back().tone, JourneyTone::Running);
    EXPECT_EQ(view.journeys.back().step, UpdateStep::CodeWrite);
    // The write waits at most its bound: the line counts down what is left of it, never up.
    const std::int64_t heldAt = clock.nowUs();
    std::vector<std::string> counted;
    for (const std::int64_t afterUs : {3500000, 4200000, 4900000}) {
        clock.sleepUntilUs(heldAt + afterUs);
        session.tick();
        EXPECT_EQ(view.journeys.back().tone, JourneyTone::Waiting);
        counted.push_back(view.journeys.back().text);
    }
    EXPECT_EQ(counted, (std::vector<std::string>{
                           "第 2 步，共 6 步：寫入程式碼 · 等待設備回應，最多再等 2 秒",
                           "第 2 步，共 6 步：寫入程式碼 · 等待設備回應，最多再等 1 秒",
                           "第 2 步，共 6 步：寫入程式碼 · 等待設備回應，最多再等 1 秒"}));
    letGo = true;
    view.runUntilJobsEnded(session, 1);
    EXPECT_EQ(view.journeys.back().tone, JourneyTone::Success);
}

TEST_F(UpdaterSessionTest, AStopDuringTheWriteEndsTheJobBetweenReportsAndTheNextJobRuns)
{
    SimDevice& device = attach();
    writeSamples();
    // Output report 10 is the code's eighth data report: the job waits there until stopped.
    GatedBackend gated(backend, 10);
    UpdaterSession session(gated, dir, view);
    gated.release = [&session] { return session.stopRequested(); };
    view.session = &session;
    bool stopped = false;
    view.whileShowingProgress = [&] {
        const auto commands = device.commands();
        const bool writing = std::any_of(commands.begin(), commands.end(), [](const auto& c) {
            return c.command == CMD_PROGRAM && c.dataReceived > 0;
        });
        if (writing && !stopped) {
            stopped = true;
            EXPECT_TRUE(session.stopJob());
            EXPECT_FALSE(session.jobRunning());
        }
    };
    ASSERT_TRUE(session.startUpdate());
    view.runUntilJobsEnded(session, 1);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(view.buttonsEnabled, (std::vector<bool>{false, true}));
    // The code's data stopped part of the way; nothing came after it.
    const auto commands = device.commands();
    ASSERT_EQ(commands.back().command, CMD_PROGRAM);
    EXPECT_LT(commands.back().dataReceived, commands.back().param2 * PAGE_SIZE);
    EXPECT_EQ(commandsSent(device, CMD_ERASE), 1u);
    EXPECT_FALSE(device.restarted());

    // The interrupted device still expects the rest of its data; it is replugged, and the session
    // runs the next job as it would have before.
    view.whileShowingProgress = nullptr;
    device.setConnected(false);
    SimDevice& replugged = attach();
    gated.release = [] { return true; };
    ASSERT_TRUE(session.startUpdate());
    view.runUntilJobsEnded(session, 2);
    EXPECT_EQ(view.statuses.back(), text::UPDATE_OK);
    EXPECT_TRUE(replugged.restarted());
}

TEST_F(UpdaterSessionTest, AStopWhileTheJobsBoxIsOpenEndsTheJobAsIfTheBoxWereDismissed)
{
    attach();
    writeFile(CODE_FILE, pattern(3000, 1)); // no database: the job's box says so
    UpdaterSession session(backend, dir, view);
    view.whileBoxOpen = [&] {
        EXPECT_TRUE(session.stopJob());
        EXPECT_FALSE(session.jobRunning());
    };
    ASSERT_TRUE(session.startUpdate());
    view.runUntilJobsEnded(session, 1);
    EXPECT_EQ(view.messages, std::vector<std::string>{text::MISSING_DATABASE});
    EXPECT_EQ(view.jobsEnded, 1);
    EXPECT_EQ(session.pendingCalls(), 0u);
}

// Destroying a session whose job waits for a window's thread that never runs its calls again (the
// window is gone): the job is stopped and the worker joined, the view left alone.
struct TeardownCase {
    const char* name;
    // Without: the job waits for its message box; with: for a device that never answers its
    // erase, while its status and progress wait for the window's thread.
    bool withDatabase;
};

class UpdaterSessionTeardownTest : public JobFixture,
                                   public ::testing::TestWithParam<TeardownCase> {
protected:
    // Far beyond what a teardown takes; only turns a deadlock into a failure.
    static constexpr std::chrono::seconds WATCHDOG{30};

    // Destroys the session on a thread of its own. False when that has not finished within the
    // watchdog: the thread is then left behind, so that the suite reports instead of hanging.
    static bool destroyedWithinWatchdog(std::unique_ptr<UpdaterSession> session)
    {
        auto finished = std::make_shared<std::promise<void>>();
        std::future<void> destroyed = finished->get_future();
        std::thread teardown([owned = std::move(session), finished]() mutable {
            owned.reset();
            finished->set_value();
        });
        if (destroyed.wait_for(WATCHDOG) != std::future_status::ready) {
            teardown.detach();
            return false;
        }
        teardown.join();
        return true;
    }

    RecordingView view;
};

TEST_P(UpdaterSessionTeardownTest, TheJobStopsAndTheSessionEndsWithoutTheWindowsThread)
{
    SimDevice& device =
        attach(GetParam().withDatabase ? SimScenario{Fault::Silent, 0} : SimScenario{});
    writeFile(CODE_FILE, pattern(3000, 1));
    if (GetParam().withDatabase)
        writeFile(DATABASE_FILE, pattern(1000, 2));
    auto session = std::make_unique<UpdaterSession>(backend, dir, view);
    ASSERT_TRUE(session->startUpdate());
    // The worker hands its box over and waits, or waits for the silent device; nobody runs the
    // window's side.
    const auto waiting = [&] {
        return GetParam().withDatabase ? commandsSent(device, CMD_ERASE) > 0
                                       : session->pendingCalls() > 0;
    };
    const auto deadline = std::chrono::steady_clock::now() + WATCHDOG;
    while (!waiting() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(waiting());

    ASSERT_TRUE(destroyedWithinWatchdog(std::move(session)));
    EXPECT_EQ(commandsSent(device, CMD_PROGRAM), 0u);
    EXPECT_FALSE(device.restarted());
    EXPECT_TRUE(view.statuses.empty());
    EXPECT_TRUE(view.messages.empty());
    EXPECT_EQ(view.jobsEnded, 0);
}

INSTANTIATE_TEST_SUITE_P(WhileTheJobWaits, UpdaterSessionTeardownTest,
                         ::testing::Values(TeardownCase{"ForItsMessageBox", false},
                                           TeardownCase{"ForASilentDevice", true}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(AccessHelp, NamesTheRuleAndTheCommandThatAppliesIt)
{
    const std::string installed = linuxAccessHelp("/usr/lib/udev/rules.d/70-quarvo.rules");
    EXPECT_NE(installed.find("/usr/lib/udev/rules.d/70-quarvo.rules"), std::string::npos);
    EXPECT_NE(installed.find("sudo udevadm control --reload-rules &&\nsudo udevadm trigger"),
              std::string::npos);
    EXPECT_EQ(installed.find("sudo cp"), std::string::npos);

    // From a build tree the rule is installed from the source tree first, in the same command.
    const std::string fromSource = linuxAccessHelp("");
    EXPECT_NE(fromSource.find(std::string("sudo cp ") + SOURCE_UDEV_RULE +
                              " /etc/udev/rules.d/ &&\nsudo udevadm control"),
              std::string::npos);
}

TEST(UpdaterSessionAbout, OpensForCommandSixteenWhateverItsLowFourBits)
{
    for (unsigned command : {16u, 17u, 31u, 0x10010u})
        EXPECT_TRUE(UpdaterSession::opensAbout(command)) << command;
    for (unsigned command : {0u, 32u, 0xF060u})
        EXPECT_FALSE(UpdaterSession::opensAbout(command)) << command;
}

} // namespace
} // namespace quarvo
