#include "update_run.h"

#include "hid/clock.h"
#include "hid/text_encoding.h"
#include "protocol/device_ids.h"
#include "protocol/texts.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <new>
#include <system_error>
#include <utility>

namespace quarvo {
namespace {

// The bytes a page of programming carries: the bar counts pages while data is written.
constexpr std::uint64_t BYTES_PER_PAGE = PAGE_SIZE;
// The rate is shown once a region's data has gone for this long: before that it says little.
constexpr std::int64_t RATE_AFTER_US = 200000;

bool writesData(const std::optional<StepInfo>& step)
{
    return step && (step->step == UpdateStep::CodeWrite || step->step == UpdateStep::DatabaseWrite);
}

} // namespace

UpdateRun::UpdateRun(RunSetup setup) : m_setup(setup) {}

UpdateRun::~UpdateRun()
{
    if (!forceStop(terminateSignal()))
        std::terminate();
}

UpdateRun::GuardAnswer UpdateRun::takeGuard(std::optional<std::int64_t> waitUs,
                                            std::string& obstacle)
{
    if (!m_setup.guard)
        return GuardAnswer::Acquired;
    Clock& clock = m_setup.backend.clock();
    const std::int64_t deadlineUs = clock.nowUs() + waitUs.value_or(0);
    bool told = false;
    for (;;) {
        // Held by another updater, or by a program that is no updater: either may let go.
        GuardAnswer held = GuardAnswer::AlreadyRunning;
        switch (m_setup.guard->acquire()) {
        case InstanceGuard::Result::Acquired:
            return GuardAnswer::Acquired;
        case InstanceGuard::Result::AlreadyRunning:
            break;
        case InstanceGuard::Result::HeldByOther:
            held = GuardAnswer::HeldByOther;
            obstacle = m_setup.guard->obstacle();
            break;
        case InstanceGuard::Result::Unavailable:
            obstacle = m_setup.guard->obstacle();
            return GuardAnswer::Unavailable;
        }
        const std::int64_t now = clock.nowUs();
        if (!waitUs || now >= deadlineUs)
            return held;
        if (!told) {
            told = true;
            RunEvent event;
            event.kind = RunEvent::Kind::WaitingForGuard;
            event.waitUs = deadlineUs - now;
            publish(std::move(event));
        }
        if (pollStops() != 0)
            return GuardAnswer::Stopped;
        clock.sleepUntilUs(std::min(now + RUN_WAIT_POLL_US, deadlineUs));
    }
}

UpdateRun::DeviceWait UpdateRun::waitForDevice(std::int64_t waitUs)
{
    Clock& clock = m_setup.backend.clock();
    const std::int64_t deadlineUs = clock.nowUs() + waitUs;
    RunEvent event;
    event.kind = RunEvent::Kind::WaitingForDevice;
    event.waitUs = waitUs;
    publish(std::move(event));
    for (;;) {
        for (const HidDeviceInfo& info : m_setup.backend.enumerate(VENDOR_ID, PRODUCT_ID))
            if (info.vendorId == VENDOR_ID && info.productId == PRODUCT_ID)
                return DeviceWait::Attached;
        if (pollStops() != 0)
            return DeviceWait::Stopped;
        const std::int64_t now = clock.nowUs();
        if (now >= deadlineUs)
            return DeviceWait::Expired;
        clock.sleepUntilUs(std::min(now + RUN_WAIT_POLL_US, deadlineUs));
    }
}

bool UpdateRun::start(JobRequest request)
{
    if (running())
        return false;
    if (m_worker.joinable())
        m_worker.join();
    {
        const std::lock_guard lock(m_mutex);
        m_phase = RunPhase::Loading;
        m_status.clear();
        m_bar = {};
        const std::int64_t now = m_setup.backend.clock().nowUs();
        m_journey.begin(now);
        m_timeLeft.begin(now);
        m_heardUs = now;
        m_wait = {};
        m_failing = false;
        m_writeStartUs = 0;
        m_end.reset();
        m_policy = {};
        m_boxOpen = false;
        m_released = false;
        m_running = true;
        m_workerEnded = false;
    }
    try {
        m_worker = std::thread([this, request = std::move(request)] { runJob(request); });
    } catch (const std::system_error& error) {
        JobEnd end;
        end.outcome = JobOutcome::DeviceFailed;
        end.internalError = std::string("cannot start the update's thread: ") + error.what();
        finish(std::move(end));
        return false;
    }
    return true;
}

bool UpdateRun::running() const
{
    const std::lock_guard lock(m_mutex);
    return m_running;
}

RunSnapshot UpdateRun::snapshot() const
{
    const std::int64_t now = m_setup.backend.clock().nowUs();
    const std::lock_guard lock(m_mutex);
    return snapshotLocked(now);
}

RunSnapshot UpdateRun::snapshotLocked(std::int64_t now) const
{
    RunSnapshot snap;
    snap.phase = m_phase;
    snap.nowUs = now;
    snap.status = m_status;
    snap.step = m_journey.stepInfo();
    snap.overall = m_journey.overall();
    snap.barMaximum = m_bar.maximum();
    snap.barPosition = m_bar.shown();
    snap.systemHeld = m_systemHeld;
    snap.failing = m_failing;
    snap.end = m_end;
    if (!m_running)
        return snap;
    snap.quietUs = std::max<std::int64_t>(0, now - m_heardUs);
    snap.stalledUs = std::max<std::int64_t>(0, now - m_journey.movedUs());
    snap.waitUntilUs = m_wait.untilUs;
    snap.wholeWaitUntilUs = m_wait.wholeUntilUs;
    snap.timeLeftUs = m_timeLeft.leftUs(now);
    if (writesData(snap.step) && snap.barMaximum > 0) {
        snap.bytesDone = snap.barPosition * BYTES_PER_PAGE;
        snap.bytesTotal = snap.barMaximum * BYTES_PER_PAGE;
        const std::int64_t elapsedUs = now - m_writeStartUs;
        if (snap.bytesDone > 0 && elapsedUs > RATE_AFTER_US)
            snap.bytesPerSecond =
                static_cast<double>(snap.bytesDone) * 1e6 / static_cast<double>(elapsedUs);
    }
    return snap;
}

std::vector<RunEvent> UpdateRun::takeEvents(RunSnapshot& snapshot)
{
    const std::int64_t now = m_setup.backend.clock().nowUs();
    const std::lock_guard lock(m_mutex);
    snapshot = snapshotLocked(now);
    return takeEventsLocked();
}

std::vector<RunEvent> UpdateRun::takeEvents()
{
    const std::lock_guard lock(m_mutex);
    return takeEventsLocked();
}

std::vector<RunEvent> UpdateRun::takeEventsLocked()
{
    m_notified = false;
    std::vector<RunEvent> events(std::make_move_iterator(m_events.begin()),
                                 std::make_move_iterator(m_events.end()));
    m_events.clear();
    return events;
}

void UpdateRun::waitForChange(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_notified; });
}

