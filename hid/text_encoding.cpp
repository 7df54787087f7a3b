#include "text_encoding.h"

#include <cstdint>

namespace quarvo {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

void appendUtf8(std::string& out, char32_t c)
{
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = REPLACEMENT;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Reads one code point of UTF-16 at `i`, moving `i` past it.
template <typename Unit> char32_t nextUtf16(const Unit* text, std::size_t size, std::size_t& i)
{
    const auto unit = static_cast<char32_t>(static_cast<std::uint16_t>(text[i++]));
    if (unit < 0xD800 || unit > 0xDFFF)
        return unit;
    if (unit > 0xDBFF || i == size)
        return REPLACEMENT;
    const auto low = static_cast<char32_t>(static_cast<std::uint16_t>(text[i]));
    if (low < 0xDC00 || low > 0xDFFF)
        return REPLACEMENT;
    ++i;
    return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
}

} // namespace

std::string utf8FromWide(const wchar_t* text)
{
    std::string out;
    if (!text)
        return out;
    std::size_t size = 0;
    while (text[size])
        ++size;
    for (std::size_t i = 0; i < size;) {
        if constexpr (sizeof(wchar_t) == 2)
            appendUtf8(out, nextUtf16(text, size, i));
        else
            appendUtf8(out, static_cast<char32_t>(text[i++]));
    }
    return out;
}

std::string utf8FromUtf16(std::u16string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();)
        appendUtf8(out, nextUtf16(text.data(), text.size(), i));
    return out;
}

std::filesystem::path pathFromUtf8(std::string_view text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string utf8FromPath(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

Utf8Char decodeUtf8(std::string_view text, std::size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    // How many continuation bytes the lead byte announces; -1 for a byte that leads nothing.
    const int extra = lead < 0x80   ? 0
                      : lead < 0xC0 ? -1
                      : lead < 0xE0 ? 1
                      : lead < 0xF0 ? 2
                      : lead < 0xF8 ? 3
                                    : -1;
    Utf8Char c;
    c.codePoint = lead & (0x7F >> (extra > 0 ? extra + 1 : 0));
    c.valid = extra >= 0 && at + static_cast<std::size_t>(extra) < text.size();
    for (int k = 1; c.valid && k <= extra; ++k) {
        const auto next = static_cast<unsigned char>(text[at + static_cast<std::size_t>(k)]);
        c.valid = (next & 0xC0) == 0x80;
        c.codePoint = (c.codePoint << 6) | (next & 0x3F);
        c.used += c.valid;
    }
    // Overlong forms and surrogates are as invalid as broken sequences.
    static constexpr char32_t SMALLEST[] = {0, 0x80, 0x800, 0x10000};
    if (c.valid && (c.codePoint < SMALLEST[extra] || c.codePoint > 0x10FFFF ||
                    (c.codePoint >= 0xD800 && c.codePoint <= 0xDFFF)))
        c.valid = false;
    return c;
}

std::u16string utf16FromUtf8(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Char decoded = decodeUtf8(text, i);
        i += decoded.used;
        char32_t c = decoded.valid ? decoded.codePoint : REPLACEMENT;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

} // namespace quarvo
