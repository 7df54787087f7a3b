#include "updater_window.h"

#include "png_picture.h"
#include "resource_ids.h"
#include "tone_icon.h"

#include "frontend/window_texts.h"
#include "hid/text_encoding.h"
#include "protocol/texts.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace quarvo {
namespace {

// Posted by the session's worker to have the window's thread run its handed-over calls.
constexpr UINT WM_RUN_PENDING_CALLS = WM_APP + 1;
// Posted after the system has rescaled the dialog for another DPI, to draw the picture anew.
constexpr UINT WM_FIT_PICTURE = WM_APP + 2;
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

// The window's title, the caption of its message boxes.
std::wstring windowTitle(HWND window)
{
    wchar_t title[128] = {};
    if (window && GetWindowTextW(window, title, 128) > 0)
        return title;
    return wide(windowtext::DIALOG_TITLE);
}

// The message box that a showBox call is waiting for, found as the system creates it: a dialog
// of the system's class owned by the updater's dialog. Boxes open inside one another, each call
// with its own watch; the innermost is the current one.
struct BoxWatch {
    HWND owner = nullptr;
    std::vector<HWND>* openBoxes = nullptr;
    HWND box = nullptr;
};
thread_local BoxWatch* t_boxWatch = nullptr;

bool isDialogClass(LPCWSTR name)
{
    // The dialog class as the system names it: its atom, or the atom's text.
    constexpr ULONG_PTR DIALOG_ATOM = 0x8002;
    if (IS_INTRESOURCE(name))
        return reinterpret_cast<ULONG_PTR>(name) == DIALOG_ATOM;
    return std::wstring_view(name) == L"#32770";
}

LRESULT CALLBACK watchBoxCreation(int code, WPARAM wParam, LPARAM lParam)
{
    BoxWatch* watch = t_boxWatch;
    if (code == HCBT_CREATEWND && watch && !watch->box) {
        const CREATESTRUCTW* create = reinterpret_cast<CBT_CREATEWNDW*>(lParam)->lpcs;
        if (create->hwndParent == watch->owner && isDialogClass(create->lpszClass)) {
            watch->box = reinterpret_cast<HWND>(wParam);
            watch->openBoxes->push_back(watch->box);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// A function of a loaded system library that older versions of Windows lack; null there.
template <typename Function> Function systemFunction(const wchar_t* library, const char* name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(library), name)));
}

// The window's DPI: its monitor's where the system scales per monitor, else the system's.
UINT windowDpi(HWND window)
{
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    // Windows 10 (1607) and later; before it every monitor has the system's DPI.
    static const auto getDpiForWindow =
        systemFunction<GetDpiForWindowFunction>(L"user32.dll", "GetDpiForWindow");
    if (getDpiForWindow) {
        if (const UINT dpi = getDpiForWindow(window))
            return dpi;
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

// The work area (the screen without the taskbar) of the monitor that holds most of `window`.
RECT workArea(HWND window)
{
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor))
        return monitor.rcWork;
    RECT area{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return area;
}

// Moves `window` so that it is centred on `around`, kept inside its monitor's work area.
void centreOn(HWND window, const RECT& around)
{
    RECT own{};
    GetWindowRect(window, &own);
    const LONG width = own.right - own.left;
    const LONG height = own.bottom - own.top;
    LONG left = around.left + (around.right - around.left - width) / 2;
    LONG top = around.top + (around.bottom - around.top - height) / 2;
    const RECT area = workArea(window);
    left = std::max(area.left, std::min(left, area.right - width));
    top = std::max(area.top, std::min(top, area.bottom - height));
    SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// `source` drawn at width x height with the system's smoothing (each target pixel the average of
// the source pixels it covers), as a 24-bit bitmap; null when it cannot be made.
HBITMAP scaledBitmap(HBITMAP source, int width, int height)
{
    BITMAP info{};
    if (!GetObjectW(source, sizeof info, &info))
        return nullptr;
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 24;
    format.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP target = CreateDIBSection(nullptr, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!target)
        return nullptr;
    HDC from = CreateCompatibleDC(nullptr);
    HDC to = CreateCompatibleDC(nullptr);
    HGDIOBJ fromBefore = SelectObject(from, source);
    HGDIOBJ toBefore = SelectObject(to, target);
    SetStretchBltMode(to, HALFTONE);
    SetBrushOrgEx(to, 0, 0, nullptr);
    const BOOL drawn =
        StretchBlt(to, 0, 0, width, height, from, 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
    SelectObject(from, fromBefore);
    SelectObject(to, toBefore);
    DeleteDC(from);
    DeleteDC(to);
    if (!drawn) {
        DeleteObject(target);
        return nullptr;
    }
    return target;
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
    if (message == WM_INITDIALOG) {
        // On the dialog that opened it, as the template intends.
        RECT dialog{};
        if (HWND owner = GetWindow(window, GW_OWNER); owner && GetWindowRect(owner, &dialog))
            centreOn(window, dialog);
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(window, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

} // namespace

std::vector<std::wstring> programArguments()
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments)
        return {};
    std::vector<std::wstring> result(arguments + std::min(count, 1), arguments + count);
    LocalFree(arguments);
    return result;
}

UpdaterWindow::UpdaterWindow(HidBackend& backend, std::filesystem::path directory,
                             std::string instanceName, bool holdSystem,
                             std::filesystem::path historyFile, bool simulated, LoadHooks loadHooks)
    : m_session(backend, std::move(directory), *this, windowtext::WINDOWS_ACCESS_HELP,
                SessionPlatform{std::move(instanceName),
                                {},
                                nullptr,
                                holdSystem,
                                nullptr,
                                std::move(historyFile),
                                simulated,
                                std::move(loadHooks)})
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    // The taskbar button's progress; without COM, the interface or its initialisation the button
    // shows none.
    if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) &&
        FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                reinterpret_cast<void**>(&m_taskbar))))
        m_taskbar = nullptr;
    if (m_taskbar && FAILED(m_taskbar->HrInit())) {
        m_taskbar->Release();
        m_taskbar = nullptr;
    }
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
    for (HICON icon : m_journeyIcons)
        if (icon)
            DestroyIcon(icon);
    if (m_picture)
        DeleteObject(m_picture);
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

