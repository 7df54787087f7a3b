#include "updater_dialog.h"

#include "about_dialog.h"
#include "frontend/window_texts.h"
#include "dialog_units.h"
#include "message_box_text.h"

#include "job/flash_job.h"
#include "protocol/texts.h"

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QApplication>
#include <QShowEvent>
#include <QSocketNotifier>
#include <QWindow>

namespace quarvo {

UpdaterDialog::UpdaterDialog(HidBackend& backend, std::filesystem::path directory,
                             UpdaterDialogOptions options, QWidget* parent)
    : QDialog(parent), m_icon(QStringLiteral(":/quarvo/icon.png")),
      m_session(backend, std::move(directory), *this, std::move(options.accessHelp),
                SessionPlatform{std::move(options.instanceName), std::move(options.lockDirectory),
                                options.sleepBus, options.holdSystem, options.stops,
                                std::move(options.historyFile), options.simulated,
                                std::move(options.loadHooks)})
{
    setObjectName(QStringLiteral("flasherDialog"));
    setWindowTitle(QString::fromUtf8(windowtext::DIALOG_TITLE));
    // No maximise for a window of fixed size: these hints are all the window manager is offered
    // (on X11 its Motif hints then carry neither the maximise function nor its button).
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(options.font.value_or(dialogFont()));
    const DialogUnits units = DialogUnits::forFont(font());

    // Controls in template order, which is also the tab order.
    m_cancelButton = new QPushButton(QString::fromUtf8(windowtext::CANCEL), this);
    m_cancelButton->setObjectName(QStringLiteral("cancelButton"));
    m_cancelButton->setGeometry(units.rect(250, 177, 76, 23));
    m_cancelButton->setDefault(true);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::accept);

    // The picture at its own size from its place in the template, as a bitmap control shows it,
    // whatever the dialog font makes of the template's units; drawn for the screen's pixels.
    m_picture = new QLabel(this);
    m_picture->setObjectName(QStringLiteral("pictureLabel"));
    const QPixmap bitmap = picture(devicePixelRatioF());
    m_picture->setPixmap(bitmap);
    m_picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_picture->setGeometry(
        QRect(units.rect(16, 12, 0, 0).topLeft(), bitmap.deviceIndependentSize().toSize()));

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

    // The journey line, in the free row under the buttons: an icon that tells success from
    // failure at a glance, then the text in the tone's colour. One line, never wrapped: its
    // longest texts fit its width at the dialog's font.
    m_journeyIcon = new QLabel(this);
    m_journeyIcon->setObjectName(QStringLiteral("journeyIcon"));
    m_journeyIcon->setGeometry(units.rect(7, 202, 10, 10));
    m_journeyIcon->setAlignment(Qt::AlignCenter);
    m_journey = new QLabel(this);
    m_journey->setObjectName(QStringLiteral("journeyLabel"));
    m_journey->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_journey->setGeometry(units.rect(19, 202, 322, 10));

    // Between the buttons while a job runs: the one thing not to do.
    m_busyWarning = new QLabel(QString::fromUtf8(windowtext::BUSY_WARNING), this);
    m_busyWarning->setObjectName(QStringLiteral("busyWarning"));
    m_busyWarning->setAlignment(Qt::AlignCenter);
    m_busyWarning->setGeometry(units.rect(103, 182, 145, 13));
    QPalette warningPalette = m_busyWarning->palette();
    warningPalette.setColor(QPalette::WindowText, QColor(0xa3, 0x1d, 0x12));
    m_busyWarning->setPalette(warningPalette);
    m_busyWarning->hide();

    setTabOrder(m_cancelButton, m_updateButton);
    setFixedSize(units.size(348, 214));
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    m_recheckTimer.setInterval(DEVICE_RECHECK_TICK_MS);
    connect(&m_recheckTimer, &QTimer::timeout, this, [this] { m_session.tick(); });

    // A signal (a logout's SIGTERM, Ctrl-C in the terminal it was started from) reaches the window
    // through the stop source's descriptor; the session weighs it.
    if (options.stops && options.stops->wakeDescriptor() >= 0) {
        m_stopNotifier =
            new QSocketNotifier(options.stops->wakeDescriptor(), QSocketNotifier::Read, this);
        connect(m_stopNotifier, &QSocketNotifier::activated, this,
                [this] { m_session.pollStops(); });
    }
}

UpdaterDialog::~UpdaterDialog() = default;

