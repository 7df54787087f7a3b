// quarvo-updater: chooses the real HID backend and runs the window. It reads no command-line
// options: Qt is handed the program name alone.
#include "updater_app.h"

#include "hid/hidapi_backend.h"
#include "platform/instance_guard.h"

#include <QApplication>

#include <cstdlib>

int main(int argc, char** argv)
{
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);
    quarvo::HidapiBackend backend;
    const char* lockDirectory = std::getenv(quarvo::LOCK_DIRECTORY_VARIABLE);
    return quarvo::UpdaterApp(backend, lockDirectory ? lockDirectory : "").run();
}
