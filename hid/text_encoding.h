// Conversions between UTF-8, the project's text encoding, and the wide strings of the platforms:
// hidapi's wchar_t strings (UTF-16 on Windows, UTF-32 elsewhere) and the UTF-16 of the Windows
// console and command line. Invalid input becomes U+FFFD; nothing throws but std::bad_alloc.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quarvo {

// One character of UTF-8: its code point and the bytes it takes, or valid false for a byte that
// starts no well-formed sequence (a stray continuation, a truncated or overlong form, a surrogate,
// past U+10FFFF), with `used` the bytes the broken sequence spans.
struct Utf8Char {
    char32_t codePoint = 0;
    std::size_t used = 1;
    bool valid = false;
};
// The character that starts at `at` (< text.size()).
Utf8Char decodeUtf8(std::string_view text, std::size_t at);

std::string utf8FromWide(const wchar_t* text); // null: empty
std::string utf8FromUtf16(std::u16string_view text);
std::u16string utf16FromUtf8(std::string_view text);

// Paths to and from UTF-8, whatever the platform's narrow encoding (Windows: the ANSI code page).
std::filesystem::path pathFromUtf8(std::string_view text);
std::string utf8FromPath(const std::filesystem::path& path);

} // namespace quarvo
