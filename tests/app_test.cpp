// The updater window on the offscreen platform, with the simulated bootloader handed to it.
#include "frontend/window_texts.h"
#include "app/updater_app.h"
#include "app/dialog_units.h"
#include "app/updater_dialog.h"
#include "fake_logind.h"

#include "job/flash_job.h"
#include "protocol/texts.h"
#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>

#include <poll.h>
#include <unistd.h>

using namespace quarvo;

Q_DECLARE_METATYPE(quarvo::SimScenario)

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
        m_changed.wait_for(lock, std::chrono::milliseconds(JOB_TIMEOUT_MS),
                           [this] { return !m_armed; });
        lock.unlock();
        return m_inner.open(path, error);
    }
    Clock& clock() override { return m_inner.clock(); }
    void arm()
    {
        const std::lock_guard lock(m_mutex);
        m_armed = true;
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
};

void writeFile(const QTemporaryDir& dir, const char* name, std::size_t size, unsigned seed)
{
    std::vector<char> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(i * 13 + seed);
    std::ofstream(dir.filePath(name).toStdString(), std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(size));
}

// The dialog over one simulated bootloader (behind a gate) and a scratch directory for the
// update files.
struct Rig {
    explicit Rig(SimScenario scenario = {}, bool slow = false,
                 std::optional<QFont> font = std::nullopt, std::string lockDirectory = {})
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
        options.accessHelp = ACCESS_HELP;
        options.sleepBus = &logind;
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

    VirtualClock virtualClock;
    SteadyClock steadyClock;
    QTemporaryDir dir;
    FakeLogind logind;
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
                title = box->windowTitle();
                texts.append(text);
                if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                    okText = ok->text();
                face = box->font().family();
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
    QString title;
    QString okText;
    QString face;
    QStringList texts;
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
        QCOMPARE(menu->actions().size(), 1);
        QCOMPARE(menu->actions().constFirst()->text(), qs(windowtext::ABOUT_ENTRY));
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
        // Controls keep the template's arrangement: picture above bar above status above buttons.
        const int pictureBottom = rig.child<QLabel>("pictureLabel")->geometry().bottom();
        const QRect bar = rig.child<QProgressBar>("progressBar")->geometry();
        const QRect status = rig.child<QLabel>("statusLabel")->geometry();
        QVERIFY(pictureBottom < bar.top());
        QVERIFY(bar.bottom() < status.top());
        QVERIFY(status.bottom() < flash->geometry().top());
        QVERIFY(flash->geometry().right() < cancel->geometry().left());
        QCOMPARE(rig.child<QLabel>("pictureLabel")->pixmap().size(), QSize(550, 249));

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
        QVERIFY(rig.device->restarted());
        QCOMPARE(rig.device->unerasedWriteCount(), std::size_t{0});
        const auto header = rig.device->flash(IMAGE_HEADER_ADDRESS, 24);
        QCOMPARE(loadLe32(header.data()), IMAGE_MAGIC);
        QCOMPARE(loadLe32(header.data() + 20), 3000u);
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
        // The job cannot end before this thread carries out its calls.
        rig.dialog->startUpdate();
        // Everything that would cut the write short, in block mode.
        QVERIFY(rig.logind.calls == std::vector<std::string>{FULL_INHIBIT_CALL});
        QVERIFY(rig.logind.holding(0));
        QVERIFY(rig.dialog->keepingAwake());
        QVERIFY(finished.wait(JOB_TIMEOUT_MS));
        QVERIFY(!rig.logind.holding(0));
        QVERIFY(!rig.dialog->keepingAwake());
        QCOMPARE(rig.logind.calls.size(), std::size_t{1});
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
