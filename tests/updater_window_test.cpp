// The Windows dialog in-process under wine, on the simulated bootloader: pressing 更新 with
// BM_CLICK, pumping messages until the job ends, reading the status text and the progress control,
// the second-instance refusal and a guard that cannot be taken, the About box from the system menu,
// no closing during a job, and the end of the session refused during a job and stopping it when it
// comes all the same. Also the guard itself: its session and global mutexes against what other
// updaters (of this session, another session, another user) leave in the namespaces.
#include "job_fixture.h"

#include "frontend/window_texts.h"
#include "hid/clock.h"
#include "hid/text_encoding.h"
#include "protocol/texts.h"
#include "win/resource_ids.h"
#include "win/updater_window.h"

#include <commctrl.h>

#include <atomic>
#include <thread>

namespace quarvo {
namespace {

// Bound of every wait for the window in these tests.
constexpr ULONGLONG WAIT_MS = 60000;

std::wstring wide(const std::string& text)
{
    const std::u16string utf16 = utf16FromUtf8(text);
    return std::wstring(utf16.begin(), utf16.end());
}

// Runs the window's messages until `done` or the bound; true when done.
template <typename Done> bool pumpUntil(Done done)
{
    const ULONGLONG end = GetTickCount64() + WAIT_MS;
    while (!done()) {
        if (GetTickCount64() > end)
            return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(1);
    }
    return true;
}

// From another thread: waits for a top-level window with this title, records its texts and
// presses its OK button; with `count`, does so for that many boxes one after the other.
class Dismisser {
public:
    explicit Dismisser(std::wstring title, int count = 1)
        : m_thread([this, count, title = std::move(title)] {
              const ULONGLONG end = GetTickCount64() + WAIT_MS;
              while (!m_stop && GetTickCount64() < end) {
                  // A dialog becomes visible once its controls exist.
                  HWND box = FindWindowW(nullptr, title.c_str());
                  if (box && IsWindowVisible(box)) {
                      EnumChildWindows(box, collect, reinterpret_cast<LPARAM>(&texts));
                      PostMessageW(box, WM_COMMAND, IDOK, 0);
                      if (++boxes == count) {
                          found = true;
                          return;
                      }
                      // The next box is another one: wait for this one to go first.
                      while (IsWindow(box) && !m_stop && GetTickCount64() < end)
                          Sleep(10);
                  }
                  Sleep(20);
              }
          })
    {
    }
    ~Dismisser()
    {
        m_stop = true;
        wait();
    }
    void wait()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

    std::atomic<bool> found{false};
    std::atomic<int> boxes{0};
    std::vector<std::wstring> texts;

private:
    static BOOL CALLBACK collect(HWND child, LPARAM into)
    {
        wchar_t text[256] = {};
        GetWindowTextW(child, text, 256);
        reinterpret_cast<std::vector<std::wstring>*>(into)->push_back(text);
        return TRUE;
    }
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class UpdaterWindowTest : public JobFixture, public ::testing::Test {
protected:
    std::string guardName() const
    {
        return "GPS_UPDATE_CLIENT_TEST_" + std::to_string(GetCurrentProcessId());
    }

    HWND open()
    {
        window = std::make_unique<UpdaterWindow>(backend, dir, guardName());
        window->onJobEnded([this] { ++jobsEnded; });
        return window->create();
    }
    std::wstring status() const
    {
        wchar_t text[256] = {};
        GetDlgItemTextW(window->window(), IDC_STATUS, text, 256);
        return text;
    }
    LRESULT progress(UINT message) const
    {
        return SendDlgItemMessageW(window->window(), IDC_PROGRESS, message, 0, 0);
    }
    void pressUpdate() const
    {
        SendMessageW(GetDlgItem(window->window(), IDC_UPDATE), BM_CLICK, 0, 0);
    }

    std::unique_ptr<UpdaterWindow> window;
    int jobsEnded = 0;
};

TEST_F(UpdaterWindowTest, AWholeUpdateFromTheButton)
{
    SimDevice& device = attach();
    writeFile(CODE_FILE, pattern(3000, 1));
    writeFile(DATABASE_FILE, pattern(1000, 2));
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(status(), wide(windowtext::CONNECT_OK));
    EXPECT_EQ(progress(PBM_GETPOS), 0);

    pressUpdate();
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window->window(), IDC_UPDATE)));
    ASSERT_TRUE(pumpUntil([this] { return jobsEnded == 1; }));
    EXPECT_EQ(status(), wide(text::UPDATE_OK));
    EXPECT_EQ(progress(PBM_GETPOS), 0);
    EXPECT_EQ(SendDlgItemMessageW(window->window(), IDC_PROGRESS, PBM_GETRANGE, FALSE, 0), 4);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window->window(), IDC_UPDATE)));
    EXPECT_TRUE(device.restarted());
}

