// The application: builds the main dialog on the backend it is given, runs start-up and the
// dialog's modal loop, and returns the process's exit code (1 when another instance runs).
#pragma once

#include "hid/hid_backend.h"

#include <filesystem>
#include <string>

class QTranslator;

namespace quarvo {

// What every run of the window sets up in the application: Qt's own Traditional Chinese
// translations, held by `translator` (so that standard buttons read 確定), the dialog's face for
// every window Qt makes itself, and the program's icon. False when the translations are missing.
bool prepareApplication(QTranslator& translator);

class UpdaterApp {
public:
    // The update files are read from `directory`; `lockDirectory`: where the single-instance lock
    // file lives (empty: the default).
    UpdaterApp(HidBackend& backend, std::filesystem::path directory, std::string lockDirectory)
        : m_backend(backend), m_directory(std::move(directory)),
          m_lockDirectory(std::move(lockDirectory))
    {
    }
    int run();

private:
    HidBackend& m_backend;
    std::filesystem::path m_directory;
    std::string m_lockDirectory;
};

} // namespace quarvo
