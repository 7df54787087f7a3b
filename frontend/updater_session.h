// What the updater window does beyond drawing, for any window system: the single-instance guard
// at start-up, the start-up device check and the re-checks that follow the device as it comes and
// goes, one update job at a time through UpdateRun (which holds the system back and weighs stop
// requests), refusing to close while it runs (and saying why, in a box that closes by itself when
// the job ends), help when the device is there but may not be opened, the whole update as one
// journey (step, progress, time left, a silent device, and at the end what happened and what to
// do next), and ending the window when the process is asked to end. The run's status, progress and
// steps reach the window's thread without the worker waiting for it; its message boxes wait for
// the user. The Qt window and the Windows dialog each implement WindowView to turn these into
// widgets; neither decides anything itself.
#pragma once

#include "journey.h"
#include "progress_model.h"
#include "update_run.h"

#include "hid/hid_backend.h"
#include "protocol/commands.h"
#include "protocol/output_surface.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

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
    // The process has been asked to end (`signal`, as a stop): no job runs any more, and the
    // window goes with the exit status 128 + signal.
    virtual void endRequested(int signal) { static_cast<void>(signal); }
    // A line for whoever follows the program (a terminal, a debugger): what could not be held,
    // why a job stopped, an interrupt that waits for its confirmation.
    virtual void logLine(const std::string& text) { static_cast<void>(text); }
    // Puts `text` on the system's clipboard; false when it could not.
    virtual bool copyToClipboard(const std::string& text)
    {
        static_cast<void>(text);
        return false;
    }
};

// What the session takes from the platform: the guard, the system's holds and the stop requests.
struct SessionPlatform {
    // The single-instance guard's name (empty: none, as in tests that need no exclusion) and the
    // directory of its lock file (empty: the system's).
    std::string guardName;
    std::string lockDirectory;
    // logind, asked to hold the system back during a job; none where there is no bus to ask.
    InhibitorBus* sleepBus = nullptr;
    // Whether a job holds the system back at all (not for the simulated device of a demo).
    bool holdSystem = false;
    // The process's stop requests (signals); none: only stopJob stops a job.
    StopSource* stops = nullptr;
    // Where each job's record is kept (empty: nowhere), and whether the device is simulated.
    std::filesystem::path historyFile = {};
    bool simulated = false;
    // The jobs' ways into the loading of the update files (a demo that wrote its sample files
    // itself and knows them whole has them count as settled).
    LoadHooks loadHooks = {};
};

// The system-menu commands that open the About box and copy the last update's record (the low four
// bits are the system's).
inline constexpr unsigned ABOUT_COMMAND = 16;
inline constexpr unsigned COPY_RECORD_COMMAND = 32;

// How often, on the backend's clock, the device is looked for again while no job runs.
inline constexpr std::int64_t DEVICE_RECHECK_INTERVAL_US = 1000000;
// How often the windows call UpdaterSession::recheckDevice (it decides itself when to look).
inline constexpr int DEVICE_RECHECK_TICK_MS = 250;
class UpdaterSession final : private RunObserver {
public:
    // The job reads its files from `directory` and talks to the device through `backend`.
    // `accessHelp` is shown in a message box when the bootloader is attached but may not be
    // opened (empty: no box).
    UpdaterSession(HidBackend& backend, std::filesystem::path directory, WindowView& view,
                   std::string accessHelp = {}, SessionPlatform platform = {});
    // Never waits for the window's thread: a job still running is stopped as stopJob does, without
    // a word to the view, and the worker is waited for up to JOB_STOP_TIMEOUT_MS. A worker that
    // outlives that bound still uses this session and the backend, so the process ends there
    // (std::terminate) rather than hang or let it run on into freed memory.
    ~UpdaterSession() override;
    UpdaterSession(const UpdaterSession&) = delete;
    UpdaterSession& operator=(const UpdaterSession&) = delete;

