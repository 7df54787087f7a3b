// quarvo-updater-demo: the updater window against the simulated bootloader, on real time so that
// the progress can be watched. Not the updater: this one takes options.
//   --scenario NAME    a simulator scenario (default healthy)
//   --files DIR        the update files (default: generated samples, which the demo writes
//                      whole just before it starts and so has the job take as settled)
//   --fresh-files      the generated samples count as just written, as a copy still landing
//                      would: the update begins with the wait for them to settle
//   --pace ERASE,REPORT  the simulated device's pace in milliseconds per erased sector and per
//                      report (default 20,0.25)
//   --screenshot FILE  press the update button, save a picture of the window half way through
//                      writing the code, let the update finish and quit
//   --end-shot FILE    press the update button, save a picture of the window once the update has
//                      ended (with --scenario write-fail:N, say, after a failure) and quit
//   --shot-at MS FILE  press the update button and save a picture of the window MS milliseconds
//                      later; may be given more than once (a silent device's countdown, say). The
//                      demo quits after the last picture, stopping an update that still runs
//   --idle-shot FILE   save a picture of the window at rest, without pressing anything, and quit
//   --dismiss-boxes    answer every message box with OK once it has been open for a moment,
//                      printing its text (with --scenario open-refused: the access help at start-up
//                      and after the update)
//   --about FILE       save a picture of the About box and quit
//   --menu-shot FILE   press the update button; once the update has ended, open the context menu
//                      where a right-click in the window opens it, save a picture of the screen's
//                      part that holds the window and the menu, choose 複製最近一次更新紀錄, answer
//                      the box that says it was copied, print "record copied" and stay (the
//                      clipboard's owner) until closed, for at most a minute
//   --box-shot KIND FILE
//                      save a picture of the whole screen (window manager included) while a
//                      message box is open, dismiss it and quit. KIND: closing (a close request
//                      during an update), access (a bootloader that refuses the open; use
//                      --scenario open-refused) or missing (update files not found; use --files
//                      with an empty directory)
// A window that a window manager has framed is saved with its frame, at the screen's pixels
// (QT_SCALE_FACTOR=1.5 gives the window at 150 %).
// The samples are 512 KiB of code and 128 KiB of database. Their output reports, as
// `quarvo-flash --simulate --trace` shows for the same files: 1 the code's erase, 2 to 8198 its
// write, 8199 to 8204 the header, 8205 the database's erase, 8206 to 10258 its write, 10259 the
// restart; --scenario write-fail:N or disconnect:N fails in the one of them that N names.
#include "frontend/access_help.h"
#include "frontend/history.h"
#include "frontend/window_texts.h"
#include "updater_app.h"
#include "updater_dialog.h"

#include "job/flash_job.h"
#include "platform/input_file.h"
#include "platform/udev_rule.h"
#include "sim/sim_backend.h"
#include "sim/sim_pace.h"

#include <QApplication>
#include <QAction>
#include <QDir>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <fstream>
#include <memory>
#include <utility>
#include <vector>

namespace {

void writeSample(const QString& path, std::size_t size, unsigned seed)
{
    std::vector<char> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(i * 7 + seed);
    std::ofstream(path.toStdString(), std::ios::binary).write(data.data(), static_cast<long>(size));
}

// Once a message box has been up for a moment (the window manager has framed and drawn it),
// saves the whole screen to `file` and dismisses the box.
void shootFirstBox(QDialog& dialog, const QString& file)
{
    auto* poll = new QTimer(&dialog);
    QObject::connect(poll, &QTimer::timeout, &dialog, [poll, file, ticks = 0]() mutable {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || ++ticks < 15)
            return;
        poll->stop();
        QGuiApplication::primaryScreen()->grabWindow(0).save(file);
        box->accept();
    });
    poll->start(50);
}

// Saves the window as the screen shows it: with the window manager's frame when it has one.
void saveWindow(QWidget& window, const QString& file)
{
    const QRect frame = window.frameGeometry();
    if (frame == window.geometry()) {
        window.grab().save(file);
        return;
    }
    QGuiApplication::primaryScreen()
        ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
        .save(file);
}

// Answers every message box with OK once it has been open for a moment (the window manager has
// framed it), printing its text so that the run shows which boxes came.
void dismissBoxes(QDialog& dialog)
{
    auto* poll = new QTimer(&dialog);
    QObject::connect(poll, &QTimer::timeout, &dialog, [ticks = 0]() mutable {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) {
            ticks = 0;
            return;
        }
        if (++ticks < 15)
            return;
        ticks = 0;
        std::fprintf(stderr, "box dismissed: %s\n", qPrintable(box->text()));
        box->accept();
    });
    poll->start(50);
}

// Once the job has ended, gives the window a moment to draw its end, saves it and ends the demo.
void shootTheEnd(quarvo::UpdaterDialog& dialog, const QString& file)
{
    QObject::connect(&dialog, &quarvo::UpdaterDialog::jobFinished, &dialog, [&dialog, file] {
        QTimer::singleShot(500, &dialog, [&dialog, file] {
            saveWindow(dialog, file);
            dialog.accept();
        });
    });
}

