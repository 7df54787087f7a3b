// The updater's window on Windows: the dialog of the resource templates, run by the Win32 dialog
// manager, centred on its monitor, with its picture drawn at the monitor's scale. It draws what
// its UpdaterSession decides (the single-instance guard, the device re-checks it ticks, the update
// run that keeps the system awake): the journey line with an icon and a colour for its tone, and
// the whole update on the taskbar button. Beyond that it keeps the About entry of the system menu,
// and while an update runs a reason on the shutdown and logoff screen and a refusal of the end of
// the session. A session that ends all the same stops the update between reports and ends the
// window. Everything here runs on the window's thread.
#pragma once

#include "frontend/updater_session.h"

#include <windows.h>

#include <array>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct ITaskbarList3;

namespace quarvo {

// What the shutdown and logoff screen shows for the updater while it writes the device (short: it
// is read in a hurry).
inline constexpr const wchar_t* SHUTDOWN_BLOCK_REASON = L"正在更新設備，請勿關機或登出";

// The journey line's text colours for the tones that must be told apart at a glance; running and
// idle keep the system's text colour.
inline constexpr COLORREF SUCCESS_COLOUR = RGB(0x1a, 0x7f, 0x37);
inline constexpr COLORREF FAILURE_COLOUR = RGB(0xb4, 0x23, 0x18);
inline constexpr COLORREF WAITING_COLOUR = RGB(0xb5, 0x47, 0x08);

// The picture's size at 100 % (96 dpi); resources/picture_2x.png is twice as large.
inline constexpr int PICTURE_WIDTH = 550;
inline constexpr int PICTURE_HEIGHT = 249;

// What the taskbar button shows: a TBPF_ state and, while a job runs, the whole update's progress
// out of TASKBAR_SCALE.
inline constexpr unsigned long long TASKBAR_SCALE = 1000;
struct TaskbarProgress {
    int state = 0;
    unsigned long long completed = 0;
};

class UpdaterWindow final : private WindowView {
public:
    // `instanceName` names the single-instance guard; `holdSystem`: a job keeps the system awake
    // (not for the simulated device of a demo); `historyFile`: where each update's record is kept
    // (empty: nowhere); `simulated`: the device is the simulator's; `loadHooks`: the jobs' ways
    // into the loading of the update files.
    UpdaterWindow(HidBackend& backend, std::filesystem::path directory, std::string instanceName,
                  bool holdSystem = true, std::filesystem::path historyFile = {},
                  bool simulated = false, LoadHooks loadHooks = {});
    ~UpdaterWindow() override;
    UpdaterWindow(const UpdaterWindow&) = delete;
    UpdaterWindow& operator=(const UpdaterWindow&) = delete;

    // Runs the dialog modally until it ends. 1 when another updater runs or the guard could not
    // be taken (the user has been told so and the dialog was never shown), else 0 (also when the
    // session ended and stopped an update).
    int run();

    // For tests: creates the dialog without a modal loop (the caller pumps messages); null when
    // the guard refused. The window is destroyed with this object or by closing it.
    HWND create();
    HWND window() const { return m_window; }
    bool jobRunning() const { return m_session.jobRunning(); }
    // Called whenever an update job has ended.
    void onJobEnded(std::function<void()> callback) { m_jobEndedCallback = std::move(callback); }
    // Called whenever the taskbar button is told something (also where there is no taskbar).
    void onTaskbarProgress(std::function<void(const TaskbarProgress&)> callback)
    {
        m_taskbarCallback = std::move(callback);
    }
    JourneyTone journeyTone() const { return m_journeyTone; }

private:
    static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
    bool initialise();
    // Tells the user why no update may run here, when the guard is not ours; false then.
    bool takeGuard();
    // Sizes the picture's control to the picture at the window's DPI and draws the best-fitting
    // of the two pictures into it, scaled smoothly.
    void fitPicture();
    // A box with one OK button over the dialog, captioned with its title; recorded in
    // m_openBoxes while it is open, so that closeMessageBox can close it.
    void showBox(const std::string& text);
    void showTaskbar(int state, unsigned long long completed);
    // The icon for a tone of the journey line (none while running or idle).
    HICON journeyIcon(JourneyTone tone);
    // The close box and the system menu's 關閉: greyed out while a job runs.
    void allowClosing(bool allowed);
    void close(int result);
    // The session is ending (logoff, shutdown, restart) whatever the window answered.
    void endForSession();

    // WindowView
    void showStatus(const std::string& text) override;
    void showProgress(std::uint16_t maximum, std::uint32_t position) override;
    void showJourney(const JourneyLine& line) override;
    void showMessageBox(const std::string& text, const std::string& detail) override;
    void closeMessageBox() override;
    void jobStarted() override;
    void jobEnded(const JobEnd& end) override;
    void wakeWindowThread() override;
    void endRequested(int signal) override;
    void logLine(const std::string& text) override;
    bool copyToClipboard(const std::string& text) override;

    HWND m_window = nullptr;
    bool m_modal = false;
    HICON m_bigIcon = nullptr;
    HICON m_smallIcon = nullptr;
    HBITMAP m_picture = nullptr; // the picture at the window's DPI, shown by its control
    ITaskbarList3* m_taskbar = nullptr;
    JourneyTone m_journeyTone = JourneyTone::Idle; // the journey line's colour and icon follow it
    std::array<HICON, 3> m_journeyIcons{};         // waiting, success, failure; loaded when needed
    std::vector<HWND> m_openBoxes; // the message boxes open over the dialog, innermost last
    std::function<void()> m_jobEndedCallback;
    std::function<void(const TaskbarProgress&)> m_taskbarCallback;
    bool m_shutdownReasonSet = false;
    UpdaterSession m_session; // last: it may call back into the members above
};

// The program's arguments, without its name, exactly as typed (the wide command line, whatever
// the code page).
std::vector<std::wstring> programArguments();

} // namespace quarvo
