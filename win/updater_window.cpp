#include "updater_window.h"

#include "resource_ids.h"

#include "frontend/window_texts.h"
#include "hid/text_encoding.h"
#include "protocol/texts.h"

#include <commctrl.h>
#include <shobjidl.h>

#include <algorithm>

namespace quarvo {
namespace {

// Posted by the session's worker to have the window's thread run its handed-over calls.
constexpr UINT WM_RUN_PENDING_CALLS = WM_APP + 1;
// The timer that ticks the session's device re-checks.
constexpr UINT_PTR RECHECK_TIMER = 1;
// The dialog's result when the guard refused: another updater runs, or none could be ruled out.
constexpr INT_PTR GUARD_REFUSED_RESULT = -2;

std::wstring wide(const std::string& text)
{
    const std::u16string utf16 = utf16FromUtf8(text);
    return std::wstring(utf16.begin(), utf16.end());
}

// What the window could not do but goes on without (the system's holds, a box), for whoever
// follows it in a debugger or DebugView.
void trace(const std::string& text)
{
    OutputDebugStringW(wide("quarvo-updater: " + text + "\n").c_str());
}

// A box with one OK button over `owner`, titled with the application's name.
void showBox(HWND owner, const std::string& text)
{
    if (MessageBoxW(owner, wide(text).c_str(), applicationName().c_str(), MB_OK) == 0)
        trace("message box not shown (error " + std::to_string(GetLastError()) + "): " + text);
}

HICON loadIcon(int sizeMetric)
{
    const int size = GetSystemMetrics(sizeMetric);
    return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr),
                                         MAKEINTRESOURCEW(IDI_APPLICATION_ICON), IMAGE_ICON, size,
                                         size, LR_DEFAULTCOLOR));
}

INT_PTR CALLBACK aboutProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(window, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

} // namespace

std::wstring applicationName()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path, length);
    const std::size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        name.erase(0, slash + 1);
    const std::size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos)
        name.erase(dot);
    return name;
}

UpdaterWindow::UpdaterWindow(HidBackend& backend, std::filesystem::path directory,
                             std::string instanceName)
    : m_guard(std::move(instanceName)), m_session(backend, std::move(directory), *this)
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    // The taskbar button's progress; without COM or the interface the button shows none.
    if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) &&
        FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                reinterpret_cast<void**>(&m_taskbar))))
        m_taskbar = nullptr;
}

UpdaterWindow::~UpdaterWindow()
{
    if (m_window && !m_modal)
        DestroyWindow(m_window);
    if (m_taskbar)
        m_taskbar->Release();
    if (m_bigIcon)
        DestroyIcon(m_bigIcon);
    if (m_smallIcon)
        DestroyIcon(m_smallIcon);
}

int UpdaterWindow::run()
{
    m_modal = true;
    const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_UPDATER),
                                           nullptr, dialogProc, reinterpret_cast<LPARAM>(this));
    m_window = nullptr;
    return result == GUARD_REFUSED_RESULT ? 1 : 0;
}

HWND UpdaterWindow::create()
{
    m_modal = false;
    CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_UPDATER), nullptr,
                       dialogProc, reinterpret_cast<LPARAM>(this));
    return m_window;
}

INT_PTR CALLBACK UpdaterWindow::dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        reinterpret_cast<UpdaterWindow*>(lParam)->m_window = window;
    }
    auto* self = reinterpret_cast<UpdaterWindow*>(GetWindowLongPtrW(window, DWLP_USER));
    return self ? self->handle(message, wParam, lParam) : FALSE;
}

INT_PTR UpdaterWindow::handle(UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        if (!initialise())
            close(GUARD_REFUSED_RESULT);
        return TRUE; // the focus goes to the first tab stop, 取消
    case WM_QUERYENDSESSION:
        // A logoff, shutdown or restart would cut the write and leave the device without a
        // working program: refused while a job runs.
        SetWindowLongPtrW(m_window, DWLP_MSGRESULT, m_session.jobRunning() ? FALSE : TRUE);
        return TRUE;
    case WM_ENDSESSION:
        // TRUE: the session ends after this message whatever was answered (a forced end); FALSE:
        // it goes on, and so does the window.
        if (wParam) {
            HWND window = m_window;
            endForSession();
            if (IsWindow(window))
                SetWindowLongPtrW(window, DWLP_MSGRESULT, 0);
        }
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_UPDATE && HIWORD(wParam) == BN_CLICKED) {
            m_session.startUpdate();
            return TRUE;
        }
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            // Every way of ending the dialog (取消, Enter, Esc, the close box, Alt+F4) waits for
            // the job, and a request while it runs is answered with a box.
            if (m_session.requestClose())
                close(LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    case WM_TIMER:
        if (wParam != RECHECK_TIMER)
            return FALSE;
        m_session.tick();
        return TRUE;
    case WM_SYSCOMMAND:
        if (UpdaterSession::opensAbout(static_cast<unsigned>(wParam))) {
            DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUT), m_window,
                            aboutProc, 0);
            return TRUE;
        }
        return FALSE;
    case WM_RUN_PENDING_CALLS:
        m_session.runPendingCalls();
        return TRUE;
    default:
        return FALSE;
    }
}

bool UpdaterWindow::takeGuard()
{
    const InstanceGuard::Result result = m_guard.acquire();
    if (result == InstanceGuard::Result::Acquired)
        return true;
    showBox(m_window, result == InstanceGuard::Result::AlreadyRunning
                          ? std::string(ALREADY_RUNNING_TEXT)
                          : std::string(GUARD_UNAVAILABLE_TEXT) + "\n" + m_guard.obstacle());
    return false;
}