std::size_t UpdateRun::pendingBoxesAndEnds() const
{
    const std::lock_guard lock(m_mutex);
    return static_cast<std::size_t>(
        std::count_if(m_events.begin(), m_events.end(), [](const auto& e) {
            return e.kind == RunEvent::Kind::Message || e.kind == RunEvent::Kind::Ended;
        }));
}

void UpdateRun::answerBox()
{
    {
        const std::lock_guard lock(m_mutex);
        m_boxOpen = false;
    }
    m_changed.notify_all();
}

int UpdateRun::pollStops()
{
    int stopped = 0;
    bool asked = false;
    {
        const std::lock_guard lock(m_mutex);
        const std::size_t before = m_events.size();
        weighRequests();
        asked = m_events.size() != before;
        stopped = m_policy.stoppedBy();
    }
    if (asked)
        notify();
    return stopped;
}

int UpdateRun::stoppedBy() const
{
    const std::lock_guard lock(m_mutex);
    return m_policy.stoppedBy();
}

bool UpdateRun::forceStop(int signal)
{
    std::unique_lock lock(m_mutex);
    if (m_running) {
        m_policy.force(signal);
        m_released = true;
        m_changed.notify_all();
        if (!m_changed.wait_for(lock, std::chrono::milliseconds(JOB_STOP_TIMEOUT_MS),
                                [this] { return m_workerEnded; }))
            return false;
    }
    lock.unlock();
    if (m_worker.joinable())
        m_worker.join();
    return true;
}

