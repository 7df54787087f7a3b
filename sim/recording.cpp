#include "recording.h"

#include "hid/text_encoding.h"

#include <cerrno>
#include <charconv>
#include <fstream>
#include <limits>
#include <system_error>

namespace quarvo {
namespace {

// Longest report a line may carry: far more than any HID report, small enough that a damaged
// trace cannot ask for much memory per line.
constexpr std::size_t MAX_REPORT_BYTES = 4096;
constexpr std::size_t STAMP_FRACTION_DIGITS = 6;

bool parseNumber(std::string_view text, std::int64_t& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty() &&
           text.front() != '-';
}

// "12.000345": seconds and microseconds, as the tracing backend writes them.
bool parseStamp(std::string_view text, std::int64_t& us)
{
    const auto dot = text.find('.');
    if (dot == std::string_view::npos || text.size() - dot - 1 != STAMP_FRACTION_DIGITS)
        return false;
    std::int64_t seconds = 0;
    std::int64_t micros = 0;
    if (!parseNumber(text.substr(0, dot), seconds) || !parseNumber(text.substr(dot + 1), micros) ||
        seconds > std::numeric_limits<std::int64_t>::max() / 1000000 - 1)
        return false;
    us = seconds * 1000000 + micros;
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "00 4f a1": two digits a byte, one space between; appended to `out`. Empty text is no bytes.
bool parseHex(std::string_view text, std::vector<std::uint8_t>& out)
{
    if (text.empty())
        return true;
    if ((text.size() + 1) % 3 != 0 || (text.size() + 1) / 3 > MAX_REPORT_BYTES)
        return false;
    for (std::size_t i = 0; i < text.size(); i += 3) {
        const int high = hexDigit(text[i]);
        const int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0 || (i + 2 < text.size() && text[i + 2] != ' '))
            return false;
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return true;
}

// "[65]" to 65.
bool parseCount(std::string_view text, int& count)
{
    std::int64_t value = 0;
    if (text.size() < 3 || text.front() != '[' || text.back() != ']' ||
        !parseNumber(text.substr(1, text.size() - 2), value) ||
        value > static_cast<std::int64_t>(MAX_REPORT_BYTES))
        return false;
    count = static_cast<int>(value);
    return true;
}

// Where `line` holds a character that is no printable text (a control character, C1 included,
// or a byte that is not UTF-8), or npos. A recording's paths and reasons reach the terminal.
std::size_t unprintableAt(std::string_view line)
{
    for (std::size_t i = 0; i < line.size();) {
        const auto byte = static_cast<unsigned char>(line[i]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F)
                return i;
            ++i;
            continue;
        }
        const Utf8Char c = decodeUtf8(line, i);
        if (!c.valid || c.codePoint < 0xA0)
            return i;
        i += c.used;
    }
    return std::string_view::npos;
}

// "64 KiB", "512 MiB", or "32 bytes" where the count is no whole number of either.
std::string sizeText(std::uintmax_t bytes)
{
    constexpr std::uintmax_t KIB = 1024;
    if (bytes >= KIB * KIB && bytes % (KIB * KIB) == 0)
        return std::to_string(bytes / (KIB * KIB)) + " MiB";
    if (bytes >= KIB && bytes % KIB == 0)
        return std::to_string(bytes / KIB) + " KiB";
    return std::to_string(bytes) + " bytes";
}

class Parser {
public:
    explicit Parser(Recording& recording) : m_recording(recording) {}

    // Empty when the line was taken, else why not.
    std::string take(std::string_view line, unsigned number)
    {
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1); // written or edited on Windows
        if (line.empty() || line.front() == '#')
            return {};
        if (const auto at = unprintableAt(line); at != std::string_view::npos)
            return "byte " + std::to_string(at + 1) + " is not printable text";
        const auto space = line.find(' ');
        RecordedEvent event;
        event.line = number;
        if (space == std::string_view::npos || !parseStamp(line.substr(0, space), event.timeUs))
            return "no time stamp (seconds.microseconds) at its start";
        const std::string_view rest = line.substr(space + 1);
        const auto tagEnd = rest.find(' ');
        const std::string_view tag = rest.substr(0, tagEnd);
        const std::string_view text =
            tagEnd == std::string_view::npos ? std::string_view() : rest.substr(tagEnd + 1);
        if (tag.empty())
            return "no tag after the time stamp";
        if (tag == "enumerate")
            return enumerate(event, text);
        if (tag == "open")
            return open(event, text);
        if (tag == "close")
            return close(event, text);
        if (tag == "out")
            return report(event, text, true);
        if (tag == "in")
            return report(event, text, false);
        // A note of the job's ("status ...") or a tag of a later version: kept, never played.
        m_recording.notes.push_back({std::string(tag), std::string(text)});
        return {};
    }

private:
    std::string enumerate(RecordedEvent& event, std::string_view text)
    {
        const auto space = text.find(' ');
        std::int64_t count = 0;
        if (space == std::string_view::npos || text.substr(space + 1) != "interfaces" ||
            !parseNumber(text.substr(0, space), count) || count > 1000)
            return "a listing is \"enumerate N interfaces\"";
        event.kind = RecordedEvent::Kind::Enumerate;
        event.count = static_cast<int>(count);
        return add(std::move(event));
    }

