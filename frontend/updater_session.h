// What the updater window does beyond drawing, for any window system: the start-up device check
// and the re-checks that follow the device as it comes and goes, one update job at a time on a
// worker thread, refusing to close while it runs (and saying why, in a box that closes by itself
// when the job ends), help when the device is there but may not be opened, the whole update as one
// journey (step, progress, time left, a silent device, and at the end what happened and what to
// do next), and stopping a job between reports when the window must go while it runs. The job's
// status and progress reach the window's thread without the worker waiting for it (the latest
// of each is kept); its message boxes wait for the user. The Qt window and the Windows dialog
// each implement WindowView to turn these into widgets; neither decides anything itself.
#pragma once

#include "journey.h"
#include "progress_model.h"

#include "hid/hid_backend.h"
#include "protocol/commands.h"
#include "protocol/output_surface.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quarvo {

// The window's side. Every call but wakeWindowThread comes on the window's thread.
class WindowView {
public:
    virtual ~WindowView() = default;
    virtual void showStatus(const std::string& text) = 0;
    // The bar as ProgressModel shows it; a maximum of 0 means an empty bar.
    virtual void showProgress(std::uint16_t maximum, std::uint32_t position) = 0;
    // The journey line (and, where there is one, the taskbar button's progress), with its tone:
    // running, waiting for the device, success or failure.
    virtual void showJourney(const JourneyLine& line) = 0;
    // A modal message box with one OK button, `text` and under it `detail` (empty: none);
    // returns once it is dismissed.
    virtual void showMessageBox(const std::string& text, const std::string& detail) = 0;
    // Closes the innermost box that showMessageBox has open, as OK would; only called while one
    // is open.
    virtual void closeMessageBox() = 0;
    // An update job starts: 更新 and 取消 are disabled and the computer is kept awake.
    virtual void jobStarted() = 0;
    // The job has ended, however it ended (or never got its thread): the buttons are enabled
    // again and the computer may sleep. `end` says how; the journey line already says it too.
    virtual void jobEnded(const JobEnd& end) = 0;
    // From any thread: have the window's thread call UpdaterSession::runPendingCalls soon.
    virtual void wakeWindowThread() = 0;
};

// The system-menu command that opens the About box (the low four bits are the system's).
inline constexpr unsigned ABOUT_COMMAND = 16;

// How often, on the backend's clock, the device is looked for again while no job runs.
inline constexpr std::int64_t DEVICE_RECHECK_INTERVAL_US = 1000000;
// How often the windows call UpdaterSession::recheckDevice (it decides itself when to look).
inline constexpr int DEVICE_RECHECK_TICK_MS = 250;
// How long a stop waits for the worker to end. The job looks at a stop before every report and at
// least every STOP_CHECK_SLICE_MS of a wait, and a write the device does not take fails within the
// transport's 5 s; the rest is room for a loaded machine.
inline constexpr int JOB_STOP_TIMEOUT_MS = 15000;

class UpdaterSession final : private OutputSurface {
public:
    // The job reads its files from `directory` and talks to the device through `backend`.
    // `accessHelp` is shown in a message box when the bootloader is attached but may not be
    // opened (empty: no box).
    UpdaterSession(HidBackend& backend, std::filesystem::path directory, WindowView& view,
                   std::string accessHelp = {});
    // Never waits for the window's thread: a job still running is stopped as stopJob does, without
    // a word to the view, and the worker is waited for up to JOB_STOP_TIMEOUT_MS. A worker that
    // outlives that bound still uses this session and the backend, so the process ends there
    // (std::terminate) rather than hang or let it run on into freed memory.
    ~UpdaterSession() override;
    UpdaterSession(const UpdaterSession&) = delete;
    UpdaterSession& operator=(const UpdaterSession&) = delete;

    // The start-up check: opens the bootloader once and closes it again at once; the status says
    // whether it could, and the access help is shown when it is attached but refused the open.
    void checkDevice();
    // Called by the window every DEVICE_RECHECK_TICK_MS: while a job runs, brings the journey
    // line up to date (the time left, how long the device has been silent); otherwise re-checks
    // the device as recheckDevice does.
    void tick();
    // While no job runs and no box of the session's is open, looks for the device again once
    // DEVICE_RECHECK_INTERVAL_US have passed on the backend's clock. The status changes only when
    // the answer does; a job's text stays until the device is attached anew or may be opened again
    // (a device that leaves after a job, as a restarted one does, leaves the job's result on
    // screen).
    void recheckDevice();
    // The update button: starts the job on a worker thread unless one runs (then nothing
    // happens). False when no thread could be started.
    bool startUpdate();
    bool jobRunning() const { return m_jobRunning.load(); }
    // Whether the running job has been asked to stop (by stopJob or the session's end).
    bool stopRequested() const { return m_stopRequested.load(); }
    // A request to close the window (close box, Esc, Alt+F4, the window manager): true when it
    // may close; while a job runs, a message box says why not (one at a time) and false. The box
    // closes by itself when the job ends.
    bool requestClose();
    static bool opensAbout(unsigned command) { return (command & 0xFFF0) == ABOUT_COMMAND; }
    // A forced end (the system ends the session, the window must go), on the window's thread: asks
    // a running job to stop before its next report (it fails there, "stopped on request"), drops
    // the calls it handed over and answers a box it waits for as dismissed, then waits up to
    // JOB_STOP_TIMEOUT_MS for the worker. Once it has ended the view gets jobEnded and the session
    // may start jobs again; what the stopped job would still have shown is not shown. True when no
    // job runs (any more); false when the worker outlived the bound (the job still counts as
    // running, and nothing is handed to the window's thread from then on).
    bool stopJob();

