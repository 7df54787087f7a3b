#include "flasher_app.h"

#include "app_texts.h"
#include "flasher_dlg.h"

#include <QApplication>
#include <QIcon>

namespace quarvo {

int CFlasherApp::initInstance()
{
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/quarvo/icon.png")));
    CFlasherDlg dialog(m_backend, ".", UPDATER_GUARD_NAME);
    if (!dialog.onInitDialog())
        return 1;
    dialog.exec();
    return 0;
}

} // namespace quarvo
