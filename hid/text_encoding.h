// Conversions between UTF-8, the project's text encoding, and the wide strings of the platforms:
// hidapi's wchar_t strings (UTF-16 on Windows, UTF-32 elsewhere) and the UTF-16 of the Windows
// console and command line. Invalid input becomes U+FFFD; nothing throws but std::bad_alloc.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quarvo {

std::string utf8FromWide(const wchar_t* text); // null: empty
std::string utf8FromUtf16(std::u16string_view text);
std::u16string utf16FromUtf8(std::string_view text);

// Paths to and from UTF-8, whatever the platform's narrow encoding (Windows: the ANSI code page).
std::filesystem::path pathFromUtf8(std::string_view text);
std::string utf8FromPath(const std::filesystem::path& path);

} // namespace quarvo
