#include "windows_error.h"

#include <windows.h>

namespace quarvo {

std::string windowsErrorText(unsigned long error)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string reason;
    if (length > 0) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr,
                                              0, nullptr, nullptr);
        if (bytes > 0) {
            reason.resize(static_cast<std::size_t>(bytes));
            if (WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), reason.data(),
                                    bytes, nullptr, nullptr) != bytes)
                reason.clear();
        }
    }
    if (text)
        LocalFree(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                               reason.back() == ' ' || reason.back() == '.'))
        reason.pop_back();
    return reason;
}

} // namespace quarvo
