// quarvo-updater-demo on Windows: the dialog against the simulated bootloader at a real device's
// pace, pressing 更新 by itself after a moment. For screenshots and demonstrations; not the
// updater, and unlike it this one takes options (the Linux demo's):
//   --scenario NAME    a simulator scenario (default healthy), so that every failure can be seen
//   --files DIR        the update files (default: generated samples)
//   --pace ERASE,REPORT  the simulated device's pace in milliseconds per erased sector and per
//                      report (default 2,1)
#include "resource_ids.h"
#include "updater_window.h"

#include "frontend/history.h"
#include "hid/clock.h"
#include "hid/text_encoding.h"
#include "sim/sim_backend.h"
#include "sim/sim_pace.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
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
};

// The options, or nullopt (after a box that says what is accepted) when one is not understood.
std::optional<DemoOptions> parseOptions()
{
    DemoOptions options;
    const std::vector<std::wstring> arguments = quarvo::programArguments();
    bool understood = arguments.size() % 2 == 0;
    for (std::size_t i = 0; understood && i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == L"--scenario") {
            const auto scenario =
                quarvo::parseScenario(quarvo::utf8FromWide(arguments[i + 1].c_str()));
            understood = scenario.has_value();
            if (scenario)
                options.scenario = *scenario;
        } else if (arguments[i] == L"--files") {
            options.files = arguments[i + 1];
        } else if (arguments[i] == L"--pace") {
            options.pace = quarvo::parsePace(quarvo::utf8FromWide(arguments[i + 1].c_str()));
            understood = options.pace.has_value();
        } else {
            understood = false;
        }
    }
    if (understood)
        return options;
    std::wstring usage = L"quarvo-updater-demo [--scenario NAME] [--files DIR] "
                         L"[--pace ERASE_MS,REPORT_MS]\n\nNAME:";
    for (const quarvo::ScenarioInfo& info : quarvo::scenarioCatalogue())
        usage += L"\n" +
                 std::wstring(info.name, info.name + std::char_traits<char>::length(info.name)) +
                 (info.takesCount ? L":N" : L"");
    MessageBoxW(nullptr, usage.c_str(), L"quarvo-updater-demo", MB_OK);
    return std::nullopt;
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
    quarvo::UpdaterWindow window(backend, options->files ? *options->files : writeSamples(),
                                 "GPS_UPDATE_CLIENT_DEMO", false, quarvo::defaultHistoryFile(),
                                 true);
    HWND dialog = window.create();
    if (!dialog)
        return 1;
    // Press 更新 once the dialog has been shown for a moment. A timer of the thread's own: one of
    // the dialog's would have to keep clear of the ids of the dialog's own timers.
    static HWND pressedIn = dialog;
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
