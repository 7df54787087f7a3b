// quarvo-updater-demo on Windows: the dialog against the simulated bootloader at a real device's
// pace, with sample update files, pressing 更新 by itself after a moment. For screenshots and
// demonstrations; not the updater.
#include "resource_ids.h"
#include "updater_window.h"

#include "hid/clock.h"
#include "sim/sim_backend.h"

#include <filesystem>
#include <fstream>
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

} // namespace

int main()
{
    quarvo::SteadyClock clock;
    quarvo::SimBackend backend(clock);
    quarvo::SimTiming timing;
    timing.reportUs = 1000; // a full-speed USB HID device: one report per millisecond
    quarvo::attachBootloader(backend, {}, timing);
    quarvo::UpdaterWindow window(backend, writeSamples(), "GPS_UPDATE_CLIENT_DEMO");
    HWND dialog = window.create();
    if (!dialog)
        return 1;
    // Press 更新 once the dialog has been shown for a moment.
    SetTimer(dialog, 1, 500, [](HWND hwnd, UINT, UINT_PTR id, DWORD) {
        KillTimer(hwnd, id);
        SendMessageW(GetDlgItem(hwnd, IDC_UPDATE), BM_CLICK, 0, 0);
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
