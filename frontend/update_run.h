// The one update run under every front end (the terminal, the Qt window, the Windows dialog). It
// takes the machine-wide single-instance guard, waits for the guard and the device when asked,
// runs the update job on a worker thread with the system held back from sleeping and shutting
// down, owns the stop policy (the device is at risk from the first report on; an interrupt then
// asks for confirmation; anything else stops between reports; a window may force a stop) fed by
// one source of stop requests, and publishes what it knows: a snapshot of the run (step, the whole
// update's progress, status, the bar, bytes, rate, time left, how long the device has been silent,
// the job's end) and the events in order (status texts, boxes, steps, notices).
//
// Front ends render snapshots and events and forward the user's requests; none takes a guard or a
// hold or decides a stop. Every call but the worker's own is made on one front-end thread; the
// observer is woken from any thread, at most once until the front end next takes events.
#pragma once

#include "history.h"
#include "job_end.h"
#include "journey.h"
#include "run_snapshot.h"
#include "stop_policy.h"
#include "time_left.h"

#include "hid/hid_backend.h"
#include "job/flash_job.h"
#include "platform/instance_guard.h"
#include "platform/process_stops.h"
#include "platform/system_hold.h"
#include "progress_model.h"
#include "protocol/output_surface.h"

#include <chrono>
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

// How often a wait for the guard or the device looks again, on the backend's clock; a stop is
// looked at as often.
inline constexpr std::int64_t RUN_WAIT_POLL_US = 100000;
// How long a forced stop waits for the worker to end. The job looks at a stop before every report
// and at least every STOP_CHECK_SLICE_MS of a wait, and a write the device does not take fails
// within the transport's 5 s; the rest is room for a loaded machine.
inline constexpr int JOB_STOP_TIMEOUT_MS = 15000;

// Told from any thread that the run has something new; the front end then takes the events and a
// snapshot on its own thread.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    virtual void runChanged() = 0;
};

struct RunEvent {
    enum class Kind {
        Status,            // text: the status line's new text
        Message,           // text, detail: a box (detail: the job's technical account)
        Step,              // step: the update enters it
        ConfirmationAsked, // an interrupt asks for a second one within CONFIRM_STOP_MS
        Warning,           // text: what could not be held or kept (the update goes on)
        WaitingForGuard,   // another updater holds the guard; waited for up to `waitUs`
        WaitingForDevice,  // the bootloader is waited for up to `waitUs`
        Ended,             // the snapshot's end is set
    };
    Kind kind = Kind::Status;
    std::string text;
    std::string detail;
    StepInfo step;
    std::int64_t waitUs = 0;
    // Status: a command has failed by now, so the job is on its way to its end.
    bool failing = false;
};

struct RunSetup {
    HidBackend& backend;
    // The machine-wide guard the run takes (takeGuard); none: nothing to exclude (the simulator).
    InstanceGuard* guard = nullptr;
    // Held around each job on a real device; none: nothing held.
    SystemHold* hold = nullptr;
    // Where stop requests come from; none: nothing stops a job but forceStop.
    StopSource* stops = nullptr;
    RunObserver* observer = nullptr;
    // Windows: the job's boxes wait on the worker until the front end answers them (answerBox).
    bool boxesWait = false;
    // Where each job's record goes (none: kept nowhere), and who ran it: "quarvo-flash" and its
    // version.
    const History* history = nullptr;
    std::string frontEnd = {};
    std::string version = {};
};

struct JobRequest {
    std::filesystem::path directory;
    // Takes the guard first (the command line; a window takes it once, at start-up).
    bool takeGuard = false;
    // Waits up to this long in all (on the backend's clock) for another updater to give the guard
    // up and for the bootloader to be attached, before the job starts.
    std::optional<std::int64_t> waitUs;
    // Whether the system is held back during the job (not for a simulated device).
    bool holdSystem = true;
    // Called on the worker once both files are loaded, before anything else: a non-empty answer
    // ends the job there, nothing sent, as a refusal (the command line opens its trace here).
    std::function<std::string()> afterLoad;
    // Also told of every status, box and step, on the worker, synchronously; must not block.
    OutputSurface* tap = nullptr;
    // The device is the simulator's (its record says so).
    bool simulated = false;
    // For tests: the job's ways into the loading of the update files.
    LoadHooks loadHooks = {};
};

class UpdateRun final : private OutputSurface {
public:
    explicit UpdateRun(RunSetup setup);
    // A job still running is stopped as forceStop does; a worker that outlives that bound still
    // uses this run and the backend, so the process ends there (std::terminate) rather than hang
    // or let it run on into freed memory.
    ~UpdateRun() override;
    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