void UpdateRun::weighRequests()
{
    if (!m_setup.stops)
        return;
    for (const StopRequest& request : m_setup.stops->take()) {
        if (m_policy.weigh(request) == StopPolicy::Verdict::AskConfirmation) {
            RunEvent event;
            event.kind = RunEvent::Kind::ConfirmationAsked;
            m_events.push_back(std::move(event));
        }
    }
}

bool UpdateRun::shouldStop()
{
    bool stop = false;
    bool asked = false;
    {
        const std::lock_guard lock(m_mutex);
        // Until the first report goes out nothing is at risk; marking it now, before the requests
        // are weighed, leaves no moment in which a request is weighed by the wrong rules: one that
        // came before now stops at once, one that comes from now on is weighed as the device's.
        // The job also asks while it waits for its files to settle, when nothing is at risk yet.
        if (!m_policy.atRisk() && m_phase == RunPhase::Flashing)
            m_policy.setAtRisk(true, monotonicMs());
        const std::size_t before = m_events.size();
        weighRequests();
        asked = m_events.size() != before;
        stop = m_policy.stoppedBy() != 0;
    }
    if (asked)
        notify();
    return stop;
}

void UpdateRun::publish(RunEvent event)
{
    {
        const std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    notify();
}

void UpdateRun::notify()
{
    bool tell = false;
    {
        const std::lock_guard lock(m_mutex);
        tell = !std::exchange(m_notified, true);
    }
    if (!tell)
        return;
    m_changed.notify_all();
    if (m_setup.observer)
        m_setup.observer->runChanged();
}

void UpdateRun::runJob(const JobRequest& request)
{
    // Signals go to the front end's thread: none interrupts the device's transfers here.
    blockStopSignals();
    JobEnd end;
    end.outcome = JobOutcome::DeviceFailed;
    CommandContext ctx{m_setup.backend, *this};
    ctx.stopRequested = [this] { return shouldStop(); };
    m_context = &ctx;
    m_tap = request.tap;
    m_startedAt = utcTimestamp();
    m_startedSteady = std::chrono::steady_clock::now();
    m_stepsEntered.clear();
    m_filesRead.clear();
    m_filesChecked = false;
    try {
        flash(request, ctx, end);
    } catch (const std::bad_alloc&) {
        end.outcome = JobOutcome::OutOfMemory;
        end.detail = ctx.device.reached ? "out of memory while the device was being written"
                                        : "out of memory before anything was sent";
    } catch (const std::exception& error) {
        end.outcome = JobOutcome::DeviceFailed;
        end.internalError = error.what();
    } catch (...) {
        end.outcome = JobOutcome::DeviceFailed;
        end.internalError = "an unknown exception";
    }
    m_context = nullptr;
    m_tap = nullptr;
    end.device = ctx.device;
    end.openFailure = ctx.openFailure;
    if (end.detail.empty())
        end.detail = std::move(ctx.detail);
    try {
        keepRecord(request, ctx, end);
    } catch (const std::bad_alloc&) {
        // No memory for the record: the end must still be told.
    }
    finish(std::move(end));
}

void UpdateRun::flash(const JobRequest& request, CommandContext& ctx, JobEnd& end)
{
    Clock& clock = m_setup.backend.clock();
    const std::int64_t waitEndUs = clock.nowUs() + request.waitUs.value_or(0);
    if (request.takeGuard) {
        std::string obstacle;
        switch (takeGuard(request.waitUs, obstacle)) {
        case GuardAnswer::Acquired:
            break;
        case GuardAnswer::AlreadyRunning:
            end.guardRefusal = GuardRefusal::AlreadyRunning;
            return;
        case GuardAnswer::HeldByOther:
            end.guardRefusal = GuardRefusal::HeldByOther;
            end.detail = obstacle;
            return;
        case GuardAnswer::Unavailable:
            end.guardRefusal = GuardRefusal::Unavailable;
            end.detail = obstacle;
            return;
        case GuardAnswer::Stopped:
            return;
        }
    }
    UpdateFiles files;
    end.outcome = loadUpdateFiles(ctx, request.directory, files, request.loadHooks);
    for (const LoadedFile* file : {&files.code, &files.database})
        if (!file->path.empty())
            m_filesRead.push_back({file->path.filename().string(), file->size, file->sha256});
    m_filesChecked = files.code.checked && files.database.checked;
    if (end.outcome != JobOutcome::Success)
        return;
    end.outcome = JobOutcome::DeviceFailed;
    if (request.afterLoad) {
        end.refusal = request.afterLoad();
        if (!end.refusal.empty()) {
            end.outcome = JobOutcome::InputRefused;
            return;
        }
    }
    if (request.waitUs) {
        {
            const std::lock_guard lock(m_mutex);
            m_phase = RunPhase::WaitingForDevice;
        }
        switch (waitForDevice(std::max<std::int64_t>(0, waitEndUs - clock.nowUs()))) {
        case DeviceWait::Attached:
            break;
        case DeviceWait::Expired:
            setStatus(text::CONNECT_FAILED);
            end.deviceWaitExpired = true;
            return;
        case DeviceWait::Stopped:
            return;
        }
    }
    {
        const std::lock_guard lock(m_mutex);
        m_phase = RunPhase::Flashing;
    }
    // The system is given back whatever way the job leaves.
    struct HoldRelease {
        UpdateRun& run;
        SystemHold* hold = nullptr;
        ~HoldRelease()
        {
            if (!hold)
                return;
            hold->release();
            const std::lock_guard lock(run.m_mutex);
            run.m_systemHeld = false;
        }
    } release{*this};
    if (request.holdSystem && m_setup.hold) {
        release.hold = m_setup.hold;
        // A stop while logind is asked ends the asking at once; the job then stops before its
        // first report.
        const std::string warning = m_setup.hold->take([this] { return pollStops() != 0; });
        {
            const std::lock_guard lock(m_mutex);
            m_systemHeld = m_setup.hold->held();
        }
        if (!warning.empty()) {
            RunEvent event;
            event.kind = RunEvent::Kind::Warning;
            event.text = warning;
            publish(std::move(event));
        }
    }
    end.outcome = flashUpdate(ctx, files);
}

void UpdateRun::keepRecord(const JobRequest& request, const CommandContext& ctx, const JobEnd& end)
{
    // An update that never began (the guard refused it, the front end refused to go on) leaves
    // no record.
    if (!m_setup.history || end.guardRefusal != GuardRefusal::None || !end.refusal.empty())
        return;
    HistoryRecord record;
    record.time = m_startedAt;
    record.frontEnd = m_setup.frontEnd;
    record.version = m_setup.version;
    record.simulated = request.simulated;
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::absolute(request.directory, error);
    record.folder = printable(utf8FromPath(error ? request.directory : folder));
    record.files = m_filesRead;
    record.checked = m_filesChecked ? "SHA256SUMS" : "unchecked";
    if (ctx.opened) {
        record.devicePath = printable(ctx.opened->path);
        record.deviceProduct = printable(ctx.opened->product);
        record.deviceSerial = printable(ctx.opened->serial);
    }
    record.steps = m_stepsEntered;
    record.device = end.device;
    int stop = 0;
    if (end.outcome != JobOutcome::Success) {
        const std::lock_guard lock(m_mutex);
        stop = m_policy.stoppedBy();
    }
    record.outcome = !end.internalError.empty() ? "internal error" : outcomeName(end.outcome);
    if (stop != 0)
        record.stoppedBy = signalName(stop);
    record.detail = !end.internalError.empty() ? end.internalError : end.detail;
    record.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - m_startedSteady)
                            .count();
    std::string why;
    if (!m_setup.history->append(record, why)) {
        RunEvent event;
        event.kind = RunEvent::Kind::Warning;
        event.text = printable(utf8FromPath(m_setup.history->file())) + ": " + why;
        publish(std::move(event));
    }
}

