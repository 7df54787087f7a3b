// quarvo-updater [FOLDER]: chooses the real HID backend and runs the window on the update files
// in FOLDER (default: the current directory). Qt is handed the program name alone, so that no
// argument is taken for one of Qt's own options.
#include "updater_app.h"

#include "hid/hidapi_backend.h"
#include "platform/instance_guard.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    constexpr const char* USAGE =
        "usage: quarvo-updater [FOLDER]\n"
        "Shows the updater window, which writes code_data.bin and car_data.bin from FOLDER\n"
        "(default: the current directory) into the device.\n";
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    // A folder whose name begins with '-' is given as ./-name.
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    const char* folder = argc == 2 ? argv[1] : ".";
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);
    quarvo::HidapiBackend backend;
    const char* lockDirectory = std::getenv(quarvo::LOCK_DIRECTORY_VARIABLE);
    return quarvo::UpdaterApp(backend, folder, lockDirectory ? lockDirectory : "").run();
}
