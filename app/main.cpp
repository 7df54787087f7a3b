// quarvo-updater: chooses the real HID backend and runs the window. It reads no command-line
// options: Qt is handed the program name alone.
#include "flasher_app.h"

#include "hid/hidapi_backend.h"

#include <QApplication>

int main(int argc, char** argv)
{
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication application(qtArgc, argv);
    quarvo::HidapiBackend backend;
    return quarvo::CFlasherApp(backend).initInstance();
}
