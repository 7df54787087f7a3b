// The updater's window on Windows: the dialog of the resource templates, run by the Win32 dialog
// manager. It draws what its UpdaterSession decides (and ticks its device re-checks); beyond that
// it holds the single-instance guard, the About entry of the system menu, the taskbar button's
// progress and the request that the computer stays awake while an update runs. Everything here
// runs on the window's thread.
#pragma once

#include "frontend/updater_session.h"
#include "platform/instance_guard.h"

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>

struct ITaskbarList3;

namespace quarvo {

class UpdaterWindow final : private WindowView {
public:
    UpdaterWindow(HidBackend& backend, std::filesystem::path directory, std::string instanceName);
    ~UpdaterWindow() override;
    UpdaterWindow(const UpdaterWindow&) = delete;
    UpdaterWindow& operator=(const UpdaterWindow&) = delete;

    // Runs the dialog modally until it ends. 1 when another updater runs (it has been told so and
    // the dialog was never shown), else 0.
    int run();

    // For tests: creates the dialog without a modal loop (the caller pumps messages); null when
    // another updater runs. The window is destroyed with this object or by closing it.
    HWND create();
    HWND window() const { return m_window; }
    bool jobRunning() const { return m_session.jobRunning(); }
    // Called whenever an update job has ended.
    void onJobEnded(std::function<void()> callback) { m_jobEndedCallback = std::move(callback); }

private:
    static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
    bool initialise();
    void close(int result);

    // WindowView
    void showStatus(const std::string& text) override;
    void showProgress(std::uint16_t maximum, std::uint32_t position) override;
    void showMessageBox(const std::string& text) override;
    void jobStarted() override;
    void jobEnded() override;
    void wakeWindowThread() override;

    InstanceGuard m_guard;
    HWND m_window = nullptr;
    bool m_modal = false;
    HICON m_bigIcon = nullptr;
    HICON m_smallIcon = nullptr;
    ITaskbarList3* m_taskbar = nullptr;
    int m_phase = -1; // of the update, for the taskbar's bar
    std::uint16_t m_phaseMaximum = 0;
    std::function<void()> m_jobEndedCallback;
    UpdaterSession m_session; // last: it may call back into the members above
};

// The caption of message boxes: the executable's file name without its extension.
std::wstring applicationName();

} // namespace quarvo