QPixmap UpdaterDialog::picture(qreal devicePixelRatio)
{
    QPixmap own(QStringLiteral(":/quarvo/picture.png"));
    if (devicePixelRatio <= 1)
        return own;
    const QPixmap large(QStringLiteral(":/quarvo/picture_2x.png"));
    const QSize pixels = (QSizeF(own.size()) * devicePixelRatio).toSize();
    QPixmap drawn = large.size() == pixels
                        ? large
                        : large.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    drawn.setDevicePixelRatio(devicePixelRatio);
    return drawn;
}

QPixmap UpdaterDialog::toneIcon(JourneyTone tone, int side, qreal devicePixelRatio)
{
    QColor colour;
    switch (tone) {
    case JourneyTone::Success:
        colour = QColor(0x1a, 0x7f, 0x37);
        break;
    case JourneyTone::Failure:
        colour = QColor(0xc4, 0x2b, 0x1c);
        break;
    case JourneyTone::Waiting:
        colour = QColor(0xbf, 0x87, 0x00);
        break;
    case JourneyTone::Idle:
    case JourneyTone::Running:
        return {};
    }
    QPixmap icon((QSizeF(side, side) * devicePixelRatio).toSize());
    icon.setDevicePixelRatio(devicePixelRatio);
    icon.fill(Qt::transparent);
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::Antialiasing);
    // A filled disc, and on it in white: a tick, a cross or the hands of a clock, drawn on a grid
    // of 16 so that every size keeps the same shape.
    painter.scale(side / 16.0, side / 16.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(0.5, 0.5, 15, 15));
    painter.setPen(QPen(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    QPainterPath mark;
    if (tone == JourneyTone::Success) {
        mark.moveTo(4.5, 8.2);
        mark.lineTo(7.0, 10.8);
        mark.lineTo(11.8, 5.4);
    } else if (tone == JourneyTone::Failure) {
        mark.moveTo(5.2, 5.2);
        mark.lineTo(10.8, 10.8);
        mark.moveTo(10.8, 5.2);
        mark.lineTo(5.2, 10.8);
    } else {
        mark.moveTo(8, 4);
        mark.lineTo(8, 8);
        mark.lineTo(11, 10);
    }
    painter.drawPath(mark);
    return icon;
}

void UpdaterDialog::drawForScreen()
{
    const qreal ratio = devicePixelRatioF();
    m_picture->setPixmap(picture(ratio));
    const int side = m_journeyIcon->height();
    m_journeyIcon->setPixmap(toneIcon(m_journeyLine.tone, side, ratio));
}

void UpdaterDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // The window's screen decides the pictures' pixels; so does a move to another screen.
    if (!m_followsScreen && windowHandle()) {
        m_followsScreen = true;
        connect(windowHandle(), &QWindow::screenChanged, this, &UpdaterDialog::drawForScreen);
        drawForScreen();
    }
}

bool UpdaterDialog::start()
{
    // Another updater anywhere on the machine, or one that cannot be ruled out: no update.
    if (const std::optional<std::string> refusal = m_session.takeGuard()) {
        const bool running = *refusal == ALREADY_RUNNING_TEXT;
        QMessageBox box(this);
        prepareBox(box, running ? QStringLiteral("alreadyRunningBox")
                                : QStringLiteral("guardUnavailableBox"));
        setBoxTexts(box, QString::fromStdString(*refusal));
        box.exec();
        return false;
    }
    addMenuEntries();
    setWindowIcon(m_icon);

    m_cancelButton->setFocus();
    m_session.checkDevice();
    m_recheckTimer.start();
    return true;
}

void UpdaterDialog::prepareBox(QMessageBox& box, const QString& objectName)
{
    box.setObjectName(objectName);
    box.setWindowTitle(QCoreApplication::applicationName());
    box.setIcon(QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok);
    // A message box is a window of its own, which takes no font from its parent unless told.
    box.setFont(font());
}

void UpdaterDialog::setBoxTexts(QMessageBox& box, const QString& text, const QString& detail)
{
    // No box wider than the window it belongs to.
    setBrokenBoxTexts(box, text, detail, width());
}

bool UpdaterDialog::handleSystemCommand(quint32 command)
{
    if (!UpdaterSession::opensAbout(command))
        return false;
    AboutDialog about(this);
    about.exec();
    return true;
}

