// quarvo-updater.exe's one optional argument: the folder that holds the update files, which must
// be an existing folder (default: the current folder). Anything else is answered with a box that
// says why, in Traditional Chinese, above the usage line, and exit status 2 (help: the box and 0).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quarvo {

inline constexpr const wchar_t* UPDATER_USAGE = L"usage: quarvo-updater.exe [FOLDER]";
// The exit status of arguments that are not understood, as the Linux window's.
inline constexpr int USAGE_EXIT_STATUS = 2;

struct FolderChoice {
    std::optional<std::filesystem::path> folder; // the update files' folder, when one is named
    // Otherwise: the box's text and the exit status (0 for the help, else USAGE_EXIT_STATUS).
    std::wstring message;
    int exitStatus = 0;
};

// The folder the arguments (without the program's name) name, or why they name none.
FolderChoice chooseFolder(const std::vector<std::wstring>& arguments);

// Shows the choice's message in a box titled `title` and returns once it is dismissed (at once
// when the system can show no box).
void showUsageBox(const FolderChoice& choice, const std::wstring& title);

} // namespace quarvo
