#include "updater_app.h"

#include "dialog_units.h"
#include "platform/process_stops.h"
#include "platform/system_hold.h"
#include "updater_dialog.h"

#include "frontend/access_help.h"
#include "frontend/history.h"
#include "platform/udev_rule.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QTranslator>

namespace quarvo {

bool prepareApplication(QTranslator& translator)
{
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/quarvo/icon.png")));
    QApplication::setFont(dialogFont());
    const bool loaded = translator.load(QStringLiteral("qtbase_zh_TW"),
                                        QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    if (loaded)
        QCoreApplication::installTranslator(&translator);
    else
        qWarning("quarvo-updater: Qt's Traditional Chinese translations are not installed; "
                 "standard buttons will read in English");
    return loaded;
}

int UpdaterApp::run()
{
    QTranslator translator;
    prepareApplication(translator);
    UpdaterDialogOptions options;
    options.instanceName = UPDATER_GUARD_NAME;
    options.lockDirectory = m_lockDirectory;
    ProcessStops stops;
    options.stops = &stops;
    options.historyFile = defaultHistoryFile();
#if defined(__linux__)
    LogindBus logind;
    options.accessHelp = linuxAccessHelp(installedUdevRule());
    options.sleepBus = &logind;
#endif
    UpdaterDialog dialog(m_backend, m_directory, std::move(options));
    if (!dialog.start())
        return 1;
    // 128 + N when signal N ended the window (a job it ran stopped between reports).
    const int result = dialog.exec();
    return result >= 128 ? result : 0;
}

} // namespace quarvo