// Qt gives no system menu to extend, so the entries sit in the window's context menu, a menu of
// our own so that it draws in the dialog's face.
void UpdaterDialog::addMenuEntries()
{
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("contextMenu"));
    menu->setFont(font());
    QAction* copy = menu->addAction(QString::fromUtf8(windowtext::COPY_RECORD_ENTRY));
    copy->setObjectName(QStringLiteral("copyRecordAction"));
    connect(copy, &QAction::triggered, this, [this] { m_session.copyLastRecord(); });
    QAction* about = menu->addAction(QString::fromUtf8(windowtext::ABOUT_ENTRY));
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, [this] { handleSystemCommand(ABOUT_COMMAND); });
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, menu,
            [this, menu](const QPoint& at) { menu->popup(mapToGlobal(at)); });
}

void UpdaterDialog::startUpdate() { m_session.startUpdate(); }

void UpdaterDialog::done(int result)
{
    // Every way of ending the dialog (Esc, 取消, Enter) waits for the job to end.
    if (!m_session.requestClose())
        return;
    QDialog::done(result);
}

void UpdaterDialog::closeEvent(QCloseEvent* event)
{
    // The close box, Alt+F4 and the window manager; QDialog's own handler would ask again
    // through done().
    if (!m_session.requestClose()) {
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

void UpdaterDialog::showJourney(const JourneyLine& line)
{
    const bool toneChanged = line.tone != m_journeyLine.tone;
    m_journeyLine = line;
    m_journey->setText(QString::fromStdString(line.text));
    if (!toneChanged)
        return;
    // The end in green or red, darker than the icon's disc so that the text reads well on the
    // window's background; a silent device in amber; a running job in the window's own colour.
    QPalette palette = this->palette();
    switch (line.tone) {
    case JourneyTone::Success:
        palette.setColor(QPalette::WindowText, QColor(0x11, 0x63, 0x29));
        break;
    case JourneyTone::Failure:
        palette.setColor(QPalette::WindowText, QColor(0xa3, 0x1d, 0x12));
        break;
    case JourneyTone::Waiting:
        palette.setColor(QPalette::WindowText, QColor(0x80, 0x55, 0x00));
        break;
    case JourneyTone::Idle:
    case JourneyTone::Running:
        break;
    }
    m_journey->setPalette(palette);
    m_journeyIcon->setPixmap(toneIcon(line.tone, m_journeyIcon->height(), devicePixelRatioF()));
}

void UpdaterDialog::closeMessageBox()
{
    if (!m_openBoxes.empty())
        m_openBoxes.back()->accept();
}

void UpdaterDialog::showMessageBox(const std::string& text, const std::string& detail)
{
    // A box from the start-up check comes before the dialog's loop has shown the dialog; the box
    // belongs over it, not alone on the screen.
    if (!isVisible())
        show();
    QMessageBox box(this);
    prepareBox(box, QStringLiteral("messageBox"));
    // Plain text whatever it holds (a path may look like markup); the access help's command can
    // be selected and copied.
    box.setTextFormat(Qt::PlainText);
    setBoxTexts(box, QString::fromStdString(text), QString::fromStdString(detail));
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_openBoxes.push_back(&box);
    box.exec();
    m_openBoxes.pop_back();
}

void UpdaterDialog::jobStarted()
{
    m_updateButton->setEnabled(false);
    m_cancelButton->setEnabled(false);
    m_busyWarning->show();
}

void UpdaterDialog::jobEnded(const JobEnd&)
{
    m_busyWarning->hide();
    m_updateButton->setEnabled(true);
    m_cancelButton->setEnabled(true);
    // The buttons lost the focus when they were disabled; the first tab stop takes it back.
    if (isActiveWindow() && !focusWidget())
        m_cancelButton->setFocus();
    emit jobFinished();
}

void UpdaterDialog::wakeWindowThread()
{
    QMetaObject::invokeMethod(this, &UpdaterDialog::runPendingCalls, Qt::QueuedConnection);
}

void UpdaterDialog::runPendingCalls() { m_session.runPendingCalls(); }

void UpdaterDialog::endRequested(int signal)
{
    // The boxes open over the window go first: their loops run inside the dialog's.
    for (auto it = m_openBoxes.rbegin(); it != m_openBoxes.rend(); ++it)
        (*it)->accept();
    if (QWidget* modal = QApplication::activeModalWidget(); modal && modal != this)
        modal->close();
    QDialog::done(128 + signal);
}

bool UpdaterDialog::copyToClipboard(const std::string& text)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return false;
    clipboard->setText(QString::fromStdString(text));
    return clipboard->text() == QString::fromStdString(text);
}

void UpdaterDialog::logLine(const std::string& text)
{
    qWarning("quarvo-updater: %s", text.c_str());
}

} // namespace quarvo