void UpdateRun::finish(JobEnd end)
{
    {
        const std::lock_guard lock(m_mutex);
        // A stop that came while a failure was ending the job still counts; after a success none
        // does (the device works).
        weighRequests();
        end.stoppedBy = end.outcome == JobOutcome::Success ? 0 : m_policy.stoppedBy();
        end.lastStatus = m_status;
        end.step = m_journey.step();
        if (end.outcome == JobOutcome::Success)
            m_journey.complete();
        m_policy.setAtRisk(false, monotonicMs());
        m_end = std::move(end);
        m_phase = RunPhase::Ended;
        m_running = false;
        m_workerEnded = true;
        RunEvent event;
        event.kind = RunEvent::Kind::Ended;
        m_events.push_back(std::move(event));
    }
    m_changed.notify_all();
    notify();
}

void UpdateRun::heard() { m_heardUs = m_setup.backend.clock().nowUs(); }

void UpdateRun::setStatus(const std::string& text)
{
    {
        const std::lock_guard lock(m_mutex);
        heard();
        m_status = text;
        // A command that fails says why in the context before it shows its text.
        if (m_context && !m_context->detail.empty())
            m_failing = true;
        RunEvent event;
        event.kind = RunEvent::Kind::Status;
        event.text = text;
        event.failing = m_failing;
        m_events.push_back(std::move(event));
    }
    if (m_tap)
        m_tap->setStatus(text);
    notify();
}

