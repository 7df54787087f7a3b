// quarvo-updater on Windows: chooses the real HID backend and runs the dialog.
#include "updater_window.h"

#include "hid/hidapi_backend.h"

int main()
{
    quarvo::HidapiBackend backend;
    quarvo::UpdaterWindow window(backend, ".", quarvo::UPDATER_GUARD_NAME);
    return window.run();
}
