#include "updater_app.h"

#include "frontend/window_texts.h"
#include "updater_dialog.h"

#include <QApplication>
#include <QIcon>

namespace quarvo {

int UpdaterApp::run()
{
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/quarvo/icon.png")));
    UpdaterDialog dialog(m_backend, ".", UPDATER_GUARD_NAME, m_lockDirectory);
    if (!dialog.start())
        return 1;
    dialog.exec();
    return 0;
}

} // namespace quarvo
