// The window's behaviour without a window: a recording view, and the test's thread as the window's
// thread, woken by the session and running its calls until the job has ended.
#include "job_fixture.h"

#include "frontend/access_help.h"
#include "frontend/updater_session.h"
#include "frontend/window_texts.h"
#include "platform/udev_rule.h"
#include "protocol/texts.h"

#include <condition_variable>
#include <functional>
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
    }
    // A modal box: what the window does while it is open runs inside it.
    void showMessageBox(const std::string& text) override
    {
        messages.push_back(text);
        if (whileBoxOpen)
            std::exchange(whileBoxOpen, nullptr)();
    }
    void jobStarted() override { buttonsEnabled.push_back(false); }
    void jobEnded() override
    {
        buttonsEnabled.push_back(true);
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
    std::function<void()> whileBoxOpen;
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
