// The updater's only window on Linux and macOS (Qt): picture, progress bar, status line, the
// update and cancel buttons. It draws what its UpdaterSession decides (the single-instance guard,
// the start-up check and re-checks, one job at a time held safe by the update run, no closing
// while it runs, the end when the process is asked to end) and forwards the user's requests and
// the process's stop requests to it. Widgets are touched only on the window's thread.
#pragma once

#include "frontend/updater_session.h"
#include "platform/process_stops.h"
#include "platform/system_hold.h"

#include "hid/hid_backend.h"

#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QPixmap>
#include <QTimer>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QSocketNotifier;

namespace quarvo {

struct UpdaterDialogOptions {
    std::string instanceName;          // names the single-instance guard (empty: none)
    std::string lockDirectory;         // where its lock file lives (empty: the default)
    std::string accessHelp;            // shown when the bootloader may not be opened (empty: never)
    InhibitorBus* sleepBus = nullptr;  // logind, asked to hold the system back during a job
    bool holdSystem = true;            // a job holds the system back (not for a simulated device)
    StopSource* stops = nullptr;       // the process's stop requests (signals); none: not watched
    std::filesystem::path historyFile; // where each update's record is kept (empty: nowhere)
    bool simulated = false;            // the device is the simulator's (its records say so)
    LoadHooks loadHooks;               // the jobs' ways into the loading of the update files
    std::optional<QFont> font;         // the dialog's font (default: dialogFont())
};

class UpdaterDialog final : public QDialog, private WindowView {
    Q_OBJECT
public:
    // The job reads its files from `directory`.
    UpdaterDialog(HidBackend& backend, std::filesystem::path directory,
                  UpdaterDialogOptions options, QWidget* parent = nullptr);
    ~UpdaterDialog() override;

    // Start-up, before the dialog's loop: the single-instance guard, the start-up check (which
    // shows the dialog early when it has a box to show over it) and the re-checks' timer. false
    // when another instance runs: the message has been shown and dismissed, the dialog never, and
    // the process should end with exit code 1.
    bool start();

    // A system command from the window menu; the About box opens for (command & 0xFFF0) == 16.
    // Returns whether the command was handled here.
    bool handleSystemCommand(quint32 command);

    // The update button: starts the job on a worker thread unless one runs.
    void startUpdate();
    bool jobRunning() const { return m_session.jobRunning(); }
    bool keepingAwake() const { return m_session.keepingAwake(); }
    // What the journey line shows now (text, tone, step and the whole update's progress).
    const JourneyLine& journeyLine() const { return m_journeyLine; }

    // The dialog's picture for a screen of `devicePixelRatio`: the bitmap's own pixels at 1, else
    // the double-size drawing scaled smoothly to the screen's pixels, so that its edges stay sharp
    // at 150 % and 200 %. Always the bitmap's size in device-independent pixels.
    static QPixmap picture(qreal devicePixelRatio);
    // A journey tone's icon, drawn for the screen's pixels: a green tick for success, a red cross
    // for failure, an amber clock while the device is silent; none while the job simply runs.
    static QPixmap toneIcon(JourneyTone tone, int side, qreal devicePixelRatio);

    void done(int result) override;

signals:
    void jobFinished();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // WindowView: what the session asks of the widgets.
    void showStatus(const std::string& text) override;
    void showProgress(std::uint16_t maximum, std::uint32_t position) override;
    void showJourney(const JourneyLine& line) override;
    void showMessageBox(const std::string& text, const std::string& detail) override;
    void closeMessageBox() override;
    void jobStarted() override;
    void jobEnded(const JobEnd& end) override;
    void wakeWindowThread() override;
    void endRequested(int signal) override;
    void logLine(const std::string& text) override;
    bool copyToClipboard(const std::string& text) override;

    // The context menu: the About box and the copy of the last update's record.
    void addMenuEntries();
    void runPendingCalls();
    // A message box in the dialog's face, captioned with the program's name.
    void prepareBox(QMessageBox& box, const QString& objectName);
    // The box's text and detail, each broken between clauses, and the box as wide as its longest
    // line up to the dialog's width (see message_box_text.h).
    void setBoxTexts(QMessageBox& box, const QString& text, const QString& detail = {});
    // The picture and the tone icon again, for the pixels of the screen the window is on now.
    void drawForScreen();

    QLabel* m_status = nullptr;
    QLabel* m_picture = nullptr;
    QLabel* m_journeyIcon = nullptr;
    QLabel* m_journey = nullptr;
    QLabel* m_busyWarning = nullptr;
    JourneyLine m_journeyLine;
    bool m_followsScreen = false;          // whether a change of screen redraws the pictures
    std::vector<QMessageBox*> m_openBoxes; // the boxes showMessageBox has open, innermost last
    QProgressBar* m_progress = nullptr;
    QPushButton* m_updateButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
    QIcon m_icon;
    QTimer m_recheckTimer;
    QSocketNotifier* m_stopNotifier = nullptr;
    UpdaterSession m_session; // last: it may call back into the widgets above
};

} // namespace quarvo
