#include "updater_session.h"
#include "window_texts.h"

#include "hid/hid_device.h"
#include "job/flash_job.h"
#include "protocol/device_ids.h"
#include "protocol/texts.h"

#include <future>
#include <system_error>

namespace quarvo {

UpdaterSession::UpdaterSession(HidBackend& backend, std::filesystem::path directory,
                               WindowView& view)
    : m_backend(backend), m_directory(std::move(directory)), m_view(view),
      m_windowThread(std::this_thread::get_id())
{
}

UpdaterSession::~UpdaterSession()
{
    if (m_worker.joinable())
        m_worker.join();
}

void UpdaterSession::checkDevice()
{
    // Nothing is sent; the device is closed again at once.
    HidDevice probe(m_backend);
    const bool present = probe.open(VENDOR_ID, PRODUCT_ID) == 1;
    probe.close();
    m_view.showStatus(present ? windowtext::CONNECT_OK : text::CONNECT_FAILED);
}

bool UpdaterSession::startUpdate()
{
    if (m_jobRunning.load())
        return true;
    if (m_worker.joinable())
        m_worker.join();
    m_jobRunning = true;
    m_view.setUpdateEnabled(false);
    try {
        m_worker = std::thread([this] {
            CommandContext ctx{m_backend, *this};
            runFlashJob(ctx, m_directory);
            onWindowThread([this] { finishJob(); }, false);
        });
    } catch (const std::system_error&) {
        // No thread, no job: the press has no effect.
        m_jobRunning = false;
        m_view.setUpdateEnabled(true);
        return false;
    }
    return true;
}

void UpdaterSession::finishJob()
{
    if (m_worker.joinable())
        m_worker.join();
    m_jobRunning = false;
    m_view.setUpdateEnabled(true);
    m_view.jobEnded();
}

// The hand-over is plain standard-library synchronisation (a queue under a mutex, a future for
// the answer), so that ThreadSanitizer sees it as it is; the window system only wakes its thread.
void UpdaterSession::onWindowThread(std::function<void()> action, bool wait)
{
    if (std::this_thread::get_id() == m_windowThread) {
        action();
        return;
    }
    std::promise<void> done;
    std::future<void> carriedOut = done.get_future();
    {
        const std::lock_guard lock(m_callsMutex);
        if (wait) {
            m_calls.push_back([&action, &done] {
                action();
                done.set_value();
            });
        } else {
            m_calls.push_back(std::move(action));
        }
    }
    m_view.wakeWindowThread();
    if (wait)
        carriedOut.wait();
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
    onWindowThread([this, &text] { m_view.showStatus(text); });
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
    onWindowThread([this, &text] { m_view.showMessageBox(text); });
}

} // namespace quarvo
