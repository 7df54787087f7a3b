// The updater window on the offscreen platform, with the simulated bootloader handed to it.
#include "frontend/window_texts.h"
#include "app/updater_app.h"
#include "app/dialog_units.h"
#include "app/updater_dialog.h"
#include "fake_logind.h"

#include "frontend/access_help.h"
#include "frontend/journey.h"

#include "job/flash_job.h"
#include "protocol/texts.h"
#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>

#include <poll.h>
#include <unistd.h>

using namespace quarvo;

Q_DECLARE_METATYPE(quarvo::SimScenario)
Q_DECLARE_METATYPE(quarvo::JourneyTone)

namespace {

constexpr int JOB_TIMEOUT_MS = 60000;
constexpr const char* ACCESS_HELP = "udev rule help";

// The simulated bootloader behind a gate: once armed, the next open waits until the test opens
// the gate (at most JOB_TIMEOUT_MS), so a job is certain to be running while the test acts.
class GatedBackend final : public HidBackend {
public:
    explicit GatedBackend(HidBackend& inner) : m_inner(inner) {}
    std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId, std::uint16_t productId) override
    {
        return m_inner.enumerate(vendorId, productId);
    }
    std::unique_ptr<HidConnection> open(const std::string& path, std::string& error) override
    {
        std::unique_lock lock(m_mutex);
        m_holding = m_armed;
        m_changed.wait_for(lock, std::chrono::milliseconds(JOB_TIMEOUT_MS),
                           [this] { return !m_armed; });
        m_holding = false;
        lock.unlock();
        return m_inner.open(path, error);
    }
    Clock& clock() override { return m_inner.clock(); }
    void arm()
    {
        const std::lock_guard lock(m_mutex);
        m_armed = true;
    }
    // Whether an open waits at the gate now.
    bool holding()
    {
        const std::lock_guard lock(m_mutex);
        return m_holding;
    }
    void release()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_armed = false;
        }
        m_changed.notify_all();
    }

private:
    HidBackend& m_inner;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_armed = false;
    bool m_holding = false;
};

// The process's stop requests as a test posts them, through a pipe the window watches as it
// watches the signals' own.
class PostedStops final : public StopSource {
public:
    PostedStops()
    {
        if (::pipe(m_ends) != 0)
            m_ends[0] = m_ends[1] = -1;
    }
    ~PostedStops() override
    {
        ::close(m_ends[0]);
        ::close(m_ends[1]);
    }
    std::vector<StopRequest> take() override
    {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_pending, {});
    }
    void post(int signal) override
    {
        {
            const std::lock_guard lock(m_mutex);
            m_pending.push_back({signal, monotonicMs()});
        }
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(m_ends[1], &byte, 1);
    }
    int wakeDescriptor() const override { return m_ends[0]; }
    void drainWakeups() override
    {
        char bytes[16];
        [[maybe_unused]] const auto got = ::read(m_ends[0], bytes, sizeof bytes);
    }

private:
    int m_ends[2];
    std::mutex m_mutex;
    std::vector<StopRequest> m_pending;
};

void writeFile(const QTemporaryDir& dir, const char* name, std::size_t size, unsigned seed)
{
    std::vector<char> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(i * 13 + seed);
    std::ofstream(dir.filePath(name).toStdString(), std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(size));
}

// The tone a colour belongs to by its hue: green for success, red for failure, amber for a
// silent device; Idle for no colour (grey, black, white, nothing).
JourneyTone toneOfColour(const QColor& colour)
{
    if (!colour.isValid() || colour.hslSaturationF() < 0.3)
        return JourneyTone::Idle;
    const int hue = colour.hslHue();
    if (hue >= 90 && hue <= 170)
        return JourneyTone::Success;
    if (hue <= 20 || hue >= 340)
        return JourneyTone::Failure;
    if (hue >= 30 && hue <= 60)
        return JourneyTone::Waiting;
    return JourneyTone::Idle;
}

// The tone an icon shows: that of the average of its coloured pixels (the white mark on the disc
// left out); Idle for no icon.
JourneyTone toneOfIcon(const QPixmap& icon)
{
    const QImage image = icon.toImage().convertToFormat(QImage::Format_ARGB32);
    double red = 0;
    double green = 0;
    double blue = 0;
    int counted = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            if (pixel.alpha() < 200 || pixel.hslSaturationF() < 0.3)
                continue;
            red += pixel.redF();
            green += pixel.greenF();
            blue += pixel.blueF();
            ++counted;
        }
    if (counted == 0)
        return JourneyTone::Idle;
    return toneOfColour(QColor::fromRgbF(static_cast<float>(red / counted),
                                         static_cast<float>(green / counted),
                                         static_cast<float>(blue / counted)));
}

