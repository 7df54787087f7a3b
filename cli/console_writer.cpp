#include "console_writer.h"

#include "hid/text_encoding.h"

namespace quarvo {
namespace {

// Where an unfinished UTF-8 sequence at the end of `text` begins (text.size() when there is none).
std::size_t completeLength(const std::string& text)
{
    std::size_t start = text.size();
    for (int back = 0; back < 3 && start > 0; ++back) {
        const auto byte = static_cast<unsigned char>(text[start - 1]);
        if ((byte & 0xC0) != 0x80) {
            // The lead byte of the last sequence: is the sequence complete?
            const std::size_t need = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            return text.size() - (start - 1) >= need ? text.size() : start - 1;
        }
        --start;
    }
    return text.size();
}

} // namespace

ConsoleLineBuffer::int_type ConsoleLineBuffer::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
}

std::streamsize ConsoleLineBuffer::xsputn(const char* text, std::streamsize count)
{
    m_pending.append(text, static_cast<std::size_t>(count));
    const std::size_t newline = m_pending.rfind('\n');
    if (newline != std::string::npos && !emit(newline + 1))
        return 0;
    return count;
}

int ConsoleLineBuffer::sync() { return emit(completeLength(m_pending)) ? 0 : -1; }

bool ConsoleLineBuffer::emit(std::size_t end)
{
    if (end == 0)
        return true;
    const std::u16string wide = utf16FromUtf8(std::string_view(m_pending).substr(0, end));
    m_pending.erase(0, end);
    return m_sink(wide);
}

} // namespace quarvo
