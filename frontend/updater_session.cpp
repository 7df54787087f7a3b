#include "updater_session.h"
#include "window_texts.h"

#include "hid/clock.h"
#include "hid/hid_device.h"
#include "hid/text_encoding.h"
#include "job/flash_job.h"
#include "protocol/device_ids.h"
#include "protocol/texts.h"

#include <chrono>
#include <exception>
#include <utility>
#include <memory>
#include <system_error>

namespace quarvo {

UpdaterSession::UpdaterSession(HidBackend& backend, std::filesystem::path directory,
                               WindowView& view, std::string accessHelp)
    : m_backend(backend), m_directory(std::move(directory)), m_view(view),
      m_accessHelp(std::move(accessHelp)), m_windowThread(std::this_thread::get_id())
{
}

UpdaterSession::~UpdaterSession()
{
    if (!stopWorker())
        std::terminate();
}

UpdaterSession::Presence UpdaterSession::probe()
{
    // Nothing is sent; the device is closed again at once.
    HidDevice device(m_backend);
    const bool opened = device.open(VENDOR_ID, PRODUCT_ID) == 1;
    device.close();
    if (opened)
        return Presence::Present;
    return device.openState() == HidDevice::OpenState::Refused ? Presence::Refused
                                                               : Presence::Absent;
}

void UpdaterSession::showPresence(Presence presence)
{
    m_statusFromJob = false;
    m_view.showStatus(presence == Presence::Present ? windowtext::CONNECT_OK
                                                    : text::CONNECT_FAILED);
    if (presence == Presence::Refused)
        showOwnBox(m_accessHelp);
}

void UpdaterSession::showOwnBox(const std::string& text, const std::string& detail)
{
    if (text.empty())
        return;
    m_boxOpen = true;
    m_view.showMessageBox(text, detail);
    m_boxOpen = false;
}

void UpdaterSession::checkDevice()
{
    m_lastCheckUs = m_backend.clock().nowUs();
    m_presence = probe();
    showPresence(*m_presence);
}

void UpdaterSession::recheckDevice()
{
    if (m_jobRunning.load() || m_boxOpen)
        return;
    const std::int64_t now = m_backend.clock().nowUs();
    if (now - m_lastCheckUs < DEVICE_RECHECK_INTERVAL_US)
        return;
    m_lastCheckUs = now;
    const Presence presence = probe();
    const Presence before = m_presence.value_or(presence);
    m_presence = presence;
    if (presence == before)
        return;
    // A job's result stays on screen until a device is attached again or becomes usable (as
    // when its permissions are mended): not when it leaves, as a restarted device does.
    if (m_statusFromJob && before != Presence::Absent && presence != Presence::Present)
        return;
    showPresence(presence);
}

void UpdaterSession::tick()
{
    if (!m_jobRunning.load()) {
        recheckDevice();
        return;
    }
    showLatest();
    showJourneyLine(m_journey.line(m_backend.clock().nowUs()));
}

bool UpdaterSession::requestClose()
{
    if (!m_jobRunning.load())
        return true;
    if (!m_boxOpen) {
        // The job's end closes this box (finishJob), leaving the window with the result.
        m_closeRefusalOpen = true;
        showOwnBox(windowtext::UPDATE_RUNNING);
        m_closeRefusalOpen = false;
    }
    return false;
}

bool UpdaterSession::startUpdate()
{
    if (m_jobRunning.load())
        return true;
    if (m_worker.joinable())
        m_worker.join();
    m_jobRunning = true;
    m_stopRequested = false;
    {
        const std::lock_guard lock(m_callsMutex);
        m_workerEnded = false;
    }
    {
        const std::lock_guard lock(m_callsMutex);
        m_latest = {};
        m_workerBar = {};
        m_wakePending = false;
    }
    m_workerStep.reset();
    m_bar = {};
    m_journey.begin(m_backend.clock().nowUs());
    m_view.jobStarted();
    m_view.showProgress(m_bar.maximum(), m_bar.shown());
    showJourneyLine(m_journey.line(m_backend.clock().nowUs()));
    try {
        m_worker = std::thread([this] { runJob(); });
    } catch (const std::system_error&) {
        // No thread, no job: the press has no effect.
        {
            const std::lock_guard lock(m_callsMutex);
            m_workerEnded = true;
        }
        m_jobRunning = false;
        m_jobEnd = {JobOutcome::DeviceFailed, std::nullopt, false};
        showJourneyLine(endLine(m_jobEnd));
        m_view.jobEnded(m_jobEnd);
        return false;
    }
    return true;
}

void UpdaterSession::runJob()
{
    JobEnd end{JobOutcome::DeviceFailed, std::nullopt, false};
    // Whatever the job throws (a fault of ours, memory running out) ends it as a failure that the
    // user is told of: the process and the window live on.
    std::string crash;
    CommandContext ctx{m_backend, *this};
    ctx.stopRequested = [this] { return m_stopRequested.load(); };
    m_jobContext = &ctx;
    try {
        end.outcome = runFlashJob(ctx, m_directory);
    } catch (const std::exception& error) {
        crash = error.what();
    } catch (...) {
        crash = "an unknown exception";
    }
    m_jobContext = nullptr;
    end.step = m_workerStep;
    end.reportSent = ctx.reportSent;
    // What the job learnt of the device is where the re-checks start from.
    m_jobPresence = Presence::Present;
    if (ctx.openFailure == HidDevice::OpenState::NotFound)
        m_jobPresence = Presence::Absent;
    try {
        if (!crash.empty())
            onWindowThread([this, crash] { showOwnBox(windowtext::JOB_CRASHED, crash); });
        if (ctx.openFailure == HidDevice::OpenState::Refused) {
            m_jobPresence = Presence::Refused;
            onWindowThread([this] { showOwnBox(m_accessHelp); });
        }
        m_jobEnd = end;
        onWindowThread([this] { finishJob(); }, false);
    } catch (...) {
        // No memory left to tell the window: the worker still ends, and a stop or the session's
        // end finds it ended.
    }
    {
        const std::lock_guard lock(m_callsMutex);
        m_workerEnded = true;
    }
    m_callsChanged.notify_all();
}

bool UpdaterSession::stopJob()
{
    if (!m_jobRunning.load())
        return true;
    if (!stopWorker())
        return false;
    {
        const std::lock_guard lock(m_callsMutex);
        m_handOverReleased = false;
        m_latest = {};
        m_wakePending = false;
    }
    finishJob();
    return true;
}

bool UpdaterSession::stopWorker()
{
    ++m_stopsMade;
    m_stopRequested = true;
    std::unique_lock lock(m_callsMutex);
    m_handOverReleased = true;
    m_calls.clear();
    m_callsChanged.notify_all();
    if (!m_worker.joinable())
        return true;
    if (!m_callsChanged.wait_for(lock, std::chrono::milliseconds(JOB_STOP_TIMEOUT_MS),
                                 [this] { return m_workerEnded; }))
        return false;
    lock.unlock();
    m_worker.join();
    return true;
}

void UpdaterSession::finishJob()
{
    if (m_worker.joinable())
        m_worker.join();
    m_jobRunning = false;
    m_presence = m_jobPresence;
    m_lastCheckUs = m_backend.clock().nowUs();
    m_statusFromJob = true;
    showJourneyLine(endLine(m_jobEnd));
    m_view.jobEnded(m_jobEnd);
    if (m_closeRefusalOpen)
        m_view.closeMessageBox();
}

// The hand-over is plain standard-library synchronisation (a queue under a mutex, a condition for
// the answer), so that ThreadSanitizer sees it as it is; the window system only wakes its thread.
// A waited call shares its "carried out" flag with the queue, so that a call still running when
// a stop released its worker finishes on state of its own.
void UpdaterSession::onWindowThread(std::function<void()> action, bool wait)
{
    if (std::this_thread::get_id() == m_windowThread) {
        action();
        return;
    }
    auto carriedOut = std::make_shared<bool>(false);
    {
        const std::lock_guard lock(m_callsMutex);
        if (m_handOverReleased)
            return;
        if (wait) {
            m_calls.push_back([this, action = std::move(action), carriedOut] {
                action();
                {
                    const std::lock_guard doneLock(m_callsMutex);
                    *carriedOut = true;
                }
                m_callsChanged.notify_all();
            });
        } else {
            m_calls.push_back(std::move(action));
        }
    }
    m_view.wakeWindowThread();
    if (!wait)
        return;
    // As long as the window's thread takes (a message box waits for the user), unless a stop
    // releases it first.
    std::unique_lock lock(m_callsMutex);
    m_callsChanged.wait(lock, [this, &carriedOut] { return *carriedOut || m_handOverReleased; });
}

void UpdaterSession::runPendingCalls()
{
    for (;;) {
        std::function<void()> call;
        {
            const std::lock_guard lock(m_callsMutex);
            if (!m_calls.empty()) {
                call = std::move(m_calls.front());
                m_calls.pop_front();
            }
        }
        // What the worker showed before it handed the call over comes first: it is all in the
        // latest values once the call has been taken from the queue. A stop made meanwhile (the
        // view may stop the job from what it is shown) has dropped the calls, this one too.
        const unsigned stops = m_stopsMade;
        showLatest();
        if (!call)
            return;
        if (stops == m_stopsMade)
            call();
    }
}

std::size_t UpdaterSession::pendingCalls() const
{
    const std::lock_guard lock(m_callsMutex);
    return m_calls.size();
}

void UpdaterSession::changeLatest(const std::function<void(Latest&)>& change)
{
    const std::int64_t now = m_backend.clock().nowUs();
    bool wake = false;
    {
        const std::lock_guard lock(m_callsMutex);
        if (m_handOverReleased)
            return;
        change(m_latest);
        m_latest.heardUs = now;
        m_latest.heard = true;
        wake = !std::exchange(m_wakePending, true);
    }
    if (wake)
        m_view.wakeWindowThread();
}

void UpdaterSession::showLatest()
{
    Latest latest;
    ProgressModel bar;
    {
        const std::lock_guard lock(m_callsMutex);
        m_wakePending = false;
        if (!m_latest.heard)
            return;
        latest = std::exchange(m_latest, {});
        bar = m_workerBar;
    }
    for (const StepInfo& step : latest.steps) {
        m_journey.enterStep(step, latest.heardUs);
        showJourneyLine(m_journey.line(latest.heardUs));
    }
    if (latest.status)
        m_view.showStatus(*latest.status);
    if (latest.barChanged) {
        m_bar = bar;
        m_view.showProgress(m_bar.maximum(), m_bar.shown());
        m_journey.progress(m_bar.maximum(), m_bar.shown(), latest.heardUs);
    }
    showJourneyLine(m_journey.line(m_backend.clock().nowUs()));
}

void UpdaterSession::showJourneyLine(const JourneyLine& line)
{
    // The line is redrawn only when it reads differently (or changes its tone).
    const std::string key = line.text + char('0' + static_cast<int>(line.tone)) +
                            std::to_string(static_cast<int>(line.overall * 1000));
    if (key == m_journeyShown)
        return;
    m_journeyShown = key;
    m_view.showJourney(line);
}

void UpdaterSession::setStatus(const std::string& text)
{
    changeLatest([&text](Latest& latest) { latest.status = text; });
}

void UpdaterSession::setProgressRange(std::uint32_t maximum)
{
    changeLatest([this, maximum](Latest& latest) {
        m_workerBar.setRange(maximum);
        latest.barChanged = true;
    });
}

void UpdaterSession::setProgressPos(std::uint32_t position)
{
    changeLatest([this, position](Latest& latest) {
        m_workerBar.setPos(position);
        latest.barChanged = true;
    });
}

void UpdaterSession::beginStep(const StepInfo& step)
{
    m_workerStep = step.step;
    changeLatest([&step](Latest& latest) { latest.steps.push_back(step); });
}

void UpdaterSession::showMessage(const std::string& text)
{
    // The job's boxes are about its update files: their detail says where they were looked for,
    // and why this one was refused.
    std::string detail = windowtext::FILES_FOLDER;
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::absolute(m_directory, error);
    // Built by appending: GCC 12 warns wrongly (-Wrestrict) about operator+ on a literal.
    detail.append("\n").append(printable(utf8FromPath(error ? m_directory : folder)));
    if (m_jobContext && !m_jobContext->detail.empty())
        detail.append("\n(").append(m_jobContext->detail).append(")");
    onWindowThread([this, text, detail] { m_view.showMessageBox(text, detail); });
}

} // namespace quarvo
