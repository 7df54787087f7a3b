// The Windows dialog in-process under wine, on the simulated bootloader: pressing 更新 with
// BM_CLICK, pumping messages until the job ends, reading the status text and the progress control,
// the second-instance refusal and a guard that cannot be taken, the About box from the system menu,
// no closing during a job (also by Esc, as typed) and the refusal's box closed by the job's end,
// the journey line's tone and the taskbar button for each way a job ends, the end of the session
// refused during a job and stopping it when it comes all the same, and where the dialog, the About
// box and the picture are at the screen's DPI (QUARVO_TEST_DPI names the DPI the run is set to).
// Also the guard itself: its session and global mutexes against what other updaters (of this
// session, another session, another user) leave in the namespaces.
#include "gated_backend.h"
#include "job_fixture.h"

#include "frontend/window_texts.h"
#include "hid/clock.h"
#include "hid/text_encoding.h"
#include "protocol/texts.h"
#include "win/resource_ids.h"
#include "win/updater_window.h"

#include <commctrl.h>
#include <shobjidl.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
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

// The caption of the dialog and of its message boxes.
std::wstring dialogTitle() { return wide(windowtext::DIALOG_TITLE); }

// Runs the window's messages until `done` or the bound, as the dialog manager's modal loop does
// (keys go through the dialog's keyboard handling); true when done.
template <typename Done> bool pumpUntil(Done done)
{
    const ULONGLONG end = GetTickCount64() + WAIT_MS;
    while (!done()) {
        if (GetTickCount64() > end)
            return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            HWND top = message.hwnd ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
            if (top && IsDialogMessageW(top, &message))
                continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(1);
    }
    return true;
}

