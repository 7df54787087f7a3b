// quarvo-updater.exe's arguments: at most one, an existing folder; anything else is a usage box
// with exit status 2. (tests/windows_folder_argument.sh starts the executable itself.)
#include "win/folder_argument.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cwchar>
#include <fstream>

namespace quarvo {
namespace {

namespace fs = std::filesystem;

struct ArgumentsCase {
    const char* name;
    // Arguments; "<folder>", "<file>" and "<missing>" stand for paths in the test's own folder.
    // (A shortcut's "D:\Updates\" in quotes reaches the program as D:\Updates\".)
    std::vector<std::wstring> arguments;
    const wchar_t* folder;  // the folder chosen, or nullptr for a box
    int exitStatus;         // with the box
    const wchar_t* problem; // in the box's text
};

class FolderArgument : public ::testing::TestWithParam<ArgumentsCase> {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() /
               (L"quarvo-folder-argument-" + std::to_wstring(GetCurrentProcessId()));
        fs::create_directories(root / L"更新檔");
        std::ofstream(root / L"code_data.bin") << "code";
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // The argument with its stand-in for a path (at its start) replaced by the path.
    std::wstring stand(const std::wstring& argument) const
    {
        for (const auto& [token, path] : {std::pair{L"<folder>", root / L"更新檔"},
                                          std::pair{L"<file>", root / L"code_data.bin"},
                                          std::pair{L"<missing>", root / L"沒有"}})
            if (argument.starts_with(token))
                return path.wstring() + argument.substr(std::wcslen(token));
        return argument;
    }

    fs::path root;
};

TEST_P(FolderArgument, TakesOneExistingFolderAndRefusesTheRest)
{
    const ArgumentsCase& c = GetParam();
    std::vector<std::wstring> arguments;
    for (const std::wstring& argument : c.arguments)
        arguments.push_back(stand(argument));

    const FolderChoice choice = chooseFolder(arguments);

    if (c.folder) {
        ASSERT_TRUE(choice.folder.has_value());
        EXPECT_EQ(choice.folder->wstring(), stand(c.folder));
        return;
    }
    EXPECT_FALSE(choice.folder.has_value());
    EXPECT_EQ(choice.exitStatus, c.exitStatus);
    EXPECT_NE(choice.message.find(c.problem), std::wstring::npos);
    // The usage line closes every box; a refused path is named in it.
    EXPECT_TRUE(choice.message.ends_with(UPDATER_USAGE));
    if (c.arguments.size() == 1 && c.exitStatus != 0) {
        EXPECT_NE(choice.message.find(arguments.front()), std::wstring::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderArgument,
    ::testing::Values(
        ArgumentsCase{"none", {}, L".", 0, nullptr},
        ArgumentsCase{"aFolder", {L"<folder>"}, L"<folder>", 0, nullptr},
        ArgumentsCase{
            "aFolderEndingInABackslashInQuotes", {L"<folder>\\\""}, L"<folder>\\", 0, nullptr},
        ArgumentsCase{"twoFolders", {L"<folder>", L"<folder>"}, nullptr, 2, L"參數太多"},
        ArgumentsCase{"aFile", {L"<file>"}, nullptr, 2, L"這不是資料夾"},
        ArgumentsCase{"aMissingFolder", {L"<missing>"}, nullptr, 2, L"找不到這個資料夾"},
        ArgumentsCase{"anOption", {L"--verbose"}, nullptr, 2, L"不認得的選項"},
        ArgumentsCase{"help", {L"--help"}, nullptr, 0, L"code_data.bin"},
        ArgumentsCase{"windowsHelp", {L"/?"}, nullptr, 0, L"code_data.bin"}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace quarvo