void UpdateRun::setProgressRange(std::uint32_t maximum)
{
    {
        const std::lock_guard lock(m_mutex);
        const std::int64_t now = m_setup.backend.clock().nowUs();
        heard();
        m_bar.setRange(maximum);
        m_writeStartUs = now;
        m_journey.progress(m_bar.maximum(), m_bar.shown(), now);
        m_timeLeft.progress(m_bar.maximum(), m_bar.shown(), now);
    }
    if (m_tap)
        m_tap->setProgressRange(maximum);
    notify();
}

void UpdateRun::setProgressPos(std::uint32_t position)
{
    {
        const std::lock_guard lock(m_mutex);
        const std::int64_t now = m_setup.backend.clock().nowUs();
        heard();
        m_bar.setPos(position);
        m_journey.progress(m_bar.maximum(), m_bar.shown(), now);
        m_timeLeft.progress(m_bar.maximum(), m_bar.shown(), now);
    }
    if (m_tap)
        m_tap->setProgressPos(position);
    notify();
}

void UpdateRun::showMessage(const std::string& text)
{
    {
        const std::lock_guard lock(m_mutex);
        RunEvent event;
        event.kind = RunEvent::Kind::Message;
        event.text = text;
        if (m_context)
            event.detail = m_context->detail;
        m_events.push_back(std::move(event));
        m_boxOpen = m_setup.boxesWait;
    }
    if (m_tap)
        m_tap->showMessage(text);
    notify();
    // As long as the user takes to dismiss it, unless a forced stop releases the worker first.
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_boxOpen || m_released; });
}

void UpdateRun::beginWait(const WaitInfo& wait)
{
    {
        const std::lock_guard lock(m_mutex);
        heard();
        m_wait = wait;
    }
    if (m_tap)
        m_tap->beginWait(wait);
}

void UpdateRun::beginStep(const StepInfo& step)
{
    {
        const std::lock_guard lock(m_mutex);
        const std::int64_t now = m_setup.backend.clock().nowUs();
        heard();
        m_journey.enterStep(step, now);
        m_timeLeft.enterStep(step, now);
        m_stepsEntered.emplace_back(step.label());
        RunEvent event;
        event.kind = RunEvent::Kind::Step;
        event.step = step;
        m_events.push_back(std::move(event));
    }
    if (m_tap)
        m_tap->beginStep(step);
    notify();
}

} // namespace quarvo