// A visible top-level window with this title that has an owner (a box, the About box: not the
// updater's dialog, whose title message boxes share); null when there is none.
HWND findOwnedWindow(const std::wstring& title)
{
    struct Search {
        const std::wstring& title;
        HWND found = nullptr;
    } search{title};
    EnumWindows(
        [](HWND window, LPARAM into) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(into);
            wchar_t text[128] = {};
            GetWindowTextW(window, text, 128);
            if (IsWindowVisible(window) && GetWindow(window, GW_OWNER) && s.title == text) {
                s.found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// From another thread: waits for an owned window with this title, records its texts and
// presses its OK button (or, with `onBox`, does that instead); with `count`, does so for that many
// boxes one after the other.
class Dismisser {
public:
    explicit Dismisser(std::wstring title, int count = 1, std::function<void(HWND)> onBox = {})
        : m_thread([this, count, title = std::move(title), onBox = std::move(onBox)] {
              const ULONGLONG end = GetTickCount64() + WAIT_MS;
              while (!m_stop && GetTickCount64() < end) {
                  // A dialog becomes visible once its controls exist.
                  HWND box = findOwnedWindow(title);
                  if (box) {
                      EnumChildWindows(box, collect, reinterpret_cast<LPARAM>(&texts));
                      if (onBox)
                          onBox(box);
                      else
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

// Output report 10 is the code's eighth data report: a job held there runs until released.
constexpr unsigned HELD_REPORT = 10;

class UpdaterWindowTest : public JobFixture, public ::testing::Test {
protected:
    // A job held by the test lets go before the window (and its session) goes.
    ~UpdaterWindowTest() override { jobReleased = true; }
    UpdaterWindowTest() = default;
    UpdaterWindowTest(const UpdaterWindowTest&) = delete;
    UpdaterWindowTest& operator=(const UpdaterWindowTest&) = delete;

    std::string guardName() const
    {
        return "GPS_UPDATE_CLIENT_TEST_" + std::to_string(GetCurrentProcessId());
    }

    HWND open() { return open(backend); }
    HWND open(HidBackend& through)
    {
        window = std::make_unique<UpdaterWindow>(through, dir, guardName(), true,
                                                 dir / "state" / "history.jsonl");
        window->onJobEnded([this] { ++jobsEnded; });
        window->onTaskbarProgress(
            [this](const TaskbarProgress& shown) { taskbar.push_back(shown); });
        return window->create();
    }
    HWND control(int id) const { return GetDlgItem(window->window(), id); }
    // A small update: a few pages of code and of database.
    void writeUpdateFiles() const
    {
        writeFile(CODE_FILE, pattern(3000, 1));
        writeFile(DATABASE_FILE, pattern(1000, 2));
    }
    // Opens the window in front on a device whose job is held at HELD_REPORT until jobReleased,
    // and presses 更新 (which takes the focus, as under the mouse); true once the job is held.
    bool startHeldJob()
    {
        attach();
        writeUpdateFiles();
        gated = std::make_unique<GatedBackend>(backend, HELD_REPORT);
        gated->release = [this] { return jobReleased.load(); };
        if (!open(*gated))
            return false;
        SetForegroundWindow(window->window());
        pressUpdate();
        return pumpUntil([this] { return gated->reached(); });
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

    std::atomic<bool> jobReleased{false};
    std::unique_ptr<GatedBackend> gated; // before the window, which outlives it otherwise
    std::unique_ptr<UpdaterWindow> window;
    int jobsEnded = 0;
    std::vector<TaskbarProgress> taskbar; // everything the taskbar button was told, in order
};

TEST_F(UpdaterWindowTest, AWholeUpdateFromTheButton)
{
    SimDevice& device = attach();
    writeUpdateFiles();
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

// Whether the system menu's 關閉 (and with it the close box) is greyed out.
bool closeGreyed(HWND window)
{
    const UINT state = GetMenuState(GetSystemMenu(window, FALSE), SC_CLOSE, MF_BYCOMMAND);
    return state != static_cast<UINT>(-1) && (state & MF_GRAYED) != 0;
}

TEST_F(UpdaterWindowTest, ClosingDuringAnUpdateIsAnsweredWithABoxThatTheJobsEndCloses)
{
    ASSERT_TRUE(startHeldJob());
    ASSERT_TRUE(window->jobRunning());
    EXPECT_FALSE(IsWindowEnabled(control(IDOK)));
    EXPECT_FALSE(IsWindowEnabled(control(IDC_UPDATE)));
    // Closing is refused visibly: the close box greyed out, the warning beside the buttons.
    EXPECT_TRUE(closeGreyed(window->window()));
    EXPECT_TRUE(IsWindowVisible(control(IDC_BUSY_WARNING)));
    {
        // 取消 or Enter, Esc, and the close box or Alt+F4: each answered by a box of its own.
        Dismisser boxes(dialogTitle(), 3);
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
    ASSERT_TRUE(window->jobRunning());
    // One more request; nobody answers its box, but the job is let go once it is open, and the
    // job's end closes it.
    std::atomic<bool> closedByItself{false};
    Dismisser watcher(dialogTitle(), 1, [&](HWND box) {
        jobReleased = true;
        const ULONGLONG end = GetTickCount64() + WAIT_MS;
        while (IsWindow(box) && GetTickCount64() < end)
            Sleep(10);
        closedByItself = !IsWindow(box);
        if (!closedByItself)
            PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    PostMessageW(window->window(), WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(pumpUntil([this] { return jobsEnded == 1; }));
    watcher.wait();
    ASSERT_TRUE(watcher.found);
    EXPECT_TRUE(closedByItself);
    EXPECT_EQ(status(), wide(text::UPDATE_OK));
    EXPECT_TRUE(IsWindowEnabled(control(IDOK)));
    EXPECT_FALSE(closeGreyed(window->window()));
    EXPECT_FALSE(IsWindowVisible(control(IDC_BUSY_WARNING)));
    ASSERT_NE(window->window(), nullptr);
    SendMessageW(window->window(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(window->window(), nullptr);
}

// Types a key as the keyboard would: to the window that has the focus.
void typeKey(WORD key)
{
    INPUT input[2] = {};
    for (INPUT& event : input) {
        event.type = INPUT_KEYBOARD;
        event.ki.wVk = key;
    }
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof(INPUT));
}

TEST_F(UpdaterWindowTest, EscTypedDuringAnUpdateIsAnsweredWithABox)
{
    // 更新, clicked, has the focus when it is disabled.
    ASSERT_TRUE(startHeldJob());
    {
        Dismisser box(dialogTitle());
        typeKey(VK_ESCAPE);
        EXPECT_TRUE(pumpUntil([&box] { return box.found.load(); }));
        box.wait();
        EXPECT_NE(std::find(box.texts.begin(), box.texts.end(), wide(windowtext::UPDATE_RUNNING)),
                  box.texts.end());
    }
    jobReleased = true;
    ASSERT_TRUE(pumpUntil([this] { return jobsEnded == 1; }));
    EXPECT_NE(window->window(), nullptr);
    // With the job over, Esc closes the window.
    typeKey(VK_ESCAPE);
    EXPECT_TRUE(pumpUntil([this] { return window->window() == nullptr; }));
}

// How a job ends, as the journey line and the taskbar button show it.
struct EndCase {
    const char* name;
    SimScenario scenario;
    JourneyTone tone;
    COLORREF colour;
    int taskbarState;
    int iconChannel; // the strongest colour channel of the icon's disc: 1 red, 2 green
};

// The strongest channel (1 red, 2 green, 3 blue) of an icon's opaque, coloured pixels.
int strongestChannel(HICON icon)
{
    ICONINFO info{};
    if (!GetIconInfo(icon, &info))
        return 0;
    BITMAP bitmap{};
    GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = bitmap.bmWidth;
    format.bmiHeader.biHeight = -bitmap.bmHeight;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(bitmap.bmWidth * bitmap.bmHeight));
    HDC dc = GetDC(nullptr);
    GetDIBits(dc, info.hbmColor, 0, static_cast<UINT>(bitmap.bmHeight), pixels.data(), &format,
              DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    long sums[3] = {};
    for (const std::uint32_t pixel : pixels) {
        const int red = (pixel >> 16) & 0xFF;
        const int green = (pixel >> 8) & 0xFF;
        const int blue = pixel & 0xFF;
        if ((pixel >> 24) < 200 || std::max({red, green, blue}) - std::min({red, green, blue}) < 60)
            continue; // the edge, or the white mark
        sums[0] += red;
        sums[1] += green;
        sums[2] += blue;
    }
    return static_cast<int>(std::max_element(sums, sums + 3) - sums) + 1;
}

class WindowJobEndTest : public UpdaterWindowTest, public ::testing::WithParamInterface<EndCase> {
protected:
    // The journey line's text colour, as the dialog sets it for drawing.
    COLORREF journeyColour() const
    {
        HDC dc = CreateCompatibleDC(nullptr);
        SendMessageW(window->window(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(control(IDC_JOURNEY)));
        const COLORREF colour = GetTextColor(dc);
        DeleteDC(dc);
        return colour;
    }
};

TEST_P(WindowJobEndTest, TheJourneyLineAndTheTaskbarButtonTellHowTheJobEnded)
{
    const EndCase& row = GetParam();
    attach(row.scenario);
    writeUpdateFiles();
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(window->journeyTone(), JourneyTone::Idle);
    for (int job = 1; job <= 2; ++job) {
        taskbar.clear();
        pressUpdate();
        ASSERT_TRUE(pumpUntil([this, job] { return jobsEnded == job; }));
        // A job starts on an empty bar, out of the last one's error state, and its bar only grows.
        ASSERT_GE(taskbar.size(), 2u);
        EXPECT_EQ(taskbar.front().state, TBPF_NORMAL);
        EXPECT_EQ(taskbar.front().completed, 0u);
        for (std::size_t i = 1; i + 1 < taskbar.size(); ++i) {
            EXPECT_TRUE(taskbar[i].state == TBPF_NORMAL || taskbar[i].state == TBPF_PAUSED);
            EXPECT_GE(taskbar[i].completed, taskbar[i - 1].completed);
            EXPECT_LE(taskbar[i].completed, TASKBAR_SCALE);
        }
        EXPECT_EQ(taskbar.back().state, row.taskbarState);

        EXPECT_EQ(window->journeyTone(), row.tone);
        EXPECT_EQ(journeyColour(), row.colour);
        const auto icon =
            reinterpret_cast<HICON>(SendMessageW(control(IDC_JOURNEY_ICON), STM_GETICON, 0, 0));
        ASSERT_NE(icon, nullptr);
        EXPECT_TRUE(IsWindowVisible(control(IDC_JOURNEY_ICON)));
        // A green disc (with its tick) for success, a red one (with its cross) for failure.
        EXPECT_EQ(strongestChannel(icon), row.iconChannel);
        wchar_t line[256] = {};
        GetDlgItemTextW(window->window(), IDC_JOURNEY, line, 256);
        EXPECT_NE(std::wstring(line), L"");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, WindowJobEndTest,
    ::testing::Values(
        EndCase{"Success", {}, JourneyTone::Success, SUCCESS_COLOUR, TBPF_NOPROGRESS, 2},
        EndCase{"CodeWriteFails",
                {Fault::WriteFail, HELD_REPORT},
                JourneyTone::Failure,
                FAILURE_COLOUR,
                TBPF_ERROR,
                1},
        EndCase{"DeviceAbsent",
                {Fault::Absent, 0},
                JourneyTone::Failure,
                FAILURE_COLOUR,
                TBPF_ERROR,
                1}),
    [](const auto& row) { return std::string(row.param.name); });

// The DPI the run's screen is set to: the ctest entry that sets another one names it.
UINT expectedDpi()
{
    const char* dpi = std::getenv("QUARVO_TEST_DPI");
    return dpi ? static_cast<UINT>(std::atoi(dpi)) : USER_DEFAULT_SCREEN_DPI;
}

// `inner` is centred on `outer`: its margins on either side differ by a pixel at most (an odd
// difference of sizes).
void expectCentredOn(const RECT& inner, const RECT& outer)
{
    EXPECT_LE(std::abs((inner.left - outer.left) - (outer.right - inner.right)), 1);
    EXPECT_LE(std::abs((inner.top - outer.top) - (outer.bottom - inner.bottom)), 1);
}

RECT screenRect(HWND window)
{
    RECT rect{};
    GetWindowRect(window, &rect);
    return rect;
}

// Where the dialog, the About box and the picture are; run at 96 dpi and again at 144 dpi.
using WindowGeometryTest = UpdaterWindowTest;

TEST_F(WindowGeometryTest, TheDialogIsCentredOnItsMonitorAndTheAboutBoxOnTheDialog)
{
    attach();
    ASSERT_NE(open(), nullptr);
    const RECT dialog = screenRect(window->window());
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ASSERT_TRUE(
        GetMonitorInfoW(MonitorFromWindow(window->window(), MONITOR_DEFAULTTONEAREST), &monitor));
    expectCentredOn(dialog, monitor.rcWork);

    RECT about{};
    Dismisser aboutBox(wide(windowtext::ABOUT_TITLE), 1, [&about](HWND box) {
        GetWindowRect(box, &about);
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    PostMessageW(window->window(), WM_SYSCOMMAND, ABOUT_COMMAND, 0);
    ASSERT_TRUE(pumpUntil([&aboutBox] { return aboutBox.found.load(); }));
    aboutBox.wait();
    expectCentredOn(about, dialog);
}

TEST_F(WindowGeometryTest, ThePictureIsScaledWithTheDpiAndFillsItsPlace)
{
    attach();
    ASSERT_NE(open(), nullptr);
    const UINT dpi = GetDpiForWindow(window->window());
    ASSERT_EQ(dpi, expectedDpi());
    const int width = MulDiv(PICTURE_WIDTH, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
    const int height = MulDiv(PICTURE_HEIGHT, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
    const RECT picture = screenRect(control(IDC_PICTURE));
    EXPECT_EQ(picture.right - picture.left, width);
    EXPECT_EQ(picture.bottom - picture.top, height);
    // What the control shows is drawn at that size, not stretched or cut by the control.
    const auto shown = reinterpret_cast<HBITMAP>(
        SendMessageW(control(IDC_PICTURE), STM_GETIMAGE, IMAGE_BITMAP, 0));
    BITMAP info{};
    ASSERT_NE(GetObjectW(shown, sizeof info, &info), 0);
    EXPECT_EQ(info.bmWidth, width);
    EXPECT_EQ(info.bmHeight, height);
    // Its place: inside the dialog, above the progress bar and centred over it.
    RECT client{};
    GetClientRect(window->window(), &client);
    MapWindowPoints(window->window(), nullptr, reinterpret_cast<POINT*>(&client), 2);
    const RECT progressBar = screenRect(control(IDC_PROGRESS));
    EXPECT_GE(picture.left, client.left);
    EXPECT_LE(picture.right, client.right);
    EXPECT_LE(picture.bottom, progressBar.top);
    EXPECT_LE(std::abs((picture.left + picture.right) - (progressBar.left + progressBar.right)), 1);
}

// A bootloader that another program holds: the box says so, at start-up and at each press of
// 更新 that meets it, as on Linux.
TEST_F(UpdaterWindowTest, ARefusedOpenIsExplainedInABox)
{
    SimDevice& device = attach();
    device.setOpenRefused(true);
    writeUpdateFiles();
    {
        Dismisser box(dialogTitle());
        ASSERT_NE(open(), nullptr);
        ASSERT_TRUE(pumpUntil([&box] { return box.found.load(); }));
        box.wait();
        EXPECT_NE(
            std::find(box.texts.begin(), box.texts.end(), wide(windowtext::WINDOWS_ACCESS_HELP)),
            box.texts.end());
    }
    Dismisser box(dialogTitle());
    pressUpdate();
    ASSERT_TRUE(pumpUntil([this] { return jobsEnded == 1; }));
    box.wait();
    EXPECT_TRUE(box.found);
    wchar_t line[256] = {};
    GetDlgItemTextW(window->window(), IDC_JOURNEY, line, 256);
    EXPECT_EQ(std::wstring(line), wide(windowtext::END_OPEN_REFUSED));
    EXPECT_TRUE(device.traffic().empty());
}

// The text on the clipboard, as a paste would get it.
std::wstring clipboardText(HWND owner)
{
    std::wstring text;
    if (!OpenClipboard(owner))
        return text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = chars;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

// The system menu's copy entry puts the last update's record on the clipboard for support.
TEST_F(UpdaterWindowTest, TheSystemMenusCopyEntryPutsTheLastRecordOnTheClipboard)
{
    attach({Fault::WriteFail, 5});
    writeUpdateFiles();
    ASSERT_NE(open(), nullptr);
    wchar_t entry[64] = {};
    ASSERT_GT(GetMenuStringW(GetSystemMenu(window->window(), FALSE), COPY_RECORD_COMMAND, entry, 64,
                             MF_BYCOMMAND),
              0);
    EXPECT_EQ(std::wstring(entry), wide(windowtext::COPY_RECORD_ENTRY));
    pressUpdate();
    ASSERT_TRUE(pumpUntil([this] { return jobsEnded == 1; }));
    Dismisser box(dialogTitle());
    PostMessageW(window->window(), WM_SYSCOMMAND, COPY_RECORD_COMMAND, 0);
    ASSERT_TRUE(pumpUntil([&box] { return box.found.load(); }));
    box.wait();
    EXPECT_NE(std::find(box.texts.begin(), box.texts.end(), wide(windowtext::RECORD_COPIED)),
              box.texts.end());
    const std::wstring copied = clipboardText(window->window());
    for (const char* part : {"quarvo-updater", "outcome: device failed", "program partly written",
                             "data report 3 of 48"})
        EXPECT_NE(copied.find(wide(part)), std::wstring::npos) << part;
    // Windows line ends, so that it pastes as lines everywhere.
    EXPECT_NE(copied.find(L"\r\n  outcome"), std::wstring::npos);
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
    Dismisser box(dialogTitle());
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
    writeUpdateFiles();
    ASSERT_NE(open(), nullptr);
    const auto mayEnd = [this] {
        return SendMessageW(window->window(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
    };
    EXPECT_EQ(mayEnd(), TRUE);
    pressUpdate();
    // The job counts as running until the window's thread has seen its end; nothing is pumped yet.
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
    Dismisser box(dialogTitle());
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