// The dialog over one simulated bootloader (behind a gate) and a scratch directory for the
// update files.
struct Rig {
    explicit Rig(SimScenario scenario = {}, bool slow = false,
                 std::optional<QFont> font = std::nullopt, std::string lockDirectory = {},
                 std::string accessHelp = ACCESS_HELP)
    {
        if (slow) {
            // On real time, with an erase long enough for the test to act during the job.
            backend = std::make_unique<SimBackend>(steadyClock);
            SimTiming timing;
            timing.sectorEraseUs = 150000;
            device = &attachBootloader(*backend, scenario, timing);
        } else {
            backend = std::make_unique<SimBackend>(virtualClock);
            device = &attachBootloader(*backend, scenario);
        }
        gate = std::make_unique<GatedBackend>(*backend);
        UpdaterDialogOptions options;
        options.instanceName = instanceName();
        options.lockDirectory = lockDirectory.empty() ? lockDirectoryOfTheRun() : lockDirectory;
        options.accessHelp = std::move(accessHelp);
        options.sleepBus = &logind;
        options.stops = &stops;
        options.historyFile = dir.filePath(QStringLiteral("state/history.jsonl")).toStdString();
        options.font = std::move(font);
        dialog =
            std::make_unique<UpdaterDialog>(*gate, dir.path().toStdString(), std::move(options));
    }
    // The run's own lock directory, so that no test meets a real updater or leaves a lock file.
    static std::string lockDirectoryOfTheRun()
    {
        static const QTemporaryDir directory;
        return directory.path().toStdString();
    }
    static std::string instanceName()
    {
        return QStringLiteral("QUARVO_TEST_%1")
            .arg(QCoreApplication::applicationPid())
            .toStdString();
    }
    void writeSamples()
    {
        writeFile(dir, CODE_FILE, 3000, 1);
        writeFile(dir, DATABASE_FILE, 1000, 2);
    }
    template <typename T> T* child(const char* name) const
    {
        return dialog->findChild<T*>(QString::fromLatin1(name));
    }
    QString status() const { return child<QLabel>("statusLabel")->text(); }
    QString journey() const { return child<QLabel>("journeyLabel")->text(); }
    // The tone the journey line shows as a driver sees it, by its icon's colour and its text's.
    JourneyTone iconTone() const { return toneOfIcon(child<QLabel>("journeyIcon")->pixmap()); }
    JourneyTone textTone() const
    {
        return toneOfColour(child<QLabel>("journeyLabel")->palette().color(QPalette::WindowText));
    }

    VirtualClock virtualClock;
    SteadyClock steadyClock;
    QTemporaryDir dir;
    FakeLogind logind;
    PostedStops stops;
    std::unique_ptr<SimBackend> backend;
    std::unique_ptr<GatedBackend> gate;
    SimDevice* device = nullptr;
    std::unique_ptr<UpdaterDialog> dialog;
};

// Closes the next modal window that opens (every one, when `all`) and tells what it was.
struct ModalCloser {
    explicit ModalCloser(bool all = false)
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this, all] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            name = modal->objectName();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                text = box->text();
                detail = box->informativeText();
                title = box->windowTitle();
                texts.append(text);
                if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                    okText = ok->text();
                face = box->font().family();
                if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
                    labelText = label->text();
                    labelWidth = label->contentsRect().width();
                    labelFont = label->font();
                }
            }
            modal->close();
            if (!all)
                timer.stop();
        });
        timer.start();
    }
    QTimer timer;
    QString name;
    QString text;
    QString detail;
    QString title;
    QString okText;
    QString face;
    QStringList texts;
    // The box's text as its label shows it, the label's width for text and its font.
    QString labelText;
    int labelWidth = 0;
    QFont labelFont;
};

QString qs(const char* utf8) { return QString::fromUtf8(utf8); }

} // namespace

class AppTest : public QObject {
    Q_OBJECT
    QTranslator m_translator;
private slots:
    void initTestCase() { QVERIFY(prepareApplication(m_translator)); }

    void theContextMenuUsesTheDialogsFace()
    {
        Rig rig;
        QVERIFY(rig.dialog->start());
        auto* menu = rig.dialog->findChild<QMenu*>(QStringLiteral("contextMenu"));
        QVERIFY(menu);
        QCOMPARE(menu->font().family(), rig.dialog->font().family());
        QCOMPARE(menu->actions().size(), 2);
        QCOMPARE(menu->actions().constFirst()->text(), qs(windowtext::COPY_RECORD_ENTRY));
        QCOMPARE(menu->actions().constLast()->text(), qs(windowtext::ABOUT_ENTRY));
    }

    void probeShowsTheConnection_data()
    {
        QTest::addColumn<SimScenario>("scenario");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("box");
        QTest::newRow("present") << SimScenario{} << qs(windowtext::CONNECT_OK) << QString();
        QTest::newRow("absent") << SimScenario{Fault::Absent, 0} << qs(text::CONNECT_FAILED)
                                << QString();
        QTest::newRow("refused") << SimScenario{Fault::OpenRefused, 0} << qs(text::CONNECT_FAILED)
                                 << qs(ACCESS_HELP);
    }
    void probeShowsTheConnection()
    {
        QFETCH(SimScenario, scenario);
        QFETCH(QString, status);
        QFETCH(QString, box);
        Rig rig(scenario);
        ModalCloser closer(true);
        QVERIFY(rig.dialog->start());
        QCOMPARE(rig.status(), status);
        QCOMPARE(closer.texts, box.isEmpty() ? QStringList() : QStringList{box});
        QVERIFY(!rig.device->linkOpen());
        QVERIFY(rig.device->traffic().empty());
        QVERIFY(rig.child<QPushButton>("flashButton")->isEnabled());
    }

    void anotherInstanceIsToldAndTheDialogNeverShown()
    {
        InstanceGuard running(Rig::instanceName(), Rig::lockDirectoryOfTheRun());
        QCOMPARE(running.acquire(), InstanceGuard::Result::Acquired);
        Rig rig;
        ModalCloser closer;
        QVERIFY(!rig.dialog->start());
        QCOMPARE(closer.name, QStringLiteral("alreadyRunningBox"));
        QCOMPARE(closer.text, qs(ALREADY_RUNNING_TEXT));
        QCOMPARE(closer.title, QCoreApplication::applicationName());
        QVERIFY(!rig.dialog->isVisible());
        QCOMPARE(rig.device->linksOpened(), 0u);
    }