INT_PTR UpdaterWindow::handle(UINT message, WPARAM wParam, LPARAM lParam)
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
        // Alt+F4 while the close box is greyed out: answered with the box that says why.
        if ((wParam & 0xFFF0) == SC_CLOSE && m_session.jobRunning()) {
            m_session.requestClose();
            return TRUE;
        }
        if (UpdaterSession::copiesRecord(static_cast<unsigned>(wParam))) {
            m_session.copyLastRecord();
            return TRUE;
        }
        if (UpdaterSession::opensAbout(static_cast<unsigned>(wParam))) {
            DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUT), m_window,
                            aboutProc, 0);
            return TRUE;
        }
        return FALSE;
    case WM_RUN_PENDING_CALLS:
        m_session.runPendingCalls();
        return TRUE;
    case WM_CTLCOLORSTATIC: {
        // The journey line's colour tells success, failure and a silent device apart; the warning
        // beside the buttons is in the failure's colour.
        HWND control = reinterpret_cast<HWND>(lParam);
        const bool warning = control == GetDlgItem(m_window, IDC_BUSY_WARNING);
        if (control != GetDlgItem(m_window, IDC_JOURNEY) && !warning)
            return FALSE;
        HDC dc = reinterpret_cast<HDC>(wParam);
        COLORREF colour = GetSysColor(COLOR_BTNTEXT);
        if (warning)
            colour = FAILURE_COLOUR;
        else if (m_journeyTone == JourneyTone::Success)
            colour = SUCCESS_COLOUR;
        else if (m_journeyTone == JourneyTone::Failure)
            colour = FAILURE_COLOUR;
        else if (m_journeyTone == JourneyTone::Waiting)
            colour = WAITING_COLOUR;
        SetTextColor(dc, colour);
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<INT_PTR>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_DPICHANGED:
        // The system rescales the dialog and its controls; the picture follows once it has.
        PostMessageW(m_window, WM_FIT_PICTURE, 0, 0);
        return FALSE;
    case WM_FIT_PICTURE:
        fitPicture();
        return TRUE;
    default:
        return FALSE;
    }
}

