#include "updater_dialog.h"

#include "about_dialog.h"
#include "frontend/window_texts.h"
#include "dialog_units.h"

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

namespace quarvo {

UpdaterDialog::UpdaterDialog(HidBackend& backend, std::filesystem::path directory,
                             std::string instanceName, std::string lockDirectory, QWidget* parent)
    : QDialog(parent), m_guard(std::move(instanceName), std::move(lockDirectory)),
      m_icon(QStringLiteral(":/quarvo/icon.png")), m_session(backend, std::move(directory), *this)
{
    setObjectName(QStringLiteral("flasherDialog"));
    setWindowTitle(QString::fromUtf8(windowtext::DIALOG_TITLE));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(dialogFont());
    const DialogUnits units = DialogUnits::forFont(font());

    // Controls in template order, which is also the tab order.
    auto* cancel = new QPushButton(QString::fromUtf8(windowtext::CANCEL), this);
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

    m_updateButton = new QPushButton(QString::fromUtf8(windowtext::UPDATE), this);
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

UpdaterDialog::~UpdaterDialog() = default;

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

    m_session.checkDevice();
    if (QPushButton* cancel = findChild<QPushButton*>(QStringLiteral("cancelButton")))
        cancel->setFocus();
    return true;
}

bool UpdaterDialog::handleSystemCommand(quint32 command)
{
    if (!UpdaterSession::opensAbout(command))
        return false;
    AboutDialog about(this);
    about.exec();
    return true;
}

// Qt gives no system menu to extend, so the About entry sits in the window's context menu.
void UpdaterDialog::addAboutEntry()
{
    auto* about = new QAction(QString::fromUtf8(windowtext::ABOUT_ENTRY), this);
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, [this] { handleSystemCommand(ABOUT_COMMAND); });
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

void UpdaterDialog::startUpdate() { m_session.startUpdate(); }

void UpdaterDialog::done(int result)
{
    if (!m_session.mayClose())
        return; // every way of ending the dialog waits for the job to end
    QDialog::done(result);
}

void UpdaterDialog::closeEvent(QCloseEvent* event)
{
    if (!m_session.mayClose()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void UpdaterDialog::showStatus(const std::string& text)
{
    m_status->setText(QString::fromStdString(text));
}

void UpdaterDialog::showProgress(std::uint16_t maximum, std::uint32_t position)
{
    // A range of 0 would make the bar a busy indicator; an empty bar is what is meant.
    m_progress->setRange(0, maximum == 0 ? 1 : maximum);
    m_progress->setValue(static_cast<int>(position));
}

void UpdaterDialog::showMessageBox(const std::string& text)
{
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                    QString::fromStdString(text), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("jobMessageBox"));
    box.exec();
}

void UpdaterDialog::setUpdateEnabled(bool enabled) { m_updateButton->setEnabled(enabled); }

void UpdaterDialog::jobEnded() { emit jobFinished(); }

void UpdaterDialog::wakeWindowThread()
{
    QMetaObject::invokeMethod(this, &UpdaterDialog::runPendingCalls, Qt::QueuedConnection);
}

void UpdaterDialog::runPendingCalls() { m_session.runPendingCalls(); }

} // namespace quarvo
