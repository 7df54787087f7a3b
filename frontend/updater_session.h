// What the updater window does beyond drawing, for any window system: the start-up device check,
// one update job at a time on a worker thread, refusing to close while it runs, handing the job's
// surface calls to the window's thread one at a time (the worker waits for each, so at most one is
// ever pending), and which system commands open the About box. The Qt window and the Windows
// dialog each implement WindowView to turn these into widgets; neither decides anything itself.
#pragma once

#include "progress_model.h"

#include "hid/hid_backend.h"
#include "protocol/output_surface.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace quarvo {

// The window's side. Every call but wakeWindowThread comes on the window's thread.
class WindowView {
public:
    virtual ~WindowView() = default;
    virtual void showStatus(const std::string& text) = 0;
    // The bar as ProgressModel shows it; a maximum of 0 means an empty bar.
    virtual void showProgress(std::uint16_t maximum, std::uint32_t position) = 0;
    // A modal message box with one OK button; returns once it is dismissed.
    virtual void showMessageBox(const std::string& text) = 0;
    virtual void setUpdateEnabled(bool enabled) = 0;
    // An update job has ended, however it ended.
    virtual void jobEnded() = 0;
    // From any thread: have the window's thread call UpdaterSession::runPendingCalls soon.
    virtual void wakeWindowThread() = 0;
};

// The system-menu command that opens the About box (the low four bits are the system's).
inline constexpr unsigned ABOUT_COMMAND = 16;

class UpdaterSession final : private OutputSurface {
public:
    // The job reads its files from `directory` and talks to the device through `backend`.
    UpdaterSession(HidBackend& backend, std::filesystem::path directory, WindowView& view);
    // Waits for a worker that has finished its job (closing is refused while one runs).
    ~UpdaterSession() override;
    UpdaterSession(const UpdaterSession&) = delete;
    UpdaterSession& operator=(const UpdaterSession&) = delete;

    // Opens the bootloader once and closes it again at once; the status says whether it could.
    void checkDevice();
    // The update button: starts the job on a worker thread unless one runs (then nothing
    // happens). False when no thread could be started.
    bool startUpdate();
    bool jobRunning() const { return m_jobRunning.load(); }
    // Whether the window may close now: never while a job runs.
    bool mayClose() const { return !jobRunning(); }
    static bool opensAbout(unsigned command) { return (command & 0xFFF0) == ABOUT_COMMAND; }

    // On the window's thread, when woken: carries out the calls the worker handed over.
    void runPendingCalls();
    // How many handed-over calls wait for the window's thread (never more than one).
    std::size_t pendingCalls() const;

private:
    // OutputSurface, for the job on the worker thread.
    void setStatus(const std::string& text) override;
    void setProgressRange(std::uint32_t maximum) override;
    void setProgressPos(std::uint32_t position) override;
    void showMessage(const std::string& text) override;

    // Hands `action` to the window's thread; `wait`: returns only once it has been carried out.
    void onWindowThread(std::function<void()> action, bool wait = true);
    void finishJob();

    HidBackend& m_backend;
    std::filesystem::path m_directory;
    WindowView& m_view;
    ProgressModel m_bar; // touched on the window's thread only
    std::thread::id m_windowThread;
    mutable std::mutex m_callsMutex;
    std::deque<std::function<void()>> m_calls;
    std::thread m_worker;
    std::atomic<bool> m_jobRunning{false};
};

} // namespace quarvo
