#include "folder_argument.h"

#include "hid/text_encoding.h"
#include "platform/windows_error.h"

#include <windows.h>

#include <system_error>

namespace quarvo {
namespace {

std::wstring wide(const std::string& text)
{
    const std::u16string utf16 = utf16FromUtf8(text);
    return std::wstring(utf16.begin(), utf16.end());
}

// The system's words for an error: its own text for a Windows error code, else the C library's
// (plain ASCII).
std::wstring reason(const std::error_code& error)
{
    if (error.category() == std::system_category())
        if (const std::string text = windowsErrorText(static_cast<unsigned long>(error.value()));
            !text.empty())
            return wide(text);
    return wide(error.message());
}

// Whether the error says that there is nothing at the path: the C library's words or the
// system's, as the standard library reports either.
bool isMissing(const std::error_code& error)
{
    if (error.category() == std::system_category())
        return error.value() == ERROR_FILE_NOT_FOUND || error.value() == ERROR_PATH_NOT_FOUND;
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
}

// The problem, what the one argument is for, and the usage line.
FolderChoice refused(const std::wstring& problem)
{
    return {std::nullopt,
            problem +
                L"\n\n只能指定一個參數：存放 code_data.bin 和 car_data.bin 的資料夾"
                L"（不指定時使用目前的資料夾）。\n\n" +
                UPDATER_USAGE,
            USAGE_EXIT_STATUS};
}

} // namespace

FolderChoice chooseFolder(const std::vector<std::wstring>& arguments)
{
    if (arguments.empty())
        return {std::filesystem::path(L"."), {}, 0};
    if (arguments.size() > 1)
        return refused(L"參數太多：指定了 " + std::to_wstring(arguments.size()) + L" 個。");
    const std::wstring& argument = arguments.front();
    if (argument == L"--help" || argument == L"-h" || argument == L"/?")
        return {std::nullopt,
                L"更新程式從指定的資料夾讀取 code_data.bin 和 car_data.bin，寫入設備；"
                L"不指定時使用目前的資料夾。\n\n" +
                    std::wstring(UPDATER_USAGE),
                0};
    // A folder whose name begins with '-' is given as .\-name.
    if (argument.starts_with(L"-"))
        return refused(L"不認得的選項：" + argument);
    // "D:\Update files\" in quotes reaches the program as D:\Update files" (the backslash takes
    // the quote as text); no Windows name holds a quote, so it is dropped.
    std::wstring path = argument;
    if (path.size() > 1 && path.back() == L'"')
        path.pop_back();
    const std::filesystem::path folder(path);
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(folder, error);
    if (isMissing(error) || (!error && !std::filesystem::exists(status)))
        return refused(L"找不到這個資料夾：\n" + argument);
    if (error)
        return refused(L"無法讀取這個資料夾：\n" + argument + L"\n" + reason(error));
    if (!std::filesystem::is_directory(status))
        return refused(L"這不是資料夾：\n" + argument);
    return {folder, {}, 0};
}

void showUsageBox(const FolderChoice& choice, const std::wstring& title)
{
    const UINT icon = choice.exitStatus == 0 ? MB_ICONINFORMATION : MB_ICONERROR;
    // Where the box cannot be shown, a debugger or DebugView still sees why the program ended.
    if (MessageBoxW(nullptr, choice.message.c_str(), title.c_str(), MB_OK | icon) == 0)
        OutputDebugStringW((L"quarvo-updater: " + choice.message + L"\n").c_str());
}

} // namespace quarvo
