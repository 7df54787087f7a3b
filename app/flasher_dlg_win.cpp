// The window's Windows-only pieces: the About entry in the system menu and its command, and the
// named mutex that keeps a second instance from running.
#include "flasher_dlg.h"

#include "app_texts.h"

#include <windows.h>

namespace quarvo {

void CFlasherDlg::addAboutEntry()
{
    HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE);
    const std::wstring entry = QString::fromUtf8(apptext::ABOUT_ENTRY).toStdWString();
    if (menu && !entry.empty()) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, apptext::ABOUT_COMMAND, entry.c_str());
    }
}

bool CFlasherDlg::nativeEvent(const QByteArray& eventType, void* message, qintptr* result)
{
    const MSG* msg = static_cast<const MSG*>(message);
    if (eventType == "windows_generic_MSG" && msg->message == WM_SYSCOMMAND &&
        onSysCommand(static_cast<quint32>(msg->wParam))) {
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}

InstanceGuard::~InstanceGuard()
{
    if (m_handle)
        CloseHandle(m_handle);
}

InstanceGuard::Result InstanceGuard::acquire()
{
    const std::wstring name = QString::fromStdString(m_name).toStdWString();
    HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
    if (!mutex)
        return Result::Unavailable;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return Result::AlreadyRunning;
    }
    m_handle = mutex;
    return Result::Acquired;
}

} // namespace quarvo
