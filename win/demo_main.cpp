// quarvo-updater-demo on Windows: the dialog against the simulated bootloader at a real device's
// pace, pressing 更新 by itself after a moment. For screenshots and demonstrations; not the
// updater, and unlike it this one takes options (the Linux demo's):
//   --scenario NAME    a simulator scenario (default healthy), so that every failure can be seen
//   --files DIR        the update files (default: generated samples, which the demo writes
//                      whole just before the dialog appears and so has the job take as settled)
//   --fresh-files      the generated samples count as just written, as a copy still landing
//                      would: the update begins with the wait for them to settle
//   --pace ERASE,REPORT  the simulated device's pace in milliseconds per erased sector and per
//                      report (default 2,1)
//   --no-press         leave 更新 alone: the dialog at rest
//   --dismiss-boxes    answer every message box with OK once it has been open for a moment,
//                      writing its text to the standard error (with --scenario open-refused: the
//                      access help at start-up and after the update)
//   --copy-record      once the update has ended, open the system menu as Alt+Space does and
//                      write "menu open" to the standard error; 2 s later close it, choose
//                      複製最近一次更新紀錄 as the menu does, answer the box that says it was
//                      copied and write "record copied"; the demo then stays (the clipboard's
//                      owner)
// The samples are 200000 bytes of code and 300000 of database. Their output reports, as
// `quarvo-flash --simulate --trace` shows for the same files: 1 the code's erase, 2 to 3130 its
// write, 3131 to 3136 the header, 3137 the database's erase, 3138 to 7826 its write, 7827 the
// restart; --scenario write-fail:N or disconnect:N fails in the one of them that N names.
#include "resource_ids.h"
#include "updater_window.h"

#include "frontend/history.h"
#include "hid/clock.h"
#include "hid/text_encoding.h"
#include "platform/input_file.h"
#include "sim/sim_backend.h"
#include "sim/sim_pace.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// Sample update files in a folder of their own.
std::filesystem::path writeSamples()
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "quarvo-demo";
    std::filesystem::create_directories(dir);
    const std::pair<const char*, std::size_t> files[] = {{"code_data.bin", 200000},
                                                         {"car_data.bin", 300000}};
    for (const auto& [name, size] : files) {
        std::vector<char> data(size);
        for (std::size_t i = 0; i < size; ++i)
            data[i] = static_cast<char>(i * 31 + size);
        std::ofstream(dir / name, std::ios::binary)
            .write(data.data(), static_cast<long long>(size));
    }
    return dir;
}

struct DemoOptions {
    quarvo::SimScenario scenario;
    std::optional<std::filesystem::path> files;
    std::optional<quarvo::SimPace> pace;
    bool press = true;
    bool dismissBoxes = false;
    bool freshFiles = false;
    bool copyRecord = false;
};

// The options, or nullopt (after a box that says what is accepted) when one is not understood.
std::optional<DemoOptions> parseOptions()
{
    DemoOptions options;
    const std::vector<std::wstring> arguments = quarvo::programArguments();
    bool understood = true;
    for (std::size_t i = 0; understood && i < arguments.size();) {
        const std::wstring& option = arguments[i++];
        if (option == L"--no-press") {
            options.press = false;
            continue;
        }
        if (option == L"--dismiss-boxes") {
            options.dismissBoxes = true;
            continue;
        }
        if (option == L"--fresh-files") {
            options.freshFiles = true;
            continue;
        }
        if (option == L"--copy-record") {
            options.copyRecord = true;
            continue;
        }
        if (i == arguments.size()) {
            understood = false;
            continue;
        }
        const std::string value = quarvo::utf8FromWide(arguments[i++].c_str());
        if (option == L"--scenario") {
            const auto scenario = quarvo::parseScenario(value);
            understood = scenario.has_value();
            if (scenario)
                options.scenario = *scenario;
        } else if (option == L"--files") {
            options.files = arguments[i - 1];
        } else if (option == L"--pace") {
            options.pace = quarvo::parsePace(value);
            understood = options.pace.has_value();
        } else {
            understood = false;
        }
    }
    if (understood)
        return options;
    std::wstring usage =
        L"quarvo-updater-demo [--scenario NAME] [--files DIR] "
        L"[--pace ERASE_MS,REPORT_MS] [--no-press] [--dismiss-boxes] [--fresh-files] "
        L"[--copy-record]\n\nNAME:";
    for (const quarvo::ScenarioInfo& info : quarvo::scenarioCatalogue())
        usage += L"\n" +
                 std::wstring(info.name, info.name + std::char_traits<char>::length(info.name)) +
                 (info.takesCount ? L":N" : L"");
    MessageBoxW(nullptr, usage.c_str(), L"quarvo-updater-demo", MB_OK);
    return std::nullopt;
}