bool UpdaterWindow::takeGuard()
{
    const std::optional<std::string> refusal = m_session.takeGuard();
    if (!refusal)
        return true;
    showBox(*refusal);
    return false;
}

bool UpdaterWindow::initialise()
{
    // On the middle of its monitor, as the template intends; so is a box that refuses the start.
    centreOn(m_window, workArea(m_window));
    if (!takeGuard())
        return false;
    fitPicture();
    if (HMENU menu = GetSystemMenu(m_window, FALSE)) {
        wchar_t entry[64] = {};
        if (LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUT_ENTRY, entry, 64) > 0) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(menu, MF_STRING, COPY_RECORD_COMMAND,
                        wide(windowtext::COPY_RECORD_ENTRY).c_str());
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

void UpdaterWindow::fitPicture()
{
    HWND control = GetDlgItem(m_window, IDC_PICTURE);
    const UINT dpi = windowDpi(m_window);
    int width = MulDiv(PICTURE_WIDTH, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
    int height = MulDiv(PICTURE_HEIGHT, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
    // The template is laid out for its Traditional Chinese face; where the system lays it out in
    // a smaller one, the picture is made smaller, never reaching over the progress bar or past
    // the dialog's edges.
    RECT place{};
    RECT bar{};
    RECT client{};
    GetWindowRect(control, &place);
    GetWindowRect(GetDlgItem(m_window, IDC_PROGRESS), &bar);
    GetClientRect(m_window, &client);
    MapWindowPoints(nullptr, m_window, reinterpret_cast<POINT*>(&place), 2);
    MapWindowPoints(nullptr, m_window, reinterpret_cast<POINT*>(&bar), 2);
    const int roomWidth = client.right - client.left;
    const int roomHeight = bar.top - place.top;
    if (roomWidth > 0 && roomHeight > 0 && (width > roomWidth || height > roomHeight)) {
        const double shrink = std::min(double(roomWidth) / width, double(roomHeight) / height);
        width = std::max(1, static_cast<int>(width * shrink));
        height = std::max(1, static_cast<int>(height * shrink));
    }
    // Scaling down from the larger picture keeps the detail that scaling up would have to invent.
    const int source = width > PICTURE_WIDTH ? IDB_PICTURE_2X : IDB_PICTURE;
    std::string problem;
    HBITMAP loaded = loadPngPicture(GetModuleHandleW(nullptr), source, problem);
    if (!loaded) {
        trace("picture not loaded: " + problem);
        return;
    }
    BITMAP info{};
    GetObjectW(loaded, sizeof info, &info);
    HBITMAP picture = loaded;
    if (info.bmWidth != width || info.bmHeight != height) {
        picture = scaledBitmap(loaded, width, height);
        DeleteObject(loaded);
        if (!picture) {
            trace("picture not scaled to " + std::to_string(width) + "x" + std::to_string(height));
            return;
        }
    }
    // The control gives back the picture it showed (the template's, or an earlier fit's).
    if (auto* before = reinterpret_cast<HBITMAP>(
            SendMessageW(control, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture))))
        DeleteObject(before);
    m_picture = picture;
    // Centred over the progress bar, as the template places it: a face's widths do not grow
    // with the DPI exactly as the picture does.
    const int left = std::max<int>(client.left, (bar.left + bar.right - width) / 2);
    SetWindowPos(control, nullptr, left, place.top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void UpdaterWindow::showBox(const std::string& text)
{
    BoxWatch watch{m_window, &m_openBoxes};
    BoxWatch* outer = t_boxWatch;
    t_boxWatch = &watch;
    HHOOK hook = SetWindowsHookExW(WH_CBT, watchBoxCreation, nullptr, GetCurrentThreadId());
    if (!hook)
        trace("the box cannot be closed when the job ends: no hook (error " +
              std::to_string(GetLastError()) + ")");
    if (MessageBoxW(m_window, wide(text).c_str(), windowTitle(m_window).c_str(), MB_OK) == 0)
        trace("message box not shown (error " + std::to_string(GetLastError()) + "): " + text);
    if (hook)
        UnhookWindowsHookEx(hook);
    t_boxWatch = outer;
    if (watch.box)
        m_openBoxes.erase(std::remove(m_openBoxes.begin(), m_openBoxes.end(), watch.box),
                          m_openBoxes.end());
}

void UpdaterWindow::showTaskbar(int state, unsigned long long completed)
{
    if (m_taskbar) {
        m_taskbar->SetProgressState(m_window, static_cast<TBPFLAG>(state));
        if (state == TBPF_NORMAL || state == TBPF_PAUSED)
            m_taskbar->SetProgressValue(m_window, completed, TASKBAR_SCALE);
    }
    if (m_taskbarCallback)
        m_taskbarCallback(TaskbarProgress{state, completed});
}

HICON UpdaterWindow::journeyIcon(JourneyTone tone)
{
    int slot = 0;
    switch (tone) {
    case JourneyTone::Idle:
    case JourneyTone::Running:
        return nullptr;
    case JourneyTone::Waiting:
        slot = 0;
        break;
    case JourneyTone::Success:
        slot = 1;
        break;
    case JourneyTone::Failure:
        slot = 2;
        break;
    }
    HICON& icon = m_journeyIcons[static_cast<std::size_t>(slot)];
    if (!icon) {
        // As large as the control at this DPI, drawn as the Qt window draws it: a tick for
        // success, a cross for failure, a clock while the device is silent.
        RECT place{};
        GetClientRect(GetDlgItem(m_window, IDC_JOURNEY_ICON), &place);
        const int size = std::max<int>(1, std::min(place.right, place.bottom));
        icon = drawToneIcon(tone, size);
        if (!icon)
            trace("the journey line's icon could not be drawn (error " +
                  std::to_string(GetLastError()) + ")");
    }
    return icon;
}

void UpdaterWindow::allowClosing(bool allowed)
{
    // The close box and 關閉 in the system menu are greyed out while closing is refused; Alt+F4
    // and Esc still reach requestClose, which says why.
    if (HMENU menu = GetSystemMenu(m_window, FALSE))
        EnableMenuItem(menu, SC_CLOSE,
                       static_cast<UINT>(MF_BYCOMMAND | (allowed ? MF_ENABLED : MF_GRAYED)));
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
    // next report (the device then holds whole reports only) and waited for, within its bound;
    // the window then ends (endRequested).
    if (!m_session.endSession(terminateSignal())) {
        trace("the update did not stop within " + std::to_string(JOB_STOP_TIMEOUT_MS) + " ms");
        close(IDCANCEL);
    }
}

void UpdaterWindow::endRequested(int) { close(IDCANCEL); }

void UpdaterWindow::logLine(const std::string& text) { trace(text); }

bool UpdaterWindow::copyToClipboard(const std::string& text)
{
    // Windows line ends, so that the text pastes as lines everywhere.
    std::wstring lines;
    for (const wchar_t c : wide(text)) {
        if (c == L'\n')
            lines += L'\r';
        lines += c;
    }
    const std::size_t bytes = (lines.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (!memory)
        return false;
    if (void* target = GlobalLock(memory)) {
        std::memcpy(target, lines.c_str(), bytes);
        GlobalUnlock(memory);
    }
    if (!OpenClipboard(m_window)) {
        trace("the clipboard could not be opened (error " + std::to_string(GetLastError()) + ")");
        GlobalFree(memory);
        return false;
    }
    EmptyClipboard();
    // The clipboard owns the memory once it took it.
    const bool taken = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
    if (!taken)
        GlobalFree(memory);
    CloseClipboard();
    return taken;
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
    if (line.tone != m_journeyTone) {
        m_journeyTone = line.tone;
        HWND iconControl = GetDlgItem(m_window, IDC_JOURNEY_ICON);
        HICON icon = journeyIcon(line.tone);
        SendMessageW(iconControl, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
        ShowWindow(iconControl, icon ? SW_SHOWNA : SW_HIDE);
    }
    // Redrawn in the tone's colour (WM_CTLCOLORSTATIC).
    InvalidateRect(GetDlgItem(m_window, IDC_JOURNEY), nullptr, TRUE);
    // The taskbar button shows the whole update as one bar, paused while the device is silent,
    // in the error state after a failure.
    const auto completed = static_cast<unsigned long long>(line.overall * TASKBAR_SCALE);
    switch (line.tone) {
    case JourneyTone::Running:
        showTaskbar(TBPF_NORMAL, completed);
        break;
    case JourneyTone::Waiting:
        showTaskbar(TBPF_PAUSED, completed);
        break;
    case JourneyTone::Failure:
        showTaskbar(TBPF_ERROR, completed);
        break;
    case JourneyTone::Idle:
    case JourneyTone::Success:
        showTaskbar(TBPF_NOPROGRESS, 0);
        break;
    }
}

void UpdaterWindow::showMessageBox(const std::string& text, const std::string& detail)
{
    showBox(detail.empty() ? text : text + "\n\n" + detail);
}

void UpdaterWindow::closeMessageBox()
{
    // As its OK button would: the box ends and its showBox call returns.
    if (!m_openBoxes.empty())
        PostMessageW(m_openBoxes.back(), WM_COMMAND, IDOK, 0);
}

void UpdaterWindow::jobStarted()
{
    // The buttons are disabled, and a disabled window that has the focus loses it: keys would
    // then reach no window of the dialog's, and Esc would go unanswered. The progress bar, which
    // stays enabled and takes no keys of its own, holds the focus until the job has ended.
    SendMessageW(m_window, WM_NEXTDLGCTL,
                 reinterpret_cast<WPARAM>(GetDlgItem(m_window, IDC_PROGRESS)), TRUE);
    EnableWindow(GetDlgItem(m_window, IDC_UPDATE), FALSE);
    EnableWindow(GetDlgItem(m_window, IDOK), FALSE);
    ShowWindow(GetDlgItem(m_window, IDC_BUSY_WARNING), SW_SHOWNA);
    allowClosing(false);
    // A failure's red button from the last job gives way to the new one's progress.
    showTaskbar(TBPF_NORMAL, 0);
    // Until the update has ended the session is not to end (the run keeps the computer awake);
    // without this the update goes on all the same (wine, for one, has no shutdown reasons).
    m_shutdownReasonSet = ShutdownBlockReasonCreate(m_window, SHUTDOWN_BLOCK_REASON) != FALSE;
    if (!m_shutdownReasonSet)
        trace("no reason on the shutdown screen: ShutdownBlockReasonCreate failed (error " +
              std::to_string(GetLastError()) + ")");
}

void UpdaterWindow::jobEnded(const JobEnd&)
{
    if (m_shutdownReasonSet && !ShutdownBlockReasonDestroy(m_window))
        trace("ShutdownBlockReasonDestroy failed (error " + std::to_string(GetLastError()) + ")");
    m_shutdownReasonSet = false;
    EnableWindow(GetDlgItem(m_window, IDC_UPDATE), TRUE);
    EnableWindow(GetDlgItem(m_window, IDOK), TRUE);
    ShowWindow(GetDlgItem(m_window, IDC_BUSY_WARNING), SW_HIDE);
    allowClosing(true);
    if (HWND focus = GetFocus();
        !focus || focus == m_window || focus == GetDlgItem(m_window, IDC_PROGRESS))
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
