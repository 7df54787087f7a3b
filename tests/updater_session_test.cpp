// The window's behaviour without a window: a recording view, and the test's thread as the window's
// thread, woken by the session and running its calls until the job has ended.
#include "job_fixture.h"

#include "frontend/updater_session.h"
#include "frontend/window_texts.h"
#include "protocol/texts.h"

#include <condition_variable>

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
    void showMessageBox(const std::string& text) override { messages.push_back(text); }
    void setUpdateEnabled(bool enabled) override { updateEnabled.push_back(enabled); }
    void jobEnded() override { ++jobsEnded; }
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
    std::vector<bool> updateEnabled;
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
    RecordingView view;
};

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
    EXPECT_FALSE(session.mayClose());
    EXPECT_TRUE(session.startUpdate()); // a second press starts nothing
    view.runUntilJobsEnded(session, 1);

    EXPECT_TRUE(session.mayClose());
    EXPECT_EQ(view.updateEnabled, (std::vector<bool>{false, true}));
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
    EXPECT_TRUE(session.mayClose());
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
