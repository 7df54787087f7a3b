// quarvo-updater on Windows: chooses the real HID backend and runs the dialog.
//   quarvo-updater.exe [FOLDER]   the update files are read from FOLDER (default: the current
//                                 folder, which is the program's own when started from Explorer)
// Other arguments, or a FOLDER that is not an existing folder, are answered with a box and exit
// status 2, as the Linux window answers them on standard error.
#include "folder_argument.h"
#include "updater_window.h"

#include "frontend/history.h"
#include "frontend/window_texts.h"
#include "hid/hidapi_backend.h"
#include "hid/text_encoding.h"

int main()
{
    const quarvo::FolderChoice choice = quarvo::chooseFolder(quarvo::programArguments());
    if (!choice.folder) {
        const std::u16string title = quarvo::utf16FromUtf8(quarvo::windowtext::DIALOG_TITLE);
        quarvo::showUsageBox(choice, std::wstring(title.begin(), title.end()));
        return choice.exitStatus;
    }
    quarvo::HidapiBackend backend;
    quarvo::UpdaterWindow window(backend, *choice.folder, quarvo::UPDATER_GUARD_NAME, true,
                                 quarvo::defaultHistoryFile());
    return window.run();
}