bool UpdaterWindow::initialise()
{
    if (!takeGuard())
        return false;
    if (HMENU menu = GetSystemMenu(m_window, FALSE)) {
        wchar_t entry[64] = {};
        if (LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUT_ENTRY, entry, 64) > 0) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(menu, MF_STRING, ABOUT_COMMAND, entry);
        }
    }
    m_bigIcon = loadIcon(SM_CXICON);
    m_smallIcon = loadIcon(SM_CXSMICON);
    SendMessageW(m_window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_bigIcon));
    SendMessageW(m_window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon));
    m_session.checkDevice();
    // Without the timer the status keeps the start-up check's answer; nothing else depends on it.
    SetTimer(m_window, RECHECK_TIMER, DEVICE_RECHECK_TICK_MS, nullptr);
    return true;
}

void UpdaterWindow::close(int result)
{
    KillTimer(m_window, RECHECK_TIMER);
    if (m_modal) {
        EndDialog(m_window, result);
    } else {
        DestroyWindow(m_window);
        m_window = nullptr;
    }
}

void UpdaterWindow::endForSession()
{
    // The process may be ended at any moment after this message: the job is stopped before its
    // next report (the device then holds whole reports only) and waited for, within its bound.
    if (m_session.jobRunning() && !m_session.stopJob())
        trace("the update did not stop within " + std::to_string(JOB_STOP_TIMEOUT_MS) + " ms");
    close(IDCANCEL);
}

void UpdaterWindow::showStatus(const std::string& text)
{
    SetDlgItemTextW(m_window, IDC_STATUS, wide(text).c_str());
}

void UpdaterWindow::showProgress(std::uint16_t maximum, std::uint32_t position)
{
    SendDlgItemMessageW(m_window, IDC_PROGRESS, PBM_SETRANGE32, 0, maximum == 0 ? 1 : maximum);
    SendDlgItemMessageW(m_window, IDC_PROGRESS, PBM_SETPOS, position, 0);
}

void UpdaterWindow::showJourney(const JourneyLine& line)
{
    SetDlgItemTextW(m_window, IDC_JOURNEY, wide(line.text).c_str());
    m_journeyTone = line.tone;
    InvalidateRect(GetDlgItem(m_window, IDC_JOURNEY), nullptr, TRUE);
    // The taskbar button shows the whole update as one bar, in the error state after a failure.
    if (!m_taskbar)
        return;
    const ULONGLONG scale = 1000;
    switch (line.tone) {
    case JourneyTone::Running:
    case JourneyTone::Waiting:
        m_taskbar->SetProgressState(m_window,
                                    line.tone == JourneyTone::Waiting ? TBPF_PAUSED : TBPF_NORMAL);
        m_taskbar->SetProgressValue(m_window, static_cast<ULONGLONG>(line.overall * scale), scale);
        break;
    case JourneyTone::Failure:
        m_taskbar->SetProgressState(m_window, TBPF_ERROR);
        break;
    case JourneyTone::Idle:
    case JourneyTone::Success:
        m_taskbar->SetProgressState(m_window, TBPF_NOPROGRESS);
        break;
    }
}

void UpdaterWindow::showMessageBox(const std::string& text, const std::string& detail)
{
    showBox(m_window, detail.empty() ? text : text + "\n\n" + detail);
}

void UpdaterWindow::closeMessageBox()
{
    // The innermost box the dialog owns: a message box is a dialog of the system's class.
    HWND box = nullptr;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM found) -> BOOL {
            wchar_t name[16] = {};
            GetClassNameW(window, name, 16);
            if (IsWindowVisible(window) && std::wstring(name) == L"#32770")
                *reinterpret_cast<HWND*>(found) = window;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&box));
    if (box && GetWindow(box, GW_OWNER) == m_window)
        PostMessageW(box, WM_COMMAND, IDOK, 0);
}

void UpdaterWindow::jobStarted()
{
    // The focus leaves the buttons before they are disabled, so that Esc and Alt+F4 still reach
    // the dialog.
    SetFocus(m_window);
    EnableWindow(GetDlgItem(m_window, IDC_UPDATE), FALSE);
    EnableWindow(GetDlgItem(m_window, IDOK), FALSE);
    // Until the update has ended the computer stays awake and the session is not to end; without
    // these the update goes on all the same (wine, for one, has no shutdown reasons).
    if (const std::string warning = m_systemHold.take(); !warning.empty())
        trace(warning);
    m_shutdownReasonSet = ShutdownBlockReasonCreate(m_window, SHUTDOWN_BLOCK_REASON) != FALSE;
    if (!m_shutdownReasonSet)
        trace("no reason on the shutdown screen: ShutdownBlockReasonCreate failed (error " +
              std::to_string(GetLastError()) + ")");
}

void UpdaterWindow::jobEnded(const JobEnd&)
{
    m_systemHold.release();
    if (m_shutdownReasonSet && !ShutdownBlockReasonDestroy(m_window))
        trace("ShutdownBlockReasonDestroy failed (error " + std::to_string(GetLastError()) + ")");
    m_shutdownReasonSet = false;
    EnableWindow(GetDlgItem(m_window, IDC_UPDATE), TRUE);
    EnableWindow(GetDlgItem(m_window, IDOK), TRUE);
    if (GetFocus() == m_window || !GetFocus())
        SendMessageW(m_window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(m_window, IDOK)),
                     TRUE);
    if (m_jobEndedCallback)
        m_jobEndedCallback();
}

void UpdaterWindow::wakeWindowThread()
{
    // Fails when the window is gone (it is being destroyed, and the session's end releases the
    // worker) or its queue is full.
    if (!PostMessageW(m_window, WM_RUN_PENDING_CALLS, 0, 0))
        trace("window not woken (error " + std::to_string(GetLastError()) + ")");
}

} // namespace quarvo
