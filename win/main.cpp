// quarvo-updater on Windows: chooses the real HID backend and runs the dialog.
//   quarvo-updater.exe [FOLDER]   the update files are read from FOLDER (default: the current
//                                 folder, which is the program's own when started from Explorer)
#include "updater_window.h"

#include "hid/hidapi_backend.h"

int main()
{
    const std::vector<std::wstring> arguments = quarvo::programArguments();
    const std::filesystem::path folder = arguments.empty() ? L"." : arguments.front();
    quarvo::HidapiBackend backend;
    quarvo::UpdaterWindow window(backend, folder, quarvo::UPDATER_GUARD_NAME);
    return window.run();
}
