// The updater's window on Windows: the dialog of the resource templates, run by the Win32 dialog
// manager. It draws what its UpdaterSession decides (and ticks its device re-checks); beyond that
// it holds the single-instance guard, the About entry of the system menu and the taskbar button's
// progress, and while an update runs it holds the system back: awake (SystemHold), a reason on
// the shutdown and logoff screen, and a refusal of the end of the session. A session that ends
// all the same stops the update between reports and ends the window. Everything here runs on the
// window's thread.
#pragma once

#include "frontend/updater_session.h"
#include "platform/instance_guard.h"
#include "platform/system_hold.h"

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct ITaskbarList3;

namespace quarvo {

// What the shutdown and logoff screen shows for the updater while it writes the device (short: it
// is read in a hurry).
inline constexpr const wchar_t* SHUTDOWN_BLOCK_REASON = L"正在更新設備，請勿關機或登出";

class UpdaterWindow final : private WindowView {
public:
    UpdaterWindow(HidBackend& backend, std::filesystem::path directory, std::string instanceName);
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

private:
    static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
    bool initialise();
    // Tells the user why no update may run here, when the guard is not ours; false then.
    bool takeGuard();
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

    InstanceGuard m_guard;
    HWND m_window = nullptr;
    bool m_modal = false;
    HICON m_bigIcon = nullptr;
    HICON m_smallIcon = nullptr;
    ITaskbarList3* m_taskbar = nullptr;
    JourneyTone m_journeyTone = JourneyTone::Idle; // the journey line's colour follows it
    std::vector<HWND> m_openBoxes; // the message boxes open over the dialog, innermost last
    std::function<void()> m_jobEndedCallback;
    SystemHold m_systemHold;
    bool m_shutdownReasonSet = false;
    UpdaterSession m_session; // last: it may call back into the members above
};

// The caption of message boxes: the executable's file name without its extension.
std::wstring applicationName();

} // namespace quarvo
