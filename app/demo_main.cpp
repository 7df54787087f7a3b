// quarvo-updater-demo: the updater window against the simulated bootloader, on real time so that
// the progress can be watched. Not the updater: this one takes options.
//   --scenario NAME    a simulator scenario (default healthy)
//   --files DIR        the update files (default: generated samples)
//   --screenshot FILE  press the update button, save a picture of the window while the code is
//                      being written, let the update finish and quit
//   --about FILE       save a picture of the About box and quit
#include "frontend/window_texts.h"
#include "updater_dialog.h"

#include "job/flash_job.h"
#include "protocol/texts.h"
#include "sim/sim_backend.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <fstream>
#include <vector>

namespace {

void writeSample(const QString& path, std::size_t size, unsigned seed)
{
    std::vector<char> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(i * 7 + seed);
    std::ofstream(path.toStdString(), std::ios::binary).write(data.data(), static_cast<long>(size));
}

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QString scenarioName = QStringLiteral("healthy");
    QString filesDir;
    QString screenshot;
    QString aboutShot;
    const QStringList args = QApplication::arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--scenario"))
            scenarioName = args[i + 1];
        else if (args[i] == QLatin1String("--files"))
            filesDir = args[i + 1];
        else if (args[i] == QLatin1String("--screenshot"))
            screenshot = args[i + 1];
        else if (args[i] == QLatin1String("--about"))
            aboutShot = args[i + 1];
    }
    const auto scenario = quarvo::parseScenario(scenarioName.toStdString());
    if (!scenario) {
        std::fprintf(stderr, "unknown scenario\n");
        return 2;
    }

    QTemporaryDir samples;
    if (filesDir.isEmpty()) {
        filesDir = samples.path();
        writeSample(QDir(filesDir).filePath(quarvo::CODE_FILE), 96 * 1024, 1);
        writeSample(QDir(filesDir).filePath(quarvo::DATABASE_FILE), 32 * 1024, 2);
    }

    quarvo::SteadyClock clock;
    quarvo::SimBackend backend(clock);
    quarvo::SimTiming timing;
    timing.sectorEraseUs = 20000;
    timing.reportUs = 250;
    quarvo::attachBootloader(backend, *scenario, timing);

    quarvo::UpdaterDialog dialog(backend, filesDir.toStdString(), "GPS_UPDATE_CLIENT_DEMO");
    if (!dialog.start())
        return 1;
    if (!screenshot.isEmpty()) {
        auto* progress = dialog.findChild<QProgressBar*>(QStringLiteral("progressBar"));
        auto* status = dialog.findChild<QLabel*>(QStringLiteral("statusLabel"));
        QTimer::singleShot(300, &dialog, [&dialog] { dialog.startUpdate(); });
        auto* poll = new QTimer(&dialog);
        QObject::connect(poll, &QTimer::timeout, &dialog, [=, &dialog] {
            if (status->text() == QString::fromUtf8(quarvo::text::WRITING) &&
                progress->value() * 2 >= progress->maximum()) {
                poll->stop();
                dialog.grab().save(screenshot);
            }
        });
        poll->start(20);
        QObject::connect(&dialog, &quarvo::UpdaterDialog::jobFinished, &dialog, [&dialog] {
            QTimer::singleShot(300, &dialog, [&dialog] { dialog.accept(); });
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
