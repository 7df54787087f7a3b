// The updater window on the offscreen platform, with the simulated bootloader handed to it.
#include "frontend/window_texts.h"
#include "app/updater_dialog.h"

#include "job/flash_job.h"
#include "protocol/texts.h"
#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fstream>
#include <memory>

using namespace quarvo;

Q_DECLARE_METATYPE(quarvo::SimScenario)

namespace {

constexpr int JOB_TIMEOUT_MS = 60000;

void writeFile(const QTemporaryDir& dir, const char* name, std::size_t size, unsigned seed)
{
    std::vector<char> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(i * 13 + seed);
    std::ofstream(dir.filePath(name).toStdString(), std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(size));
}

// The dialog over one simulated bootloader and a scratch directory for the update files.
struct Rig {
    explicit Rig(SimScenario scenario = {}, bool slow = false)
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
        dialog =
            std::make_unique<UpdaterDialog>(*backend, dir.path().toStdString(), instanceName());
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
    std::unique_ptr<SimBackend> backend;
    SimDevice* device = nullptr;
    std::unique_ptr<UpdaterDialog> dialog;
};

// Closes the next modal window that opens and tells what it was.
struct ModalCloser {
    ModalCloser()
    {
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            name = modal->objectName();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                text = box->text();
                title = box->windowTitle();
            }
            modal->close();
            timer.stop();
        });
        timer.start();
    }
    QTimer timer;
    QString name;
    QString text;
    QString title;
};

QString qs(const char* utf8) { return QString::fromUtf8(utf8); }

} // namespace

class AppTest : public QObject {
    Q_OBJECT
private slots:
    void probeShowsTheConnection_data()
    {
        QTest::addColumn<SimScenario>("scenario");
        QTest::addColumn<QString>("status");
        QTest::newRow("present") << SimScenario{} << qs(windowtext::CONNECT_OK);
        QTest::newRow("absent") << SimScenario{Fault::Absent, 0} << qs(text::CONNECT_FAILED);
        QTest::newRow("refused") << SimScenario{Fault::OpenRefused, 0} << qs(text::CONNECT_FAILED);
    }
    void probeShowsTheConnection()
    {
        QFETCH(SimScenario, scenario);
        QFETCH(QString, status);
        Rig rig(scenario);
        QVERIFY(rig.dialog->start());
        QCOMPARE(rig.status(), status);
        QVERIFY(!rig.device->linkOpen());
        QVERIFY(rig.device->traffic().empty());
        QVERIFY(rig.child<QPushButton>("flashButton")->isEnabled());
    }

    void anotherInstanceIsToldAndTheDialogNeverShown()
    {
        InstanceGuard running(Rig::instanceName());
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

    void closingIsRefusedDuringAJobAndWorksAfterIt()
    {
        Rig rig({}, true);
        rig.writeSamples();
        QVERIFY(rig.dialog->start());
        rig.dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(rig.dialog.get()));
        QSignalSpy finished(rig.dialog.get(), &UpdaterDialog::jobFinished);
        rig.dialog->startUpdate();

        rig.dialog->reject();
        rig.dialog->accept();
        QVERIFY(!rig.dialog->close());
        QTest::keyClick(rig.dialog.get(), Qt::Key_Escape);
        QTest::mouseClick(rig.child<QPushButton>("cancelButton"), Qt::LeftButton);
        QVERIFY(rig.dialog->isVisible());

        QVERIFY(finished.wait(JOB_TIMEOUT_MS));
        QCOMPARE(rig.status(), qs(text::UPDATE_OK));
        QVERIFY(rig.dialog->close());
        QVERIFY(!rig.dialog->isVisible());
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
        QCOMPARE(closer.name, QStringLiteral("jobMessageBox"));
        QCOMPARE(closer.text, message);
        QCOMPARE(closer.title, QCoreApplication::applicationName());
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
        QTimer::singleShot(50, [&] {
            QWidget* about = QApplication::activeModalWidget();
            QVERIFY(about);
            title = about->windowTitle();
            version = about->findChild<QLabel*>(QStringLiteral("versionLabel"))->text();
            QTest::keyClick(about, Qt::Key_Return);
        });
        rig.dialog->handleSystemCommand(ABOUT_COMMAND);
        QCOMPARE(title, qs(windowtext::ABOUT_TITLE));
        QCOMPARE(version, qs(windowtext::ABOUT_VERSION));
    }
};

QTEST_MAIN(AppTest)
#include "app_test.moc"
