// quarvo-e2e-press-update.exe: the user of the end-to-end test's Windows window. Waits for the
// updater's dialog, presses 更新 as a click would, follows the status line until the update has
// ended and closes the dialog. Prints every status text it saw, one a line in UTF-8, and the text
// of any message box the updater showed (answered with OK); exits 0 when the last status is
// 更新成功!, 1 when the update ended otherwise or did not end in time, or no dialog appeared.
#include "win/resource_ids.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr const wchar_t* DIALOG_TITLE = L"道路安全警示系統更新介面";
constexpr const wchar_t* SUCCESS_TEXT = L"更新成功!";
// Bounds for an emulated machine, where wine itself takes its time to start.
constexpr DWORD DIALOG_WAIT_MS = 120000;
constexpr DWORD UPDATE_WAIT_MS = 300000;
constexpr DWORD ANSWER_WAIT_MS = 5000; // for one message to the updater's window
constexpr DWORD POLL_MS = 50;

void print(const std::wstring& text)
{
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 1 ? static_cast<std::size_t>(size - 1) : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
    std::printf("%s\n", out.c_str());
    std::fflush(stdout);
}

// A window's text, asked with a bound so that a window that does not answer holds nothing up;
// false when it did not answer in time (under emulation a window busy with an update can be slow).
bool windowText(HWND window, std::wstring& text)
{
    wchar_t buffer[512] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer), SMTO_NORMAL,
                             ANSWER_WAIT_MS, &copied))
        return false;
    text = buffer;
    return true;
}

bool hasTitle(HWND window)
{
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    return std::wstring(title) == DIALOG_TITLE;
}

// The updater's dialog once it is shown, and so has all its controls: the window of that title
// with an 更新 button (its message boxes carry the same title).
HWND findDialog()
{
    HWND found = nullptr;
    EnumWindows(
        [](HWND window, LPARAM result) -> BOOL {
            if (!hasTitle(window) || !GetDlgItem(window, IDC_UPDATE) || !IsWindowVisible(window) ||
                !GetDlgItem(window, IDC_STATUS))
                return TRUE;
            *reinterpret_cast<HWND*>(result) = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// Prints the text of each message box the updater shows and answers it with OK, as its user
// would; a box is no part of a successful update, so the status line then tells the rest.
void answerMessageBoxes()
{
    EnumWindows(
        [](HWND window, LPARAM) -> BOOL {
            // 0xFFFF: the id of a message box's text.
            if (hasTitle(window) && !GetDlgItem(window, IDC_UPDATE) && IsWindowVisible(window)) {
                std::wstring text;
                windowText(GetDlgItem(window, 0xFFFF), text);
                print(L"message box: " + text);
                PostMessageW(window, WM_COMMAND, IDOK, 0);
            }
            return TRUE;
        },
        0);
}

} // namespace

int main()
{
    HWND dialog = nullptr;
    for (DWORD waited = 0; !dialog && waited < DIALOG_WAIT_MS; waited += POLL_MS) {
        answerMessageBoxes();
        dialog = findDialog();
        if (!dialog)
            Sleep(POLL_MS);
    }
    if (!dialog) {
        std::puts("no updater dialog appeared");
        return 1;
    }
    HWND button = GetDlgItem(dialog, IDC_UPDATE);
    HWND status = GetDlgItem(dialog, IDC_STATUS);
    // Once the start-up check is over the button takes clicks.
    for (DWORD waited = 0; !IsWindowEnabled(button) && waited < DIALOG_WAIT_MS; waited += POLL_MS) {
        answerMessageBoxes();
        Sleep(POLL_MS);
    }
    std::wstring last;
    windowText(status, last);
    print(last);
    DWORD_PTR ignored = 0;
    if (!SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_NORMAL, ANSWER_WAIT_MS, &ignored))
        std::puts("the click was not taken in time");
    // The button takes no clicks while the update runs; it has ended when it takes them again.
    bool running = false;
    bool ended = false;
    for (DWORD waited = 0; !ended && waited < UPDATE_WAIT_MS && IsWindow(dialog);
         waited += POLL_MS) {
        Sleep(POLL_MS);
        answerMessageBoxes();
        const bool enabled = IsWindowEnabled(button);
        // A new status comes from the update too, should it pass between two looks.
        if (std::wstring text; windowText(status, text) && text != last) {
            last = text;
            print(last);
            running = true;
        }
        running = running || !enabled;
        ended = running && enabled;
    }
    if (!ended)
        std::puts(running ? "the update did not end in time" : "the update did not start");
    // The status the update ended with, however long the window takes to answer.
    std::wstring text;
    for (DWORD waited = 0; ended && !windowText(status, text) && waited < UPDATE_WAIT_MS;
         waited += ANSWER_WAIT_MS) {
    }
    if (ended && !text.empty() && text != last) {
        last = text;
        print(last);
    }
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    return ended && last == SUCCESS_TEXT ? 0 : 1;
}