    // On the window's thread, when woken: shows the job's latest status and progress and carries
    // out the calls the worker handed over (its boxes, its end).
    void runPendingCalls();
    // How many handed-over calls wait for the window's thread (boxes and the job's end; never
    // more than one, for the worker waits for each box).
    std::size_t pendingCalls() const;

private:
    // OutputSurface, for the job on the worker thread.
    void setStatus(const std::string& text) override;
    void setProgressRange(std::uint32_t maximum) override;
    void setProgressPos(std::uint32_t position) override;
    void showMessage(const std::string& text) override;
    void beginStep(const StepInfo& step) override;

    // What the worker has shown since the window's thread last looked: under m_callsMutex.
    struct Latest {
        std::optional<std::string> status;
        bool barChanged = false;
        std::vector<StepInfo> steps; // every step entered, in order
        std::int64_t heardUs = 0;    // when the worker last showed something
        bool heard = false;          // whether it has since the last look
    };
    // Records a change of the worker's (under the lock) and wakes the window's thread unless a
    // wake is already on its way.
    void changeLatest(const std::function<void(Latest&)>& change);
    // On the window's thread: shows what the worker has changed since the last look.
    void showLatest();
    void showJourneyLine(const JourneyLine& line);
    // The worker's whole run: the job, a failure of its own turned into a box, and the end.
    void runJob();

    enum class Presence { Absent, Present, Refused };
    // Opens the bootloader and closes it again at once.
    Presence probe();
    // The start-up texts for what a check found; the access help when it was refused.
    void showPresence(Presence presence);
    // A message box of the session's own; re-checks and close requests wait while it is open.
    void showOwnBox(const std::string& text, const std::string& detail = {});

    // Hands `action` to the window's thread; `wait`: returns only once it has been carried out or
    // the hand-over has been released. Once released, nothing more is handed over.
    void onWindowThread(std::function<void()> action, bool wait = true);
    // Asks the job to stop, releases the hand-over and waits (bounded) for the worker; true when
    // it has ended and been joined.
    bool stopWorker();
    void finishJob();

    HidBackend& m_backend;
    std::filesystem::path m_directory;
    WindowView& m_view;
    std::string m_accessHelp;
    // On the window's thread only: what the last check (or job) found of the device, when, whether
    // the status line holds a job's text, and whether a box of ours is open.
    std::optional<Presence> m_presence;
    std::int64_t m_lastCheckUs = 0;
    bool m_statusFromJob = false;
    bool m_boxOpen = false;
    bool m_closeRefusalOpen = false;
    unsigned m_stopsMade = 0; // by stopWorker, which drops the handed-over calls
    ProgressModel m_bar;      // touched on the window's thread only
    Journey m_journey;        // on the window's thread only
    std::string m_journeyShown;
    std::thread::id m_windowThread;
    mutable std::mutex m_callsMutex;
    // Under m_callsMutex: the calls handed over, whether the hand-over is released (a stop), and
    // whether the worker has finished; m_callsChanged tells of a waited call carried out, the
    // release and the worker's end.
    std::deque<std::function<void()>> m_calls;
    Latest m_latest;
    ProgressModel m_workerBar; // the bar as the worker set it
    bool m_wakePending = false;
    bool m_handOverReleased = false;
    bool m_workerEnded = true;
    std::condition_variable m_callsChanged;
    std::thread m_worker;
    // What the last job learnt of the device and how it ended: written by the worker before it
    // ends, read on the window's thread after it (the hand-over's mutex or the join orders the
    // two). The step and the job's context are the worker's own while it runs.
    Presence m_jobPresence = Presence::Present;
    JobEnd m_jobEnd;
    std::optional<UpdateStep> m_workerStep;
    const CommandContext* m_jobContext = nullptr;
    std::atomic<bool> m_jobRunning{false};
    std::atomic<bool> m_stopRequested{false};
};

} // namespace quarvo
