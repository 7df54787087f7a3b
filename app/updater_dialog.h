// The updater's only window on Linux and macOS (Qt): picture, progress bar, status line, the
// update and cancel buttons. It guards against a second instance and draws what its
// UpdaterSession decides (start-up check, one job at a time on a worker thread, no closing while
// it runs). Widgets are touched only on the window's thread.
#pragma once

#include "frontend/updater_session.h"
#include "platform/instance_guard.h"

#include "hid/hid_backend.h"

#include <QDialog>
#include <QIcon>

#include <filesystem>
#include <string>

class QLabel;
class QProgressBar;
class QPushButton;

namespace quarvo {

class UpdaterDialog final : public QDialog, private WindowView {
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
    bool jobRunning() const { return m_session.jobRunning(); }

    void done(int result) override;

signals:
    void jobFinished();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // WindowView: what the session asks of the widgets.
    void showStatus(const std::string& text) override;
    void showProgress(std::uint16_t maximum, std::uint32_t position) override;
    void showMessageBox(const std::string& text) override;
    void setUpdateEnabled(bool enabled) override;
    void jobEnded() override;
    void wakeWindowThread() override;

    void addAboutEntry();
    void runPendingCalls();

    InstanceGuard m_guard;
    QLabel* m_status = nullptr;
    QProgressBar* m_progress = nullptr;
    QPushButton* m_updateButton = nullptr;
    QIcon m_icon;
    UpdaterSession m_session; // last: it may call back into the widgets above
};

} // namespace quarvo