// The latest a --shot-at picture may be asked for: an hour after the press.
constexpr int MAX_SHOT_MS = 3600000;
// How long the context menu is open before its picture (the window manager has drawn it), and how
// long the demo stays the clipboard's owner after the copy, for a paste elsewhere.
constexpr int MENU_SHOWN_MS = 800;
constexpr int COPY_HOLD_MS = 60000;

// Once the update has ended: the context menu opened as a right-click in the window opens it, a
// picture of the window and the menu, then the copy entry chosen as a click on it would.
void shootMenuAndCopy(quarvo::UpdaterDialog& dialog, const QString& file)
{
    QObject::connect(&dialog, &quarvo::UpdaterDialog::jobFinished, &dialog, [&dialog, file] {
        QTimer::singleShot(500, &dialog, [&dialog, file] {
            emit dialog.customContextMenuRequested(QPoint(dialog.width() / 2, dialog.height() / 3));
            QTimer::singleShot(MENU_SHOWN_MS, &dialog, [&dialog, file] {
                auto* menu = dialog.findChild<QMenu*>(QStringLiteral("contextMenu"));
                auto* copy =
                    menu ? menu->findChild<QAction*>(QStringLiteral("copyRecordAction")) : nullptr;
                if (!menu || !copy || !menu->isVisible()) {
                    std::fprintf(stderr, "the context menu with the copy entry did not open\n");
                    QCoreApplication::exit(1);
                    return;
                }
                const QRect area = dialog.frameGeometry().united(menu->geometry());
                QGuiApplication::primaryScreen()
                    ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                    .save(file);
                menu->hide();
                copy->trigger(); // returns once the box that says so has been answered
                std::printf("record copied\n");
                std::fflush(stdout);
                QTimer::singleShot(COPY_HOLD_MS, &dialog, [] { QCoreApplication::exit(0); });
            });
        });
    });
    QTimer::singleShot(300, &dialog, [&dialog] { dialog.startUpdate(); });
}

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QTranslator translator;
    quarvo::prepareApplication(translator);
    QString scenarioName = QStringLiteral("healthy");
    QString filesDir;
    QString paceText;
    QString screenshot;
    QString endShot;
    QString aboutShot;
    QString boxKind;
    QString boxShot;
    QString idleShot;
    QString menuShot;
    bool freshFiles = false;
    std::vector<std::pair<int, QString>> timedShots; // milliseconds after the press, file
    bool dismiss = false;
    const QStringList args = QApplication::arguments();
    for (int i = 1; i < args.size();) {
        const QString option = args[i++];
        if (option == QLatin1String("--dismiss-boxes")) {
            dismiss = true;
            continue;
        }
        if (option == QLatin1String("--fresh-files")) {
            freshFiles = true;
            continue;
        }
        const bool two =
            option == QLatin1String("--box-shot") || option == QLatin1String("--shot-at");
        if (i + (two ? 2 : 1) > args.size())
            break;
        const QString value = args[i++];
        const QString second = two ? args[i++] : QString();
        if (option == QLatin1String("--box-shot")) {
            boxKind = value;
            boxShot = second;
        } else if (option == QLatin1String("--shot-at")) {
            bool number = false;
            const int ms = value.toInt(&number);
            if (!number || ms < 0 || ms > MAX_SHOT_MS) {
                std::fprintf(stderr, "--shot-at takes milliseconds (up to an hour) and a file\n");
                return 2;
            }
            timedShots.emplace_back(ms, second);
        } else if (option == QLatin1String("--idle-shot"))
            idleShot = value;
        else if (option == QLatin1String("--scenario"))
            scenarioName = value;
        else if (option == QLatin1String("--files"))
            filesDir = value;
        else if (option == QLatin1String("--pace"))
            paceText = value;
        else if (option == QLatin1String("--screenshot"))
            screenshot = value;
        else if (option == QLatin1String("--end-shot"))
            endShot = value;
        else if (option == QLatin1String("--about"))
            aboutShot = value;
        else if (option == QLatin1String("--menu-shot"))
            menuShot = value;
    }
    const auto scenario = quarvo::parseScenario(scenarioName.toStdString());
    if (!scenario) {
        std::fprintf(stderr, "unknown scenario\n");
        return 2;
    }

    // Samples large enough that the update runs for some seconds; at --pace 20,1 (the plan's
    // own) the code's erase and its data each go on for over a second before half the code is
    // written, so the journey line shows the time left there.
    QTemporaryDir samples;
    const bool ownSamples = filesDir.isEmpty();
    if (ownSamples) {
        filesDir = samples.path();
        writeSample(QDir(filesDir).filePath(quarvo::CODE_FILE), 512 * 1024, 1);
        writeSample(QDir(filesDir).filePath(quarvo::DATABASE_FILE), 128 * 1024, 2);
    }

    quarvo::SteadyClock clock;
    quarvo::SimBackend backend(clock);
    quarvo::SimTiming timing;
    timing.sectorEraseUs = 20000;
    timing.reportUs = 250;
    if (!paceText.isEmpty()) {
        const auto pace = quarvo::parsePace(paceText.toStdString());
        if (!pace) {
            std::fprintf(stderr, "--pace takes ERASE,REPORT in milliseconds (as 20,1)\n");
            return 2;
        }
        timing = quarvo::withPace(timing, *pace);
    }
    quarvo::attachBootloader(backend, *scenario, timing);

    quarvo::UpdaterDialogOptions options;
    options.instanceName = "GPS_UPDATE_CLIENT_DEMO";
    options.accessHelp = quarvo::linuxAccessHelp(quarvo::installedUdevRule());
    options.holdSystem = false; // a simulated device: nothing to hold the computer back for
    options.historyFile = quarvo::defaultHistoryFile();
    options.simulated = true;
    // The samples were written whole just now: the job takes them as long settled (its file clock
    // an hour ahead) rather than wait for them to age, unless that wait is asked for.
    if (ownSamples && !freshFiles)
        options.loadHooks = quarvo::settledLoadHooks();
    quarvo::UpdaterDialog dialog(backend, filesDir.toStdString(), std::move(options));
    if (!boxShot.isEmpty()) {
        shootFirstBox(dialog, boxShot);
        dialog.show();
        QObject::connect(&dialog, &quarvo::UpdaterDialog::jobFinished, &dialog, [&dialog] {
            QTimer::singleShot(100, &dialog, [&dialog] { dialog.accept(); });
        });
        if (boxKind == QLatin1String("closing")) {
            // A close request while the update runs, as the close box would make it.
            QTimer::singleShot(300, &dialog, [&dialog] {
                dialog.startUpdate();
                QTimer::singleShot(200, &dialog, [&dialog] { dialog.close(); });
            });
        } else if (boxKind == QLatin1String("missing")) {
            QTimer::singleShot(300, &dialog, [&dialog] { dialog.startUpdate(); });
        } else if (boxKind != QLatin1String("access")) {
            // (The access help comes from the start-up check below.)
            std::fprintf(stderr, "unknown box: closing, access or missing\n");
            return 2;
        }
    }
    if (dismiss || !menuShot.isEmpty())
        dismissBoxes(dialog);
    if (!dialog.start())
        return 1;
    if (boxKind == QLatin1String("access"))
        return 0;
    if (!screenshot.isEmpty()) {
        // Half way through the code, as the journey line says.
        auto* progress = dialog.findChild<QProgressBar*>(QStringLiteral("progressBar"));
        QTimer::singleShot(300, &dialog, [&dialog] { dialog.startUpdate(); });
        auto* poll = new QTimer(&dialog);
        QObject::connect(poll, &QTimer::timeout, &dialog, [=, &dialog] {
            if (dialog.journeyLine().step == quarvo::UpdateStep::CodeWrite &&
                progress->value() * 2 >= progress->maximum()) {
                poll->stop();
                saveWindow(dialog, screenshot);
            }
        });
        poll->start(20);
        QObject::connect(&dialog, &quarvo::UpdaterDialog::jobFinished, &dialog, [&dialog] {
            QTimer::singleShot(300, &dialog, [&dialog] { dialog.accept(); });
        });
    } else if (!endShot.isEmpty()) {
        shootTheEnd(dialog, endShot);
        QTimer::singleShot(300, &dialog, [&dialog] { dialog.startUpdate(); });
    } else if (!timedShots.empty()) {
        constexpr int PRESS_MS = 300;
        QTimer::singleShot(PRESS_MS, &dialog, [&dialog] { dialog.startUpdate(); });
        auto left = std::make_shared<std::size_t>(timedShots.size());
        for (const auto& [ms, file] : timedShots) {
            // Precise: a coarse timer of some seconds may fire hundreds of milliseconds off, and
            // the pictures of a countdown are compared by their time apart.
            QTimer::singleShot(PRESS_MS + ms, Qt::PreciseTimer, &dialog, [&dialog, file, left] {
                saveWindow(dialog, file);
                // After the last picture every loop ends, the dialog's too, though an update may
                // still run: the dialog's end stops it (a silent device's wait included).
                if (--*left == 0)
                    QCoreApplication::exit(0);
            });
        }
    } else if (!menuShot.isEmpty()) {
        shootMenuAndCopy(dialog, menuShot);
    } else if (!idleShot.isEmpty()) {
        // After the start-up check and the first re-check, which may change the lines.
        QTimer::singleShot(1500, &dialog, [&dialog, idleShot] {
            saveWindow(dialog, idleShot);
            dialog.accept();
        });
    }
    if (!aboutShot.isEmpty()) {
        QTimer::singleShot(300, &dialog, [&dialog, aboutShot] {
            QTimer::singleShot(300, &dialog, [aboutShot] {
                QWidget* about = QApplication::activeModalWidget();
                about->grab().save(aboutShot);
                about->close();
            });
            dialog.handleSystemCommand(quarvo::ABOUT_COMMAND);
            dialog.accept();
        });
    }
    dialog.exec();
    return 0;
}