TEST_F(UpdaterWindowTest, ClosingDuringAnUpdateIsAnsweredWithABoxAndWorksAfterIt)
{
    attach();
    writeFile(CODE_FILE, pattern(3000, 1));
    writeFile(DATABASE_FILE, pattern(1000, 2));
    ASSERT_NE(open(), nullptr);
    pressUpdate();
    // The job waits for the window's thread at its first text; nothing is pumped yet.
    ASSERT_TRUE(window->jobRunning());
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window->window(), IDOK)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window->window(), IDC_UPDATE)));
    {
        // 取消 or Enter, Esc, and the close box or Alt+F4: each answered by a box of its own.
        Dismisser boxes(applicationName(), 3);
        for (WPARAM command : {WPARAM{IDOK}, WPARAM{IDCANCEL}})
            SendMessageW(window->window(), WM_COMMAND, command, 0);
        // The dialog manager posts the close box's request as IDCANCEL: pump until it is seen.
        SendMessageW(window->window(), WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_TRUE(pumpUntil([&boxes] { return boxes.found.load(); }));
        boxes.wait();
        EXPECT_EQ(boxes.boxes, 3);
        EXPECT_EQ(
            std::count(boxes.texts.begin(), boxes.texts.end(), wide(windowtext::UPDATE_RUNNING)),
            3);
    }
    ASSERT_TRUE(pumpUntil([this] { return jobsEnded == 1; }));
    EXPECT_EQ(status(), wide(text::UPDATE_OK));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window->window(), IDOK)));
    ASSERT_NE(window->window(), nullptr);
    SendMessageW(window->window(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(window->window(), nullptr);
}

TEST_F(UpdaterWindowTest, ADeviceAttachedAfterTheStartIsSeen)
{
    attach(SimScenario{Fault::Late, 1});
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(status(), wide(text::CONNECT_FAILED));
    // Plugged in at 1 s of the simulator's clock; the window's timer looks again by 2 s.
    clock.sleepUntilUs(2000000);
    EXPECT_TRUE(pumpUntil([this] { return status() == wide(windowtext::CONNECT_OK); }));
}

TEST_F(UpdaterWindowTest, ASecondUpdaterIsToldAndShowsNoDialog)
{
    attach();
    InstanceGuard running(guardName());
    ASSERT_EQ(running.acquire(), InstanceGuard::Result::Acquired);
    Dismisser box(applicationName());
    EXPECT_EQ(open(), nullptr);
    box.wait();
    EXPECT_TRUE(box.found);
    EXPECT_NE(std::find(box.texts.begin(), box.texts.end(), wide(ALREADY_RUNNING_TEXT)),
              box.texts.end());
}

TEST_F(UpdaterWindowTest, TheSystemMenuOpensTheAboutBox)
{
    attach();
    ASSERT_NE(open(), nullptr);
    for (WPARAM command : {WPARAM{16}, WPARAM{31}, WPARAM{0x10010}}) {
        Dismisser about(wide(windowtext::ABOUT_TITLE));
        PostMessageW(window->window(), WM_SYSCOMMAND, command, 0);
        ASSERT_TRUE(pumpUntil([&about] { return about.found.load(); })) << command;
        about.wait();
        EXPECT_NE(
            std::find(about.texts.begin(), about.texts.end(), wide(windowtext::ABOUT_VERSION)),
            about.texts.end());
    }
}

TEST_F(UpdaterWindowTest, TheEndOfTheSessionIsRefusedOnlyWhileAJobRuns)
{
    attach();
    writeFile(CODE_FILE, pattern(3000, 1));
    writeFile(DATABASE_FILE, pattern(1000, 2));
    ASSERT_NE(open(), nullptr);
    const auto mayEnd = [this] {
        return SendMessageW(window->window(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    };
    EXPECT_EQ(mayEnd(), TRUE);
    pressUpdate();
    // The job waits for the window's thread at its first text; nothing is pumped yet.
    ASSERT_TRUE(window->jobRunning());
    EXPECT_EQ(mayEnd(), FALSE);
    // Another program refused as well: the session goes on, and so does the job.
    SendMessageW(window->window(), WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
    EXPECT_TRUE(window->jobRunning());
    ASSERT_TRUE(pumpUntil([this] { return jobsEnded == 1; }));
    EXPECT_EQ(status(), wide(text::UPDATE_OK));
    EXPECT_EQ(mayEnd(), TRUE);
}

// Drives a modal run from a timer of the window's thread, as the user and then the system would:
// presses 更新 and, once the device takes the code's data, ends the session.
class SessionEnder {
public:
    SessionEnder(UpdaterWindow& window, SimDevice& device) : m_window(window), m_device(device)
    {
        s_active = this;
        m_timer = SetTimer(nullptr, 0, USER_TIMER_MINIMUM, tick);
    }
    ~SessionEnder()
    {
        if (m_timer)
            KillTimer(nullptr, m_timer);
        s_active = nullptr;
    }
    SessionEnder(const SessionEnder&) = delete;
    SessionEnder& operator=(const SessionEnder&) = delete;

    bool started() const { return m_timer != 0; }

    LRESULT answerDuringTheJob = -1;
    bool sessionEnded = false;

private:
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD)
    {
        if (s_active)
            s_active->step();
    }
    void step()
    {
        HWND dialog = m_window.window();
        if (!dialog || m_gaveUp)
            return;
        if (GetTickCount64() > m_deadline) {
            // Only a bound against a hang: the run ends, and the failure says why.
            ADD_FAILURE() << (sessionEnded ? "the run went on after the session ended"
                                           : "the code's data never reached the device");
            m_gaveUp = true;
            EndDialog(dialog, IDCANCEL);
            return;
        }
        if (sessionEnded)
            return;
        if (!m_pressed) {
            m_pressed = true;
            SendMessageW(GetDlgItem(dialog, IDC_UPDATE), BM_CLICK, 0, 0);
            return;
        }
        const auto commands = m_device.commands();
        if (commands.empty() || commands.back().command != CMD_PROGRAM ||
            commands.back().dataReceived == 0)
            return;
        answerDuringTheJob = SendMessageW(dialog, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
        sessionEnded = true;
        SendMessageW(dialog, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    }

    static inline SessionEnder* s_active = nullptr;
    UpdaterWindow& m_window;
    SimDevice& m_device;
    UINT_PTR m_timer = 0;
    ULONGLONG m_deadline = GetTickCount64() + WAIT_MS;
    bool m_pressed = false;
    bool m_gaveUp = false;
};

TEST_F(UpdaterWindowTest, AnEndingSessionStopsTheJobBetweenReportsAndEndsTheRun)
{
    // A device at a real one's pace, so that the code's data takes a while to write.
    SteadyClock realClock;
    SimBackend paced(realClock);
    SimTiming timing;
    timing.reportUs = 1000;
    SimDevice& device = attachBootloader(paced, {}, timing);
    writeFile(CODE_FILE, pattern(64 * 1024, 1));
    writeFile(DATABASE_FILE, pattern(1000, 2));
    UpdaterWindow updater(paced, dir, guardName());
    updater.onJobEnded([this] { ++jobsEnded; });
    SessionEnder ender(updater, device);
    ASSERT_TRUE(ender.started());

    EXPECT_EQ(updater.run(), 0);
    ASSERT_TRUE(ender.sessionEnded);
    EXPECT_EQ(ender.answerDuringTheJob, FALSE);
    EXPECT_FALSE(updater.jobRunning());
    EXPECT_EQ(jobsEnded, 1);
    // The code's data stopped part of the way; nothing came after it.
    const auto commands = device.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back().command, CMD_PROGRAM);
    EXPECT_LT(commands.back().dataReceived, commands.back().param2 * PAGE_SIZE);
    EXPECT_FALSE(device.restarted());
    EXPECT_TRUE(device.violations().empty());
}

TEST_F(UpdaterWindowTest, AGuardThatCannotBeTakenIsExplainedAndShowsNoDialog)
{
    attach();
    // An object of another kind holds the global name: no mutex can be made under it.
    const std::string global = "Global\\" + guardName();
    HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, wide(global).c_str());
    ASSERT_NE(squatter, nullptr);
    Dismisser box(applicationName());
    EXPECT_EQ(open(), nullptr);
    box.wait();
    CloseHandle(squatter);
    ASSERT_TRUE(box.found);
    const auto explained = std::find_if(box.texts.begin(), box.texts.end(), [&](const auto& t) {
        return t.rfind(wide(GUARD_UNAVAILABLE_TEXT), 0) == 0 &&
               t.find(wide("mutex " + global + ": ")) != std::wstring::npos;
    });
    EXPECT_NE(explained, box.texts.end());
}

// What another updater, or something else, leaves under the guard's names before a guard tries.
enum class Holder {
    Nobody,
    SessionMutex,    // an updater of this session
    GlobalMutex,     // an updater of another session (SSH, remote desktop)
    OtherUsersMutex, // another user's updater: its default security lets nobody else open it
    GlobalObjectOfAnotherKind, // the name is taken by something that is not a mutex
};

struct GuardCase {
    const char* name;
    Holder holder;
    InstanceGuard::Result expected;
};

class InstanceGuardTest : public ::testing::TestWithParam<GuardCase> {
protected:
    std::string guardName() const
    {
        return "GPS_UPDATE_CLIENT_GUARD_TEST_" + std::to_string(GetCurrentProcessId()) + "_" +
               GetParam().name;
    }

    // Makes what the row's holder leaves; null for nobody.
    HANDLE hold(Holder holder) const
    {
        const std::wstring session = wide(guardName());
        const std::wstring global = L"Global\\" + session;
        switch (holder) {
        case Holder::Nobody:
            return nullptr;
        case Holder::SessionMutex:
            return CreateMutexW(nullptr, TRUE, session.c_str());
        case Holder::GlobalMutex:
            return CreateMutexW(nullptr, TRUE, global.c_str());
        case Holder::OtherUsersMutex: {
            // A security descriptor whose access list grants nothing to anyone.
            SECURITY_DESCRIPTOR descriptor;
            ACL acl;
            if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
                !InitializeAcl(&acl, sizeof acl, ACL_REVISION) ||
                !SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE))
                return nullptr;
            SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
            return CreateMutexW(&attributes, TRUE, global.c_str());
        }
        case Holder::GlobalObjectOfAnotherKind:
            return CreateEventW(nullptr, TRUE, FALSE, global.c_str());
        }
        return nullptr;
    }
};

TEST_P(InstanceGuardTest, RefusesWhateverHoldsEitherNameAndHoldsNothingWhenRefused)
{
    const GuardCase& row = GetParam();
    HANDLE holder = hold(row.holder);
    if (row.holder != Holder::Nobody) {
        ASSERT_NE(holder, nullptr) << GetLastError();
    }
    {
        InstanceGuard guard(guardName());
        EXPECT_EQ(guard.acquire(), row.expected);
        if (row.expected == InstanceGuard::Result::Unavailable) {
            EXPECT_NE(guard.obstacle().find("mutex Global\\" + guardName() + ": "),
                      std::string::npos)
                << guard.obstacle();
        } else {
            EXPECT_TRUE(guard.obstacle().empty()) << guard.obstacle();
        }
        if (holder)
            CloseHandle(holder);
        // With the holder gone, only the first guard can stand in the way of a second.
        InstanceGuard second(guardName());
        EXPECT_EQ(second.acquire(), row.expected == InstanceGuard::Result::Acquired
                                        ? InstanceGuard::Result::AlreadyRunning
                                        : InstanceGuard::Result::Acquired);
    }
    InstanceGuard afterwards(guardName());
    EXPECT_EQ(afterwards.acquire(), InstanceGuard::Result::Acquired);
}

INSTANTIATE_TEST_SUITE_P(
    Holders, InstanceGuardTest,
    ::testing::Values(
        GuardCase{"Nobody", Holder::Nobody, InstanceGuard::Result::Acquired},
        GuardCase{"SessionMutex", Holder::SessionMutex, InstanceGuard::Result::AlreadyRunning},
        GuardCase{"GlobalMutex", Holder::GlobalMutex, InstanceGuard::Result::AlreadyRunning},
        GuardCase{"OtherUsersMutex", Holder::OtherUsersMutex,
                  InstanceGuard::Result::AlreadyRunning},
        GuardCase{"GlobalObjectOfAnotherKind", Holder::GlobalObjectOfAnotherKind,
                  InstanceGuard::Result::Unavailable}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace quarvo