    enum class GuardAnswer { Acquired, AlreadyRunning, HeldByOther, Unavailable, Stopped };
    // Takes the guard (harmless when taken; Acquired without one). With `waitUs`, waits that long
    // on the backend's clock while another updater holds it, telling the observer once
    // (WaitingForGuard) and giving up at a stop. `obstacle` says what stands in the way when not
    // Acquired or AlreadyRunning.
    GuardAnswer takeGuard(std::optional<std::int64_t> waitUs, std::string& obstacle);

    enum class DeviceWait { Attached, Expired, Stopped };
    // On the caller's thread: waits until the bootloader is listed, `waitUs` has passed on the
    // backend's clock, or a stop comes (stoppedBy() says which).
    DeviceWait waitForDevice(std::int64_t waitUs);

    // Starts a job on a worker thread unless one runs (false then, and also when no thread could
    // be started: the job has ended at once, its end says why).
    bool start(JobRequest request);
    // Whether a job's worker has started and not yet published its end.
    bool running() const;
    RunSnapshot snapshot() const;
    std::vector<RunEvent> takeEvents();
    // The events not yet taken and the snapshot just after the last of them, taken together, so
    // that the snapshot is never ahead of the events (the worker goes on meanwhile).
    std::vector<RunEvent> takeEvents(RunSnapshot& snapshot);
    // For a front end without a loop of its own: waits until the observer would be told something
    // or timeoutMs have passed.
    void waitForChange(int timeoutMs);

    // The front end has dismissed the job's box (boxesWait): the worker goes on.
    void answerBox();
    // Boxes and ends among the events not yet taken.
    std::size_t pendingBoxesAndEnds() const;
    // Takes the stop requests that came and weighs them; the signal that stopped the run, 0 while
    // none did. Front ends call it while no job runs (the worker does while one does).
    int pollStops();
    int stoppedBy() const;
    // The window must go: a running job stops before its next report (a box it waits for counts as
    // dismissed) and is waited for up to JOB_STOP_TIMEOUT_MS. True when no job runs any more.
    bool forceStop(int signal);

private:
    // OutputSurface, for the job on the worker thread.
    void setStatus(const std::string& text) override;
    void setProgressRange(std::uint32_t maximum) override;
    void setProgressPos(std::uint32_t position) override;
    void showMessage(const std::string& text) override;
    void beginStep(const StepInfo& step) override;
    void beginWait(const WaitInfo& wait) override;

    // Under m_mutex, on the worker: the job has just told something, so the device is not quiet.
    void heard();

    void runJob(const JobRequest& request);
    // The job's record for the history, from what the worker learnt and how the job ended.
    void keepRecord(const JobRequest& request, const CommandContext& ctx, const JobEnd& end);
    // The job itself, from the files to the restart; fills `end`.
    void flash(const JobRequest& request, CommandContext& ctx, JobEnd& end);
    // Before every report the job sends or waits for: marks the device at risk, then weighs the
    // requests. True: stop there.
    bool shouldStop();
    // Under m_mutex: takes and weighs the requests that came.
    void weighRequests();
    // Under m_mutex.
    RunSnapshot snapshotLocked(std::int64_t nowUs) const;
    std::vector<RunEvent> takeEventsLocked();
    void publish(RunEvent event);
    void notify();
    void finish(JobEnd end);

    RunSetup m_setup;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    // Under m_mutex.
    std::deque<RunEvent> m_events;
    RunPhase m_phase = RunPhase::Idle;
    std::string m_status;
    ProgressModel m_bar;
    Journey m_journey;
    mutable TimeLeft m_timeLeft;
    std::int64_t m_writeStartUs = 0; // when the data of the region being written began
    std::int64_t m_heardUs = 0;      // when the job last told anything
    WaitInfo m_wait;
    bool m_failing = false;
    bool m_systemHeld = false;
    std::optional<JobEnd> m_end;
    StopPolicy m_policy;
    bool m_running = false;
    bool m_workerEnded = true;
    bool m_notified = false; // the observer was told and has not taken the events since
    bool m_boxOpen = false;  // the worker waits for answerBox
    bool m_released = false; // a forced stop released the worker from boxes
    // The worker's own while it runs.
    const CommandContext* m_context = nullptr;
    OutputSurface* m_tap = nullptr;
    // For the job's record: when it began, the steps it entered, the files it read.
    std::string m_startedAt;
    std::chrono::steady_clock::time_point m_startedSteady;
    std::vector<std::string> m_stepsEntered;
    std::vector<HistoryRecord::File> m_filesRead;
    bool m_filesChecked = false; // both against a SHA256SUMS beside them
    std::thread m_worker;
};

} // namespace quarvo
