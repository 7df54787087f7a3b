// The updater's only window: picture, progress bar, status line, the update and cancel buttons.
// It guards against a second instance, probes for the device once at start-up, runs one update
// job at a time on a worker thread and is the job's output surface. Widgets are touched only on
// the window's thread; the worker reaches them through blocking calls carried out there.
#pragma once

#include "platform/instance_guard.h"

#include "hid/hid_backend.h"
#include "frontend/progress_model.h"
#include "protocol/output_surface.h"

#include <QDialog>
#include <QIcon>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <filesystem>
#include <thread>

class QLabel;
class QProgressBar;
class QPushButton;

namespace quarvo {

class UpdaterDialog final : public QDialog, public OutputSurface {
    Q_OBJECT
public:
    // The job reads its files from `directory`; `instanceName` names the single-instance guard,
    // whose lock file (outside Windows) lives in `lockDirectory` (empty: the default).
    UpdaterDialog(HidBackend& backend, std::filesystem::path directory, std::string instanceName,
                  std::string lockDirectory = {}, QWidget* parent = nullptr);
    ~UpdaterDialog() override;

    // Start-up before the dialog is shown. false when another instance runs: the message has been
    // shown and dismissed, and the process should end with exit code 1.
    bool start();

    // A system command from the window menu; the About box opens for (command & 0xFFF0) == 16.
    // Returns whether the command was handled here.
    bool handleSystemCommand(quint32 command);

    // The update button: starts the job on a worker thread unless one runs.
    void startUpdate();
    bool jobRunning() const { return m_jobRunning.load(); }

    // OutputSurface, called from the worker thread.
    void setStatus(const std::string& text) override;
    void setProgressRange(std::uint32_t maximum) override;
    void setProgressPos(std::uint32_t position) override;
    void showMessage(const std::string& text) override;

    void done(int result) override;

signals:
    void jobFinished();

protected:
    void closeEvent(QCloseEvent* event) override;
#if defined(Q_OS_WIN)
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

private:
    template <typename F> void onWindowThread(F&& action);
    void addAboutEntry();
    void runPendingCalls();
    void showProgress();
    void finishJob();

    HidBackend& m_backend;
    std::filesystem::path m_directory;
    InstanceGuard m_guard;
    QLabel* m_status = nullptr;
    QProgressBar* m_progress = nullptr;
    QPushButton* m_updateButton = nullptr;
    QIcon m_icon;
    ProgressModel m_bar;
    std::mutex m_callsMutex;
    std::deque<std::function<void()>> m_calls; // surface calls from the worker, in order
    std::thread m_worker;
    std::atomic<bool> m_jobRunning{false};
};

} // namespace quarvo