    // At start-up: takes the single-instance guard. Empty when it is ours; otherwise the text of
    // the box that tells the user why this window may not update (another updater runs, or none
    // can be ruled out), after which the window ends with exit code 1.
    std::optional<std::string> takeGuard();

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
    // Whether the running job has been asked to stop (by stopJob, the session's end or a signal).
    bool stopRequested() const { return m_run.stoppedBy() != 0; }
    // Whether the system is held back from sleeping and shutting down now (during a job).
    bool keepingAwake() const { return m_run.snapshot().systemHeld; }
    // Called when the stop source's descriptor is readable: weighs the requests that came. While
    // no job runs, a stop ends the window at once (endRequested); while one runs, the job stops
    // between reports and the window ends with it.
    void pollStops();
    // The session ends (logoff, shutdown) whatever the window answered: a running job is stopped
    // as stopJob does, then the window is asked to end. False when the job outlived the bound.
    bool endSession(int signal);
    // A request to close the window (close box, Esc, Alt+F4, the window manager): true when it
    // may close; while a job runs, a message box says why not (one at a time) and false. The box
    // closes by itself when the job ends.
    bool requestClose();
    static bool opensAbout(unsigned command) { return (command & 0xFFF0) == ABOUT_COMMAND; }
    static bool copiesRecord(unsigned command) { return (command & 0xFFF0) == COPY_RECORD_COMMAND; }
    // The copy entry: the last update's record, as readable text, to the clipboard for support;
    // a box says that it was copied (or that there is none).
    void copyLastRecord();
    // A forced end (the system ends the session, the window must go), on the window's thread: asks
    // a running job to stop before its next report (it fails there, "stopped on request"), drops
    // the calls it handed over and answers a box it waits for as dismissed, then waits up to
    // JOB_STOP_TIMEOUT_MS for the worker. Once it has ended the view gets jobEnded and the session
    // may start jobs again; what the stopped job would still have shown is not shown. True when no
    // job runs (any more); false when the worker outlived the bound (the job still counts as
    // running, and nothing is handed to the window's thread from then on).
    bool stopJob();

    // On the window's thread, when woken: shows what the run told since the last look, in order
    // (status texts, the job's boxes, the steps, the end), then its latest progress.
    void runPendingCalls();
    // How many of the run's boxes and ends wait for the window's thread (never more than one, for
    // the worker waits for each box).
    std::size_t pendingCalls() const { return m_run.pendingBoxesAndEnds(); }

private:
    // RunObserver: from any thread.
    void runChanged() override { m_view.wakeWindowThread(); }

    bool stopJob(int signal);
    void handle(const RunEvent& event);
    // On the window's thread: the run's progress as of `snapshot` and the journey line.
    void showRunning(const RunSnapshot& snapshot);
    void showJourneyLine(const JourneyLine& line);
    // At idle, unless a job's end is on screen: whether the update files are in the folder.
    void showIdleLine();
    // The job has ended: its boxes (a fault of ours, the access help), then the view is told.
    void finishJob(bool withBoxes);

    enum class Presence { Absent, Present, Refused };
    // Opens the bootloader and closes it again at once.
    Presence probe();
    // The start-up texts for what a check found; the access help when it was refused.
    void showPresence(Presence presence);
    // A message box of the session's own; re-checks and close requests wait while it is open.
    void showOwnBox(const std::string& text, const std::string& detail = {});
    // The detail of a box of the job's: where the files were looked for and the job's reason.
    std::string boxDetail(const std::string& reason) const;

    HidBackend& m_backend;
    std::filesystem::path m_directory;
    WindowView& m_view;
    std::string m_accessHelp;
    SessionPlatform m_platform;
    // On the window's thread only: what the last check (or job) found of the device, when, whether
    // the status line holds a job's text, and whether a box of ours is open.
    std::optional<Presence> m_presence;
    std::int64_t m_lastCheckUs = 0;
    bool m_statusFromJob = false;
    bool m_boxOpen = false;
    bool m_closeRefusalOpen = false;
    bool m_endShown = false;  // the journey line holds a job's end
    unsigned m_stopsMade = 0; // by stopJob, which drops what the stopped job would still show
    std::uint16_t m_barMaximum = 0;
    std::uint32_t m_barPosition = 0;
    double m_overallShown = 0;
    std::string m_journeyShown;
    std::atomic<bool> m_jobRunning{false};
    std::optional<InstanceGuard> m_guard;
    std::optional<SystemHold> m_hold;
    std::optional<History> m_history;
    UpdateRun m_run; // last: its worker calls back into the session
};

} // namespace quarvo
