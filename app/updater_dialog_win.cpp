// The window's Windows-only pieces: the About entry in the system menu and its command.
#include "updater_dialog.h"

#include "frontend/window_texts.h"

#include <windows.h>

namespace quarvo {

void UpdaterDialog::addAboutEntry()
{
    HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE);
    const std::wstring entry = QString::fromUtf8(windowtext::ABOUT_ENTRY).toStdWString();
    if (menu && !entry.empty()) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, ABOUT_COMMAND, entry.c_str());
    }
}

bool UpdaterDialog::nativeEvent(const QByteArray& eventType, void* message, qintptr* result)
{
    const MSG* msg = static_cast<const MSG*>(message);
    if (eventType == "windows_generic_MSG" && msg->message == WM_SYSCOMMAND &&
        handleSystemCommand(static_cast<quint32>(msg->wParam))) {
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}

} // namespace quarvo
