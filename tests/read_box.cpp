// quarvo-test-read-box.exe: reads the box that quarvo-updater.exe shows instead of its dialog (its
// usage box). Waits for a message box titled as the updater's dialog, prints its text in UTF-8 and
// answers it with OK, as its user would; exits 0. Exits 1 when none appeared in time, or when the
// updater's dialog appeared instead (which it then closes).
#include "win/resource_ids.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr const wchar_t* DIALOG_TITLE = L"道路安全警示系統更新介面";
// Generous: wine starts its first program slowly on a loaded machine.
constexpr DWORD BOX_WAIT_MS = 120000;
constexpr DWORD ANSWER_WAIT_MS = 5000; // for one message to the box
constexpr DWORD POLL_MS = 50;
// The id of a message box's text.
constexpr int MESSAGE_BOX_TEXT = 0xFFFF;

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

struct Found {
    HWND box = nullptr;
    HWND dialog = nullptr;
};

BOOL CALLBACK look(HWND window, LPARAM result)
{
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    if (std::wstring(title) != DIALOG_TITLE || !IsWindowVisible(window))
        return TRUE;
    auto* found = reinterpret_cast<Found*>(result);
    if (GetDlgItem(window, IDC_UPDATE))
        found->dialog = window;
    else if (GetDlgItem(window, MESSAGE_BOX_TEXT))
        found->box = window;
    return TRUE;
}

} // namespace

int main()
{
    for (DWORD waited = 0; waited < BOX_WAIT_MS; waited += POLL_MS) {
        Found found;
        EnumWindows(look, reinterpret_cast<LPARAM>(&found));
        if (found.dialog) {
            std::puts("the updater's dialog appeared, not a box");
            PostMessageW(found.dialog, WM_CLOSE, 0, 0);
            return 1;
        }
        if (found.box) {
            wchar_t text[2048] = {};
            DWORD_PTR copied = 0;
            if (!SendMessageTimeoutW(GetDlgItem(found.box, MESSAGE_BOX_TEXT), WM_GETTEXT, 2048,
                                     reinterpret_cast<LPARAM>(text), SMTO_NORMAL, ANSWER_WAIT_MS,
                                     &copied)) {
                std::puts("the box did not give its text in time");
                return 1;
            }
            print(text);
            PostMessageW(found.box, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(POLL_MS);
    }
    std::puts("no box appeared");
    return 1;
}