    std::string open(RecordedEvent& event, std::string_view text)
    {
        static constexpr std::string_view FAILED = " failed: ";
        event.kind = RecordedEvent::Kind::Open;
        // The reason may say "failed: " again; a path does not.
        const auto failed = text.find(FAILED);
        event.path = std::string(text.substr(0, failed));
        if (event.path.empty())
            return "an open without a path";
        if (failed != std::string_view::npos) {
            event.count = -1;
            event.reason = std::string(text.substr(failed + FAILED.size()));
            return add(std::move(event));
        }
        event.link = ++m_links;
        m_open.push_back(event.link);
        return add(std::move(event));
    }

    std::string close(RecordedEvent& event, std::string_view text)
    {
        if (!text.empty())
            return "a close takes no text";
        if (m_open.empty())
            return "a close while no link is open";
        event.kind = RecordedEvent::Kind::Close;
        event.link = m_open.back();
        m_open.pop_back();
        return add(std::move(event));
    }

    // "out [65] 00 ..", "out failed (reason) 00 ..", "in [65] 00 ..", "in failed (reason)".
    std::string report(RecordedEvent& event, std::string_view text, bool out)
    {
        event.kind = out ? RecordedEvent::Kind::Out : RecordedEvent::Kind::In;
        if (m_open.empty())
            return "a report while no link is open";
        event.link = m_open.back();
        event.number = out ? ++m_outs : ++m_ins;
        std::string_view hex;
        if (text.starts_with("failed (")) {
            event.count = -1;
            // The reason may hold parentheses and spaces; the bytes after it hold neither.
            const auto end = out ? text.rfind(") ") : text.rfind(')');
            if (end == std::string_view::npos || end < 8 || (!out && end + 1 != text.size()))
                return out ? "a failed output report is \"out failed (reason) bytes\""
                           : "a failed input report is \"in failed (reason)\"";
            event.reason = std::string(text.substr(8, end - 8));
            hex = out ? text.substr(end + 2) : std::string_view();
        } else {
            const auto space = text.find(' ');
            if (!parseCount(text.substr(0, space), event.count))
                return "a report's byte count is \"[N]\"";
            hex = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
        }
        event.bytesAt = m_recording.bytes.size();
        if (!parseHex(hex, m_recording.bytes))
            return "a report's bytes are pairs of hex digits, one space apart";
        event.size = m_recording.bytes.size() - event.bytesAt;
        if (!out && event.count >= 0 &&
            (event.count == 0 || static_cast<std::size_t>(event.count) != event.size))
            return "an input report's count is not its number of bytes";
        if (out && event.count > static_cast<int>(event.size))
            return "an output report's count is more than its bytes";
        return add(std::move(event));
    }

    std::string add(RecordedEvent event)
    {
        m_recording.events.push_back(std::move(event));
        return {};
    }

    Recording& m_recording;
    std::vector<unsigned> m_open; // the links open, the latest last
    unsigned m_links = 0;
    unsigned m_outs = 0;
    unsigned m_ins = 0;
};

} // namespace

std::vector<std::string> Recording::noteTexts(std::string_view tag) const
{
    std::vector<std::string> texts;
    for (const RecordedNote& note : notes)
        if (note.tag == tag)
            texts.push_back(note.text);
    return texts;
}

bool parseRecording(std::istream& in, Recording& recording, std::string& error,
                    std::uintmax_t sizeLimit)
{
    Parser parser(recording);
    // A line, the '\r' of a line written on Windows, and the '\0' getline puts after them: no
    // more of a line than that is ever held.
    std::vector<char> buffer(RECORDING_LINE_LIMIT_BYTES + 2);
    const auto tooLong = [&error](unsigned number) {
        error = "line " + std::to_string(number) + ": longer than " +
                sizeText(RECORDING_LINE_LIMIT_BYTES) + ", the most a trace line may hold";
        return false;
    };
    std::uintmax_t total = 0;
    for (unsigned number = 1;; ++number) {
        in.getline(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        if (in.bad()) {
            error = "read failed";
            return false;
        }
        const auto extracted = static_cast<std::size_t>(in.gcount());
        if (in.fail() && !in.eof())
            return tooLong(number); // the buffer filled before the line ended
        total += extracted;
        if (total > sizeLimit) {
            error = "larger than " + sizeText(sizeLimit) + ", the most a recording may hold";
            return false;
        }
        if (extracted == 0 && in.eof())
            return true;
        // Without the '\n' getline took, where one ended the line.
        const std::size_t size = in.eof() ? extracted : extracted - 1;
        const std::string_view line(buffer.data(), size);
        if (size > RECORDING_LINE_LIMIT_BYTES && line.back() != '\r')
            return tooLong(number);
        if (std::string why = parser.take(line, number); !why.empty()) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
        if (in.eof())
            return true;
    }
}

bool loadRecording(const std::filesystem::path& path, Recording& recording, std::string& error)
{
    recording.source = utf8FromPath(path);
    std::error_code why;
    const auto status = std::filesystem::status(path, why);
    if (why) {
        error = why.message();
        return false;
    }
    // A FIFO or a device could keep the reading waiting for good.
    if (!std::filesystem::is_regular_file(status)) {
        error = std::filesystem::is_directory(status)
                    ? std::make_error_code(std::errc::is_a_directory).message()
                    : "not a regular file";
        return false;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, why);
    if (why) {
        error = why.message();
        return false;
    }
    if (size > RECORDING_SIZE_LIMIT_BYTES) {
        error = std::to_string(size) + " bytes, larger than " +
                sizeText(RECORDING_SIZE_LIMIT_BYTES) + ", the most a recording may hold";
        return false;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = errno ? std::generic_category().message(errno) : "cannot be opened";
        return false;
    }
    return parseRecording(in, recording, error);
}

} // namespace quarvo