    void aGuardThatCannotBeTakenIsNamedAndTheDialogNeverShown()
    {
        // Another user's link where the lock file belongs: never followed, never run unguarded.
        QTemporaryDir lockDirectory;
        const std::string lockFile =
            lockDirectory.filePath(QString::fromStdString(Rig::instanceName() + ".lock"))
                .toStdString();
        QVERIFY(::symlink("/etc/passwd", lockFile.c_str()) == 0);
        Rig rig({}, false, std::nullopt, lockDirectory.path().toStdString());
        ModalCloser closer;
        QVERIFY(!rig.dialog->start());
        QCOMPARE(closer.name, QStringLiteral("guardUnavailableBox"));
        QVERIFY2(closer.text.startsWith(qs(GUARD_UNAVAILABLE_TEXT)), qPrintable(closer.text));
        QVERIFY2(closer.text.contains(QString::fromStdString(lockFile)), qPrintable(closer.text));
        QVERIFY2(closer.text.contains(QStringLiteral("symbolic link")), qPrintable(closer.text));
        QVERIFY(!rig.dialog->isVisible());
        QCOMPARE(rig.device->linksOpened(), 0u);
    }

    void templateLayoutAndKeyboard()
    {
        Rig rig;
        QVERIFY(rig.dialog->start());
        QCOMPARE(rig.dialog->windowTitle(), qs(windowtext::DIALOG_TITLE));
        auto* cancel = rig.child<QPushButton>("cancelButton");
        auto* flash = rig.child<QPushButton>("flashButton");
        QCOMPARE(cancel->text(), qs(windowtext::CANCEL));
        QCOMPARE(flash->text(), qs(windowtext::UPDATE));
        QVERIFY(cancel->isDefault());
        QCOMPARE(rig.dialog->minimumSize(), rig.dialog->maximumSize());
        // A fixed size offers no maximise; minimise and close stay.
        QVERIFY(!rig.dialog->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(rig.dialog->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(rig.dialog->windowFlags().testFlag(Qt::WindowCloseButtonHint));
        // Controls keep the template's arrangement: picture above bar above status above buttons.
        const int pictureBottom = rig.child<QLabel>("pictureLabel")->geometry().bottom();
        const QRect bar = rig.child<QProgressBar>("progressBar")->geometry();
        const QRect status = rig.child<QLabel>("statusLabel")->geometry();
        QVERIFY(pictureBottom < bar.top());
        QVERIFY(bar.bottom() < status.top());
        QVERIFY(status.bottom() < flash->geometry().top());
        QVERIFY(flash->geometry().right() < cancel->geometry().left());
        QCOMPARE(rig.child<QLabel>("pictureLabel")->pixmap().deviceIndependentSize().toSize(),
                 QSize(550, 249));

        // The cancel button comes first in tab order, the update button next; Enter on the first
        // ends the updater.
        rig.dialog->show();
        rig.dialog->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(rig.dialog.get()));
        QTRY_COMPARE(QApplication::focusWidget(), cancel);
        QTest::keyClick(cancel, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), flash);
        QTest::keyClick(flash, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), cancel);
        QTest::keyClick(cancel, Qt::Key_Return);
        QTRY_VERIFY(!rig.dialog->isVisible());
    }

    void wholeUpdateFromTheButton()
    {
        Rig rig;
        rig.writeSamples();
        QVERIFY(rig.dialog->start());
        QSignalSpy finished(rig.dialog.get(), &UpdaterDialog::jobFinished);
        QTest::mouseClick(rig.child<QPushButton>("flashButton"), Qt::LeftButton);
        QVERIFY(finished.wait(JOB_TIMEOUT_MS));

        QCOMPARE(rig.status(), qs(text::UPDATE_OK));
        QCOMPARE(rig.child<QProgressBar>("progressBar")->value(), 0);
        QVERIFY(rig.child<QPushButton>("flashButton")->isEnabled());
        // The end, told apart at a glance: a green icon and text that says what to do next.
        QCOMPARE(rig.journey(), qs(windowtext::END_SUCCESS));
        QCOMPARE(rig.dialog->journeyLine().tone, JourneyTone::Success);
        QCOMPARE(rig.iconTone(), JourneyTone::Success);
        QCOMPARE(rig.textTone(), JourneyTone::Success);
        QVERIFY(rig.device->restarted());
        QCOMPARE(rig.device->unerasedWriteCount(), std::size_t{0});
        const auto header = rig.device->flash(IMAGE_HEADER_ADDRESS, 24);
        QCOMPARE(loadLe32(header.data()), IMAGE_MAGIC);
        QCOMPARE(loadLe32(header.data() + 20), 3000u);
    }

    void anUpdateThatFailsEndsInTheFailureTone_data()
    {
        QTest::addColumn<SimScenario>("scenario");
        QTest::addColumn<bool>("withFiles");
        QTest::addColumn<QString>("end");
        // The code is 3000 bytes: output report 1 erases, whose end is read back; 2 programs, 3
        // to 49 carry the code; 50 and 51 erase and program the image header. What the line says
        // follows from what the device holds.
        QTest::newRow("code erase fails")
            << SimScenario{Fault::ReadFail, 1} << true << qs(windowtext::END_NO_PROGRAM_LINK_LOST);
        QTest::newRow("code write fails")
            << SimScenario{Fault::WriteFail, 3} << true << qs(windowtext::END_NO_PROGRAM_LINK_LOST);
        QTest::newRow("image header fails") << SimScenario{Fault::WriteFail, 51} << true
                                            << qs(windowtext::END_NO_PROGRAM_LINK_LOST);
        QTest::newRow("device silent")
            << SimScenario{Fault::Silent, 0} << true << qs(windowtext::END_NO_PROGRAM);
        QTest::newRow("first report refused")
            << SimScenario{Fault::WriteFail, 1} << true << qs(windowtext::END_NOTHING_TAKEN);
        QTest::newRow("device absent")
            << SimScenario{Fault::Absent, 0} << true << qs(windowtext::END_NOT_REACHED);
        QTest::newRow("files missing")
            << SimScenario{} << false << qs(windowtext::END_FILES_REFUSED);
    }
    void anUpdateThatFailsEndsInTheFailureTone()
    {
        QFETCH(SimScenario, scenario);
        QFETCH(bool, withFiles);
        QFETCH(QString, end);
        Rig rig(scenario);
        if (withFiles)
            rig.writeSamples();
        QVERIFY(rig.dialog->start());
        QSignalSpy finished(rig.dialog.get(), &UpdaterDialog::jobFinished);
        ModalCloser closer(true);
        QTest::mouseClick(rig.child<QPushButton>("flashButton"), Qt::LeftButton);
        QVERIFY(finished.wait(JOB_TIMEOUT_MS));
        QCOMPARE(rig.journey(), end);
        QCOMPARE(rig.dialog->journeyLine().tone, JourneyTone::Failure);
        QCOMPARE(rig.iconTone(), JourneyTone::Failure);
        QCOMPARE(rig.textTone(), JourneyTone::Failure);
        QVERIFY(rig.child<QPushButton>("flashButton")->isEnabled());
    }

    // Every text the journey line can show, at its longest, on one line at the dialog's font.
    void theJourneyLineFitsItsLongestTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("reading") << qs(windowtext::READING_FILES);
        QTest::newRow("idle ready") << QString::fromStdString(idleLine({}).text);
        for (const char* file : {CODE_FILE, DATABASE_FILE})
            QTest::newRow((std::string("idle without ") + file).c_str())
                << QString::fromStdString(idleLine({file}).text);
        QTest::newRow("idle without both")
            << QString::fromStdString(idleLine({CODE_FILE, DATABASE_FILE}).text);
        QTest::newRow("success") << qs(windowtext::END_SUCCESS);
        QTest::newRow("files refused") << qs(windowtext::END_FILES_REFUSED);
        // Every end the device's state can lead to, stopped or not.
        const char* const ends[] = {
            windowtext::END_NOT_REACHED,          windowtext::END_OPEN_REFUSED,
            windowtext::END_NOTHING_TAKEN,        windowtext::END_NO_PROGRAM,
            windowtext::END_NO_PROGRAM_LINK_LOST, windowtext::END_DATABASE_INCOMPLETE,
            windowtext::END_NOT_RESTARTED,        windowtext::END_STOPPED_UNCHANGED,
            windowtext::END_INTERNAL_UNCHANGED};
        for (const char* end : ends) {
            QTest::newRow(end) << qs(end);
            QTest::newRow((std::string("stopped: ") + end).c_str())
                << qs(windowtext::END_STOPPED_PREFIX) + qs(end);
        }
        for (int index = 0; index < UPDATE_STEP_COUNT; ++index) {
            const auto step = static_cast<UpdateStep>(index);
            const std::string name = stepName(step);
            // 100 %, about 99 min 59 s left; then a wait of as long.
            RunSnapshot running;
            running.step = StepInfo{step, 0.5, 1.0};
            running.overall = 1.0;
            running.timeLeftUs = 5999LL * 1000000;
            QTest::newRow(("running " + name).c_str())
                << QString::fromStdString(runningLine(running).text);
            RunSnapshot waiting = running;
            waiting.quietUs = 10LL * 1000000;
            waiting.waitUntilUs = 5999LL * 1000000;
            QTest::newRow(("waiting " + name).c_str())
                << QString::fromStdString(runningLine(waiting).text);
            RunSnapshot stalled = running;
            stalled.stalledUs = 10LL * 1000000;
            stalled.wholeWaitUntilUs = 5999LL * 1000000;
            QTest::newRow(("stalled " + name).c_str())
                << QString::fromStdString(runningLine(stalled).text);
        }
    }
    void theJourneyLineFitsItsLongestTexts()
    {
        QFETCH(QString, text);
        Rig rig;
        auto* line = rig.child<QLabel>("journeyLabel");
        const QFontMetrics metrics(line->font());
        QCOMPARE(line->font(), rig.dialog->font());
        QVERIFY(!line->wordWrap());
        QVERIFY2(metrics.horizontalAdvance(text) <= line->contentsRect().width(),
                 qPrintable(QStringLiteral("%1 px for %2 px: %3")
                                .arg(metrics.horizontalAdvance(text))
                                .arg(line->contentsRect().width())
                                .arg(text)));
        QVERIFY(metrics.height() <= line->contentsRect().height());
        // Inside the dialog, beside its icon.
        QVERIFY(rig.dialog->rect().contains(line->geometry()));
        QVERIFY(rig.child<QLabel>("journeyIcon")->geometry().right() < line->geometry().left());
    }

    // Whichever way the window is asked to close during a job, the box that refuses closes by
    // itself when the job ends: the window stays and shows the result.
    void theCloseRefusalClosesItselfWhenTheJobEnds_data()
    {
        QTest::addColumn<QString>("way");
        QTest::newRow("close box") << QStringLiteral("close");
        QTest::newRow("Esc") << QStringLiteral("escape");
        QTest::newRow("cancel") << QStringLiteral("reject");
    }
    void theCloseRefusalClosesItselfWhenTheJobEnds()
    {
        QFETCH(QString, way);
        Rig rig;
        rig.writeSamples();
        QVERIFY(rig.dialog->start());
        rig.dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(rig.dialog.get()));
        QSignalSpy finished(rig.dialog.get(), &UpdaterDialog::jobFinished);
        rig.gate->arm(); // the job waits at its first open until the refusal is up
        rig.dialog->startUpdate();

        // Once the refusal is up the job goes on; a box still up after JOB_TIMEOUT_MS is closed
        // here, and the test fails.
        QPointer<QMessageBox> refusal;
        QString refusalText;
        bool closedByTheTest = false;
        QTimer watch;
        watch.setInterval(10);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box && !refusal) {
                refusal = box;
                refusalText = box->text();
                rig.gate->release();
            }
        });
        watch.start();
        // A timer of the test's own, so that it ends with the test.
        QTimer safety;
        safety.setSingleShot(true);
        QObject::connect(&safety, &QTimer::timeout, [&] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                closedByTheTest = true;
                modal->close();
            }
        });
        safety.start(JOB_TIMEOUT_MS);
        if (way == QLatin1String("close"))
            QVERIFY(!rig.dialog->close());
        else if (way == QLatin1String("escape"))
            QTest::keyClick(rig.dialog.get(), Qt::Key_Escape);
        else
            rig.dialog->reject();
        watch.stop();
        rig.gate->release();

        QVERIFY(!closedByTheTest);
        QCOMPARE(refusalText, qs(windowtext::UPDATE_RUNNING));
        QCOMPARE(finished.count(), 1);
        QVERIFY(!QApplication::activeModalWidget());
        QVERIFY(rig.dialog->isVisible());
        QCOMPARE(rig.status(), qs(text::UPDATE_OK));
        QCOMPARE(rig.journey(), qs(windowtext::END_SUCCESS));
    }

    // Qt may break Chinese text after any character: the box is made as wide as its lines, and a
    // line wider than the window is broken after its punctuation, never inside a word.
    void boxTextsBreakBetweenClauses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("access help, rule installed") << QString::fromStdString(
            linuxAccessHelp("/usr/lib/udev/rules.d/70-quarvo-bootloader.rules"));
        QTest::newRow("access help, from the sources")
            << QString::fromStdString(linuxAccessHelp(""));
        QTest::newRow("update running") << qs(windowtext::UPDATE_RUNNING);
        // Wider than the window: broken after its commas.
        QTest::newRow("a long sentence")
            << qs("已找到更新模式中的設備，但目前的使用者沒有開啟它的權限，請拔下並重新插上設備，"
                  "然後在終端機執行下列指令讓 udev 套用這條規則，再按「更新」，更新結束後設備會"
                  "重新啟動，啟動完成後即可拔除。");
    }
    void boxTextsBreakBetweenClauses()
    {
        QFETCH(QString, text);
        Rig rig(SimScenario{Fault::OpenRefused, 0}, false, std::nullopt, {}, text.toStdString());
        ModalCloser closer;
        QVERIFY(rig.dialog->start());
        QCOMPARE(closer.text, closer.labelText);

        // Each line as given, or broken into pieces of which every one but the last ends in
        // punctuation.
        const QStringList given = text.split(QLatin1Char('\n'));
        const QStringList shown = closer.labelText.split(QLatin1Char('\n'));
        qsizetype next = 0;
        for (const QString& line : given) {
            QVERIFY(next < shown.size());
            QString rebuilt = shown[next++];
            while (rebuilt != line) {
                QVERIFY2(line.startsWith(rebuilt) && next < shown.size(), qPrintable(rebuilt));
                QVERIFY2(QStringLiteral("，。：；！？、」』）").contains(rebuilt.back()),
                         qPrintable(rebuilt));
                rebuilt += shown[next++];
            }
        }
        QCOMPARE(next, shown.size());
        // The label is wide enough for every line: Qt has no reason to break one.
        const QFontMetrics metrics(closer.labelFont);
        for (const QString& line : shown)
            QVERIFY2(metrics.horizontalAdvance(line) <= closer.labelWidth,
                     qPrintable(QStringLiteral("%1 px for %2 px: %3")
                                    .arg(metrics.horizontalAdvance(line))
                                    .arg(closer.labelWidth)
                                    .arg(line)));
        // A sentence wider than the window is broken.
        if (std::any_of(given.begin(), given.end(), [&](const QString& line) {
                return metrics.horizontalAdvance(line) > rig.dialog->width();
            }))
            QVERIFY(shown.size() > given.size());
    }

    void thePictureIsDrawnForTheScreensPixels_data()
    {
        QTest::addColumn<qreal>("ratio");
        QTest::addColumn<QString>("drawing");
        QTest::newRow("100 %") << qreal{1} << QStringLiteral(":/quarvo/picture.png");
        QTest::newRow("150 %") << qreal{1.5} << QString();
        QTest::newRow("200 %") << qreal{2} << QStringLiteral(":/quarvo/picture_2x.png");
    }
    void thePictureIsDrawnForTheScreensPixels()
    {
        QFETCH(qreal, ratio);
        QFETCH(QString, drawing);
        const QPixmap picture = UpdaterDialog::picture(ratio);
        QCOMPARE(picture.devicePixelRatio(), ratio);
        // The bitmap's place in the window at every ratio, to within a device pixel.
        const QSizeF size = picture.deviceIndependentSize();
        QVERIFY2(qAbs(size.width() - 550) * ratio < 1 && qAbs(size.height() - 249) * ratio < 1,
                 qPrintable(QStringLiteral("%1 x %2").arg(size.width()).arg(size.height())));
        // At 100 % and 200 % the drawing's own pixels, not a scaled copy.
        if (!drawing.isEmpty()) {
            QImage own = QImage(drawing).convertToFormat(QImage::Format_RGB32);
            own.setDevicePixelRatio(ratio);
            QCOMPARE(picture.toImage().convertToFormat(QImage::Format_RGB32), own);
        }
    }

    void secondPressDuringAJobStartsNothing()
    {
        Rig rig({}, true);
        rig.writeSamples();
        QVERIFY(rig.dialog->start());
        QSignalSpy finished(rig.dialog.get(), &UpdaterDialog::jobFinished);
        auto* flash = rig.child<QPushButton>("flashButton");
        QTest::mouseClick(flash, Qt::LeftButton);
        QVERIFY(rig.dialog->jobRunning());
        QVERIFY(!flash->isEnabled());
        QTest::mouseClick(flash, Qt::LeftButton);
        rig.dialog->startUpdate();
        QVERIFY(finished.wait(JOB_TIMEOUT_MS));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(rig.device->commands().size(), std::size_t{7}); // 3 erases, 3 programs, restart
        QVERIFY(flash->isEnabled());
    }

    void closeRequestsDuringAJobAreAnsweredAndTheJobGoesOn()
    {
        Rig rig;
        rig.writeSamples();
        QVERIFY(rig.dialog->start());
        rig.dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(rig.dialog.get()));
        QSignalSpy finished(rig.dialog.get(), &UpdaterDialog::jobFinished);
        auto* cancel = rig.child<QPushButton>("cancelButton");
        auto* flash = rig.child<QPushButton>("flashButton");
        rig.gate->arm(); // the job waits at its first open until the gate opens
        rig.dialog->startUpdate();
        QVERIFY(!cancel->isEnabled());
        QVERIFY(!flash->isEnabled());
        {
            ModalCloser closer(true);
            rig.dialog->reject();          // what 取消, Enter and Esc come to
            QVERIFY(!rig.dialog->close()); // the close box, Alt+F4, the window manager
            QTest::keyClick(rig.dialog.get(), Qt::Key_Escape);
            QTest::mouseClick(cancel, Qt::LeftButton); // disabled: no request at all
            QCOMPARE(closer.texts, QStringList(3, qs(windowtext::UPDATE_RUNNING)));
            QCOMPARE(closer.name, QStringLiteral("messageBox"));
        }
        QVERIFY(rig.dialog->isVisible());
        QVERIFY(rig.dialog->jobRunning());

        rig.gate->release();
        QVERIFY(finished.wait(JOB_TIMEOUT_MS));
        QCOMPARE(rig.status(), qs(text::UPDATE_OK));
        QVERIFY(rig.device->restarted());
        QVERIFY(cancel->isEnabled());
        QVERIFY(flash->isEnabled());
        QVERIFY(rig.dialog->close());
        QVERIFY(!rig.dialog->isVisible());
    }

    // The context menu's copy entry puts the last update's record, as readable text, on the
    // clipboard for support, and says so; before any update it says there is none.
    void theCopyEntryPutsTheLastRecordOnTheClipboard()
    {
        Rig rig({Fault::WriteFail, 5});
        rig.writeSamples();
        QVERIFY(rig.dialog->start());
        auto* copy = rig.dialog->findChild<QAction*>(QStringLiteral("copyRecordAction"));
        QVERIFY(copy);
        QCOMPARE(copy->text(), qs(windowtext::COPY_RECORD_ENTRY));
        {
            ModalCloser closer;
            copy->trigger();
            QCOMPARE(closer.text, qs(windowtext::NO_RECORD));
        }
        QSignalSpy finished(rig.dialog.get(), &UpdaterDialog::jobFinished);
        rig.dialog->startUpdate();
        QVERIFY(finished.wait(JOB_TIMEOUT_MS));
        ModalCloser closer;
        copy->trigger();
        QCOMPARE(closer.text, qs(windowtext::RECORD_COPIED));
        const QString copied = QGuiApplication::clipboard()->text();
        for (const char* part : {"quarvo-updater", "outcome: device failed", "code_data.bin: 3000",
                                 "program partly written", "data report 3 of 48"})
            QVERIFY2(copied.contains(QString::fromUtf8(part)), qPrintable(copied));
    }

    // While a job runs a warning beside the buttons says not to unplug or switch off; at idle the
    // journey line says whether the update files are there.
    void warnsWhileItRunsAndSaysAtIdleWhetherTheFilesAreThere()
    {
        Rig rig;
        writeFile(rig.dir, CODE_FILE, 3000, 1);
        QVERIFY(rig.dialog->start());
        rig.dialog->show();
        auto* warning = rig.child<QLabel>("busyWarning");
        QVERIFY(warning->isHidden());
        QCOMPARE(rig.journey(), QString::fromStdString(idleLine({DATABASE_FILE}).text));
        writeFile(rig.dir, DATABASE_FILE, 1000, 2);
        // The next look (once a second, on the simulator's clock) finds it.
        rig.virtualClock.sleepUntilUs(rig.virtualClock.nowUs() + DEVICE_RECHECK_INTERVAL_US);
        QTRY_COMPARE_WITH_TIMEOUT(rig.journey(), qs(windowtext::IDLE_READY), JOB_TIMEOUT_MS);

        QSignalSpy finished(rig.dialog.get(), &UpdaterDialog::jobFinished);
        rig.gate->arm(); // the job waits at its first open
        rig.dialog->startUpdate();
        QVERIFY(warning->isVisible());
        QCOMPARE(warning->text(), qs(windowtext::BUSY_WARNING));
        const QFontMetrics metrics(warning->font());
        QVERIFY(metrics.horizontalAdvance(warning->text()) <= warning->contentsRect().width());
        // Between the buttons, overlapping neither.
        QVERIFY(!warning->geometry().intersects(rig.child<QPushButton>("flashButton")->geometry()));
        QVERIFY(
            !warning->geometry().intersects(rig.child<QPushButton>("cancelButton")->geometry()));
        rig.gate->release();
        QVERIFY(finished.wait(JOB_TIMEOUT_MS));
        QVERIFY(warning->isHidden());
    }

    // A logout's SIGTERM (or a kill) while nothing runs ends the window at once, with the
    // signal's status.
    void aSignalWhileIdleEndsTheWindow()
    {
        Rig rig;
        QVERIFY(rig.dialog->start());
        rig.dialog->show();
        QSignalSpy finished(rig.dialog.get(), &QDialog::finished);
        rig.stops.post(terminateSignal());
        QVERIFY(finished.wait(JOB_TIMEOUT_MS));
        QCOMPARE(finished.first().first().toInt(), 128 + terminateSignal());
        QVERIFY(!rig.dialog->isVisible());
    }

    // While a job runs the signal stops it between reports, the window says why and ends once the
    // job has.
    void aSignalDuringAJobStopsItBetweenReportsAndEndsTheWindow()
    {
        Rig rig;
        rig.writeSamples();
        QVERIFY(rig.dialog->start());
        rig.dialog->show();
        QSignalSpy finished(rig.dialog.get(), &QDialog::finished);
        QSignalSpy jobFinished(rig.dialog.get(), &UpdaterDialog::jobFinished);
        rig.gate->arm(); // the job waits at its first open
        rig.dialog->startUpdate();
        // Past the loading, whose wait for freshly written files a stop ends at once.
        QTRY_VERIFY_WITH_TIMEOUT(rig.gate->holding(), JOB_TIMEOUT_MS);
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("quarvo-updater: stopped by SIGTERM; nothing was "
                                                "sent, the device is unchanged"));
        rig.stops.post(terminateSignal());
        // The window is still there: the job decides where it stops.
        QTest::qWait(200);
        QVERIFY(rig.dialog->isVisible());
        QVERIFY(rig.dialog->jobRunning());
        rig.gate->release();
        QVERIFY(finished.wait(JOB_TIMEOUT_MS));
        QCOMPARE(jobFinished.size(), 1);
        QCOMPARE(finished.first().first().toInt(), 128 + terminateSignal());
        QVERIFY(rig.device->traffic().empty());
    }

    void keepsTheComputerAwakeForTheJobOnly_data()
    {
        QTest::addColumn<SimScenario>("scenario");
        QTest::addColumn<bool>("withFiles");
        QTest::newRow("success") << SimScenario{} << true;
        QTest::newRow("device fails") << SimScenario{Fault::WriteFail, 3} << true;
        QTest::newRow("files missing") << SimScenario{} << false;
    }
    void keepsTheComputerAwakeForTheJobOnly()
    {
        QFETCH(SimScenario, scenario);
        QFETCH(bool, withFiles);
        Rig rig(scenario);
        if (withFiles)
            rig.writeSamples();
        QVERIFY(rig.dialog->start());
        QVERIFY(rig.logind.calls.empty());
        QSignalSpy finished(rig.dialog.get(), &UpdaterDialog::jobFinished);
        ModalCloser closer(true);
        rig.gate->arm(); // the job waits at its first open, with the system held by then
        rig.dialog->startUpdate();
        if (withFiles) {
            // Everything that would cut the write short, in block mode, once the files are in.
            QTRY_VERIFY_WITH_TIMEOUT(rig.dialog->keepingAwake(), JOB_TIMEOUT_MS);
            QVERIFY(rig.logind.calls == std::vector<std::string>{FULL_INHIBIT_CALL});
            QVERIFY(rig.logind.holding(0));
        }
        rig.gate->release();
        QVERIFY(finished.wait(JOB_TIMEOUT_MS));
        QVERIFY(!rig.dialog->keepingAwake());
        // Files that cannot be used end the job before anything is held.
        QCOMPARE(rig.logind.calls.size(), std::size_t{withFiles ? 1u : 0u});
        if (withFiles)
            QVERIFY(!rig.logind.holding(0));
    }

    void withoutASystemBusTheUpdateGoesOn()
    {
        Rig rig;
        rig.logind.available = false;
        rig.writeSamples();
        QVERIFY(rig.dialog->start());
        QSignalSpy finished(rig.dialog.get(), &UpdaterDialog::jobFinished);
        rig.dialog->startUpdate();
        QVERIFY(!rig.dialog->keepingAwake());
        QVERIFY(finished.wait(JOB_TIMEOUT_MS));
        QCOMPARE(rig.status(), qs(text::UPDATE_OK));
        QCOMPARE(rig.logind.calls.size(), std::size_t{1});
    }

    void aDeviceThatComesAndGoesIsFollowed()
    {
        Rig rig(SimScenario{Fault::Late, 1});
        QVERIFY(rig.dialog->start());
        QCOMPARE(rig.status(), qs(text::CONNECT_FAILED));
        // Plugged in at 1 s of the simulator's clock; seen by 2 s.
        rig.virtualClock.sleepUntilUs(2000000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.status(), qs(windowtext::CONNECT_OK), JOB_TIMEOUT_MS);
        rig.device->setConnected(false);
        rig.virtualClock.sleepUntilUs(3000000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.status(), qs(text::CONNECT_FAILED), JOB_TIMEOUT_MS);
        QVERIFY(rig.device->traffic().empty());
    }

    void aRefusedOpenDuringTheJobBringsTheAccessHelp()
    {
        Rig rig;
        rig.writeSamples();
        QVERIFY(rig.dialog->start());
        rig.device->setOpenRefused(true);
        QSignalSpy finished(rig.dialog.get(), &UpdaterDialog::jobFinished);
        ModalCloser closer(true);
        rig.dialog->startUpdate();
        QVERIFY(finished.wait(JOB_TIMEOUT_MS));
        QCOMPARE(closer.texts, QStringList{qs(ACCESS_HELP)});
        QVERIFY(rig.device->traffic().empty());
    }

    void picturesKeepTheirOwnSizeWhateverTheFont_data()
    {
        QTest::addColumn<QFont>("font");
        QFont small = dialogFont();
        small.setPointSize(7);
        QFont large = dialogFont();
        large.setPointSize(14);
        QTest::newRow("7 pt") << small;
        QTest::newRow("14 pt") << large;
    }
    void picturesKeepTheirOwnSizeWhateverTheFont()
    {
        QFETCH(QFont, font);
        Rig rig({}, false, font);
        const DialogUnits units = DialogUnits::forFont(rig.dialog->font());
        auto* picture = rig.child<QLabel>("pictureLabel");
        QCOMPARE(picture->size(), QSize(550, 249));
        QCOMPARE(picture->pos(), QPoint(units.x(16), units.y(12)));
        // The dialog itself follows the font, so the two rows test two layouts.
        QCOMPARE(rig.dialog->size(), units.size(348, 214));
    }

    void unusableFileShowsItsMessageAndSendsNothing_data()
    {
        QTest::addColumn<int>("codeSize");
        QTest::addColumn<int>("databaseSize");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << -1 << -1 << qs(text::MISSING_DATABASE);
        QTest::newRow("empty code") << 0 << 100 << qs(text::EMPTY_CODE);
        QTest::newRow("empty database") << 100 << 0 << qs(text::EMPTY_DATABASE);
    }

    void unusableFileShowsItsMessageAndSendsNothing()
    {
        QFETCH(int, codeSize);
        QFETCH(int, databaseSize);
        QFETCH(QString, message);
        Rig rig;
        if (codeSize >= 0)
            writeFile(rig.dir, CODE_FILE, static_cast<std::size_t>(codeSize), 1);
        if (databaseSize >= 0)
            writeFile(rig.dir, DATABASE_FILE, static_cast<std::size_t>(databaseSize), 2);
        QVERIFY(rig.dialog->start());
        QSignalSpy finished(rig.dialog.get(), &UpdaterDialog::jobFinished);
        ModalCloser closer;
        rig.dialog->startUpdate();
        QVERIFY(finished.wait(JOB_TIMEOUT_MS));
        QCOMPARE(closer.name, QStringLiteral("messageBox"));
        QCOMPARE(closer.text, message);
        // The detail says where the files belong: the folder searched, as a full path.
        const QStringList detail = closer.detail.split(QLatin1Char('\n'));
        QVERIFY2(detail.size() >= 2, qPrintable(closer.detail));
        QCOMPARE(detail[0], qs(windowtext::FILES_FOLDER));
        QCOMPARE(detail[1], QDir(rig.dir.path()).absolutePath());
        QCOMPARE(closer.title, QCoreApplication::applicationName());
        // Qt's own Traditional Chinese translations, and the dialog's face.
        QCOMPARE(closer.okText, qs(windowtext::ABOUT_OK));
        QCOMPARE(closer.face, rig.dialog->font().family());
        QCOMPARE(rig.device->linksOpened(), 1u); // the start-up probe only
        QVERIFY(rig.device->traffic().empty());
    }

    void systemCommandsOpenTheAboutBox_data()
    {
        QTest::addColumn<quint32>("command");
        QTest::addColumn<bool>("opens");
        QTest::newRow("16") << quint32{16} << true;
        QTest::newRow("17") << quint32{17} << true;
        QTest::newRow("31") << quint32{31} << true;
        QTest::newRow("0x10010") << quint32{0x10010} << true;
        QTest::newRow("0") << quint32{0} << false;
        QTest::newRow("32") << quint32{32} << false;
        QTest::newRow("close") << quint32{0xF060} << false;
    }
    void systemCommandsOpenTheAboutBox()
    {
        QFETCH(quint32, command);
        QFETCH(bool, opens);
        Rig rig;
        QVERIFY(rig.dialog->start());
        ModalCloser closer;
        QCOMPARE(rig.dialog->handleSystemCommand(command), opens);
        QCOMPARE(closer.name, opens ? QStringLiteral("aboutBox") : QString());
    }

    void aboutBoxShowsItsTexts()
    {
        Rig rig;
        QVERIFY(rig.dialog->start());
        QString version;
        QString title;
        QSize iconSize;
        QTimer::singleShot(50, [&] {
            QWidget* about = QApplication::activeModalWidget();
            QVERIFY(about);
            title = about->windowTitle();
            version = about->findChild<QLabel*>(QStringLiteral("versionLabel"))->text();
            iconSize = about->findChild<QLabel*>(QStringLiteral("iconLabel"))->size();
            QTest::keyClick(about, Qt::Key_Return);
        });
        rig.dialog->handleSystemCommand(ABOUT_COMMAND);
        QCOMPARE(iconSize, QSize(32, 32));
        QCOMPARE(title, qs(windowtext::ABOUT_TITLE));
        QCOMPARE(version, qs(windowtext::ABOUT_VERSION));
    }
};

QTEST_MAIN(AppTest)
#include "app_test.moc"