// The message box open on this thread, if any: a visible dialog-class window with an owner (the
// updater's dialog has none).
HWND openBox()
{
    HWND found = nullptr;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM result) -> BOOL {
            wchar_t className[16] = {};
            GetClassNameW(window, className, 16);
            if (std::wstring(className) != L"#32770" || !IsWindowVisible(window) ||
                !GetWindow(window, GW_OWNER))
                return TRUE;
            *reinterpret_cast<HWND*>(result) = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

// Once a box has been open for BOX_SHOWN_MS (drawn, and long enough to be seen), writes its text
// to the standard error and answers it with OK. A timer of the thread's own: it fires in the
// boxes' own loops too, the start-up check's box before the dialog's loop included.
constexpr UINT BOX_POLL_MS = 100;
constexpr UINT BOX_SHOWN_MS = 800;

void CALLBACK dismissBox(HWND, UINT, UINT_PTR, DWORD)
{
    static HWND seen = nullptr;
    static UINT shownMs = 0;
    HWND box = openBox();
    if (box != seen) {
        seen = box;
        shownMs = 0;
        return;
    }
    if (!box || (shownMs += BOX_POLL_MS) < BOX_SHOWN_MS)
        return;
    // The box's text is its static control with the id 0xFFFF.
    wchar_t text[2048] = {};
    if (GetDlgItemTextW(box, 0xFFFF, text, 2048) == 0)
        text[0] = L'\0';
    // Answered as its OK button would; tried again on the next tick when the message is refused.
    const bool answered = PostMessageW(box, WM_COMMAND, IDOK, 0) != 0;
    const std::string line =
        (answered ? "box dismissed: " : "box not answered: ") + quarvo::utf8FromWide(text) + "\n";
    // Only a line for whoever watches the demo: nothing to do when it cannot be written.
    DWORD written = 0;
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error && error != INVALID_HANDLE_VALUE)
        static_cast<void>(
            WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr));
    if (answered)
        seen = nullptr;
}

// A line on the standard error for whoever drives the demo; nothing to do when it cannot be
// written.
void tell(const char* line)
{
    DWORD written = 0;
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error && error != INVALID_HANDLE_VALUE)
        static_cast<void>(
            WriteFile(error, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr));
}

// --copy-record, step by step on a timer of the thread's own (it fires in the menu's and the
// box's loops too): the system menu opened, held open for a picture, closed, the copy entry
// chosen, its box answered (by dismissBox).
constexpr UINT COPY_STEP_MS = 100;
constexpr UINT MENU_DELAY_MS = 500;  // after the end, which the dialog draws first
constexpr UINT MENU_DRAWN_MS = 300;  // the menu has been drawn
constexpr UINT MENU_SHOWN_MS = 2000; // the menu stays open this long for its picture
HWND copyIn = nullptr;

void CALLBACK copyRecordStep(HWND, UINT, UINT_PTR id, DWORD)
{
    enum Stage { Waiting, MenuOpening, MenuOpen, Copying, BoxOpen };
    static Stage stage = Waiting;
    static UINT elapsedMs = 0;
    elapsedMs += COPY_STEP_MS;
    switch (stage) {
    case Waiting:
        if (elapsedMs < MENU_DELAY_MS)
            return;
        // As Alt+Space: the window's system menu, tracked until it is closed.
        PostMessageW(copyIn, WM_SYSCOMMAND, SC_KEYMENU, VK_SPACE);
        stage = MenuOpening;
        elapsedMs = 0;
        return;
    case MenuOpening:
        if (elapsedMs < MENU_DRAWN_MS)
            return;
        tell("menu open\n");
        stage = MenuOpen;
        elapsedMs = 0;
        return;
    case MenuOpen:
        if (elapsedMs < MENU_SHOWN_MS)
            return;
        // The entry chosen: the menu closes and sends its command.
        EndMenu();
        PostMessageW(copyIn, WM_SYSCOMMAND, quarvo::COPY_RECORD_COMMAND, 0);
        stage = Copying;
        return;
    case Copying:
        if (openBox())
            stage = BoxOpen;
        return;
    case BoxOpen:
        if (openBox())
            return;
        tell("record copied\n");
        KillTimer(nullptr, id);
        return;
    }
}

} // namespace

int main()
{
    const std::optional<DemoOptions> options = parseOptions();
    if (!options)
        return 2;
    quarvo::SteadyClock clock;
    quarvo::SimBackend backend(clock);
    quarvo::SimTiming timing;
    timing.reportUs = 1000; // a full-speed USB HID device: one report per millisecond
    if (options->pace)
        timing = quarvo::withPace(timing, *options->pace);
    quarvo::attachBootloader(backend, options->scenario, timing);
    // The samples are written whole just now: the job takes them as long settled (its file clock
    // an hour ahead) rather than wait for them to age, unless that wait is asked for; then they
    // count as written when 更新 is pressed, however long wine took to show the dialog.
    const std::filesystem::path folder = options->files ? *options->files : writeSamples();
    quarvo::LoadHooks loadHooks;
    if (!options->files && !options->freshFiles)
        loadHooks = quarvo::settledLoadHooks();
    if (!options->files && options->freshFiles) {
        const quarvo::FileTime written = quarvo::fileClockNow();
        loadHooks.fileClock = [written] { return written; };
    }
    quarvo::UpdaterWindow window(backend, folder, "GPS_UPDATE_CLIENT_DEMO", false,
                                 quarvo::defaultHistoryFile(), true, std::move(loadHooks));
    if ((options->dismissBoxes || options->copyRecord) &&
        !SetTimer(nullptr, 0, BOX_POLL_MS, dismissBox))
        return 1;
    HWND dialog = window.create();
    if (!dialog)
        return 1;
    if (options->copyRecord) {
        copyIn = dialog;
        window.onJobEnded([] {
            if (!SetTimer(nullptr, 0, COPY_STEP_MS, copyRecordStep))
                tell("no timer for the copy\n");
        });
    }
    // Press 更新 once the dialog has been shown for a moment. A timer of the thread's own: one of
    // the dialog's would have to keep clear of the ids of the dialog's own timers.
    static HWND pressedIn = dialog;
    if (options->press)
        SetTimer(nullptr, 0, 500, [](HWND, UINT, UINT_PTR id, DWORD) {
            KillTimer(nullptr, id);
            SendMessageW(GetDlgItem(pressedIn, IDC_UPDATE), BM_CLICK, 0, 0);
        });
    MSG message;
    while (IsWindow(dialog) && GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(dialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return 0;
}
