#include "updater_session.h"
#include "window_texts.h"

#include "hid/clock.h"
#include "hid/hid_device.h"
#include "job/flash_job.h"
#include "protocol/device_ids.h"
#include "protocol/texts.h"

#include <chrono>
#include <exception>
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

void UpdaterSession::showOwnBox(const std::string& text)
{
    if (text.empty())
        return;
    m_boxOpen = true;
    m_view.showMessageBox(text);
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

bool UpdaterSession::requestClose()
{
    if (!m_jobRunning.load())
        return true;
    if (!m_boxOpen)
        showOwnBox(windowtext::UPDATE_RUNNING);
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
    m_view.jobStarted();
    try {
        m_worker = std::thread([this] {
            CommandContext ctx{m_backend, *this};
            ctx.stopRequested = [this] { return m_stopRequested.load(); };
            runFlashJob(ctx, m_directory);
            // What the job learnt of the device is where the re-checks start from.
            m_jobPresence = Presence::Present;
            if (ctx.openFailure == HidDevice::OpenState::NotFound)
                m_jobPresence = Presence::Absent;
            if (ctx.openFailure == HidDevice::OpenState::Refused) {
                m_jobPresence = Presence::Refused;
                onWindowThread([this] { showOwnBox(m_accessHelp); });
            }
            onWindowThread([this] { finishJob(); }, false);
            {
                const std::lock_guard lock(m_callsMutex);
                m_workerEnded = true;
            }
            m_callsChanged.notify_all();
        });
    } catch (const std::system_error&) {
        // No thread, no job: the press has no effect.
        {
            const std::lock_guard lock(m_callsMutex);
            m_workerEnded = true;
        }
        m_jobRunning = false;
        m_view.jobEnded();
        return false;
    }
    return true;
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
    }
    finishJob();
    return true;
}

bool UpdaterSession::stopWorker()
{
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
    m_view.jobEnded();
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
            if (m_calls.empty())
                return;
            call = std::move(m_calls.front());
            m_calls.pop_front();
        }
        call();
    }
}

std::size_t UpdaterSession::pendingCalls() const
{
    const std::lock_guard lock(m_callsMutex);
    return m_calls.size();
}

void UpdaterSession::setStatus(const std::string& text)
{
    // The text is copied: a stop may release the worker while the call still runs.
    onWindowThread([this, text] { m_view.showStatus(text); });
}

void UpdaterSession::setProgressRange(std::uint32_t maximum)
{
    onWindowThread([this, maximum] {
        m_bar.setRange(maximum);
        m_view.showProgress(m_bar.maximum(), m_bar.shown());
    });
}

void UpdaterSession::setProgressPos(std::uint32_t position)
{
    onWindowThread([this, position] {
        m_bar.setPos(position);
        m_view.showProgress(m_bar.maximum(), m_bar.shown());
    });
}

void UpdaterSession::showMessage(const std::string& text)
{
    onWindowThread([this, text] { m_view.showMessageBox(text); });
}

} // namespace quarvo
