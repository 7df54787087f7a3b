#include "updater_dialog.h"

#include "about_dialog.h"
#include "app_texts.h"
#include "dialog_units.h"

#include "hid/hid_device.h"
#include "job/flash_job.h"
#include "protocol/texts.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QThread>

#include <future>
#include <system_error>

namespace quarvo {

UpdaterDialog::UpdaterDialog(HidBackend& backend, std::filesystem::path directory,
                             std::string instanceName, std::string lockDirectory, QWidget* parent)
    : QDialog(parent), m_backend(backend), m_directory(std::move(directory)),
      m_guard(std::move(instanceName), std::move(lockDirectory)),
      m_icon(QStringLiteral(":/quarvo/icon.png"))
{
    setObjectName(QStringLiteral("flasherDialog"));
    setWindowTitle(QString::fromUtf8(apptext::DIALOG_TITLE));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(dialogFont());
    const DialogUnits units = DialogUnits::forFont(font());

    // Controls in template order, which is also the tab order.
    auto* cancel = new QPushButton(QString::fromUtf8(apptext::CANCEL), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setGeometry(units.rect(250, 177, 76, 23));
    cancel->setDefault(true);
    connect(cancel, &QPushButton::clicked, this, &QDialog::accept);

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("pictureLabel"));
    picture->setPixmap(QPixmap(QStringLiteral(":/quarvo/picture.bmp")));
    picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    picture->setGeometry(units.rect(16, 12, 314, 125));

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progressBar"));
    m_progress->setTextVisible(false);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_progress->setGeometry(units.rect(7, 144, 334, 13));

    m_updateButton = new QPushButton(QString::fromUtf8(apptext::UPDATE), this);
    m_updateButton->setObjectName(QStringLiteral("flashButton"));
    m_updateButton->setGeometry(units.rect(26, 177, 75, 22));
    connect(m_updateButton, &QPushButton::clicked, this, &UpdaterDialog::startUpdate);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("statusLabel"));
    m_status->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_status->setGeometry(units.rect(7, 162, 334, 11));

    setTabOrder(cancel, m_updateButton);
    setFixedSize(units.size(348, 214));
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

UpdaterDialog::~UpdaterDialog()
{
    // Closing is refused while a job runs, so a worker left here has finished its job and only
    // needs joining.
    if (m_worker.joinable())
        m_worker.join();
}

bool UpdaterDialog::start()
{
    if (m_guard.acquire() == InstanceGuard::Result::AlreadyRunning) {
        QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                        QString::fromUtf8(ALREADY_RUNNING_TEXT), QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("alreadyRunningBox"));
        box.exec();
        return false;
    }
    addAboutEntry();
    setWindowIcon(m_icon);

    // Probe once; nothing is sent and the device is closed again at once.
    HidDevice probe(m_backend);
    if (probe.open(VENDOR_ID, PRODUCT_ID)) {
        probe.close();
        m_status->setText(QString::fromUtf8(apptext::CONNECT_OK));
    } else {
        m_status->setText(QString::fromUtf8(text::CONNECT_FAILED));
    }
    if (QPushButton* cancel = findChild<QPushButton*>(QStringLiteral("cancelButton")))
        cancel->setFocus();
    return true;
}

bool UpdaterDialog::handleSystemCommand(quint32 command)
{
    if ((command & 0xFFF0) != apptext::ABOUT_COMMAND)
        return false;
    AboutDialog about(this);
    about.exec();
    return true;
}

#if !defined(Q_OS_WIN)
// Without a system menu to extend, the About entry sits in the window's context menu.
void UpdaterDialog::addAboutEntry()
{
    auto* about = new QAction(QString::fromUtf8(apptext::ABOUT_ENTRY), this);
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this,
            [this] { handleSystemCommand(apptext::ABOUT_COMMAND); });
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);
}
#endif

void UpdaterDialog::startUpdate()
{
    if (m_jobRunning.load())
        return;
    if (m_worker.joinable())
        m_worker.join();
    m_jobRunning = true;
    m_updateButton->setEnabled(false);
    try {
        m_worker = std::thread([this] {
            CommandContext ctx{m_backend, *this};
            runFlashJob(ctx, m_directory);
            QMetaObject::invokeMethod(this, &UpdaterDialog::finishJob, Qt::QueuedConnection);
        });
    } catch (const std::system_error&) {
        // No thread, no job: the press has no effect.
        m_jobRunning = false;
        m_updateButton->setEnabled(true);
    }
}

void UpdaterDialog::finishJob()
{
    if (m_worker.joinable())
        m_worker.join();
    m_jobRunning = false;
    m_updateButton->setEnabled(true);
    emit jobFinished();
}

void UpdaterDialog::done(int result)
{
    if (m_jobRunning.load())
        return; // every way of ending the dialog waits for the job to end
    QDialog::done(result);
}

void UpdaterDialog::closeEvent(QCloseEvent* event)
{
    if (m_jobRunning.load()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

// Runs `action` on the window's thread and returns once it has been carried out. The call is
// handed over through a queue under a standard mutex and finished through a future, so the
// hand-over is plain standard-library synchronisation (visible as such to ThreadSanitizer); the
// queued Qt call only wakes the window's thread.
template <typename F> void UpdaterDialog::onWindowThread(F&& action)
{
    if (QThread::currentThread() == thread()) {
        action();
        return;
    }
    std::promise<void> done;
    {
        const std::lock_guard lock(m_callsMutex);
        m_calls.push_back([&action, &done] {
            action();
            done.set_value();
        });
    }
    QMetaObject::invokeMethod(this, &UpdaterDialog::runPendingCalls, Qt::QueuedConnection);
    done.get_future().wait();
}

void UpdaterDialog::runPendingCalls()
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

void UpdaterDialog::showProgress()
{
    // A range of 0 would make the bar a busy indicator; an empty bar is what is meant.
    m_progress->setRange(0, m_bar.maximum() == 0 ? 1 : m_bar.maximum());
    m_progress->setValue(static_cast<int>(m_bar.shown()));
}

void UpdaterDialog::setStatus(const std::string& text)
{
    const QString shown = QString::fromStdString(text);
    onWindowThread([this, &shown] { m_status->setText(shown); });
}

void UpdaterDialog::setProgressRange(std::uint32_t maximum)
{
    onWindowThread([this, maximum] {
        m_bar.setRange(maximum);
        showProgress();
    });
}

void UpdaterDialog::setProgressPos(std::uint32_t position)
{
    onWindowThread([this, position] {
        m_bar.setPos(position);
        showProgress();
    });
}

void UpdaterDialog::showMessage(const std::string& text)
{
    const QString shown = QString::fromStdString(text);
    onWindowThread([this, &shown] {
        QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), shown,
                        QMessageBox::Ok, this);
        box.setObjectName(QStringLiteral("jobMessageBox"));
        box.exec();
    });
}

} // namespace quarvo
