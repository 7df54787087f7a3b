#include "checksum_list.h"

#include <algorithm>

namespace quarvo {
namespace {

constexpr std::size_t HEX_DIGITS = 64;
constexpr std::string_view TAG_START = "SHA256 (";
constexpr std::string_view TAG_END = ") = ";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// 64 hexadecimal digits, made lower case; false for anything else.
bool readDigest(std::string_view text, std::string& digest)
{
    if (text.size() != HEX_DIGITS || !std::all_of(text.begin(), text.end(), isHex))
        return false;
    digest.assign(text);
    std::transform(digest.begin(), digest.end(), digest.begin(), lowerAscii);
    return true;
}

// Undoes sha256sum's escapes in a name: "\\" for a backslash, "\n" and "\r" for line breaks.
bool unescapeName(std::string_view text, std::string& name)
{
    name.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            name.push_back(text[i]);
            continue;
        }
        if (++i == text.size())
            return false;
        switch (text[i]) {
        case '\\':
            name.push_back('\\');
            break;
        case 'n':
            name.push_back('\n');
            break;
        case 'r':
            name.push_back('\r');
            break;
        default:
            return false;
        }
    }
    return true;
}

// One line without its line end; false when it is no checksum line.
bool parseLine(std::string_view line, ChecksumEntry& entry)
{
    const bool escaped = !line.empty() && line.front() == '\\';
    if (escaped)
        line.remove_prefix(1);
    std::string_view name;
    if (line.starts_with(TAG_START)) {
        // The name may hold ") = " itself; the digest is what follows the last one.
        const std::size_t end = line.rfind(TAG_END);
        if (end == std::string_view::npos || end < TAG_START.size())
            return false;
        name = line.substr(TAG_START.size(), end - TAG_START.size());
        if (!readDigest(line.substr(end + TAG_END.size()), entry.sha256))
            return false;
    } else {
        // "<digest>  <name>" (read as text) or "<digest> *<name>" (read as binary): the same
        // bytes either way on the systems that write them.
        if (line.size() < HEX_DIGITS + 3 || !readDigest(line.substr(0, HEX_DIGITS), entry.sha256))
            return false;
        if (line[HEX_DIGITS] != ' ' || (line[HEX_DIGITS + 1] != ' ' && line[HEX_DIGITS + 1] != '*'))
            return false;
        name = line.substr(HEX_DIGITS + 2);
    }
    if (name.empty())
        return false;
    if (escaped)
        return unescapeName(name, entry.name);
    entry.name.assign(name);
    return true;
}

// The name as the file system would find it: without leading "./".
std::string_view plainName(std::string_view name)
{
    while (name.starts_with("./"))
        name.remove_prefix(2);
    return name;
}

bool sameName(std::string_view a, std::string_view b)
{
#if defined(_WIN32)
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
#else
    return a == b;
#endif
}

} // namespace

std::vector<const ChecksumEntry*> ChecksumList::entriesFor(std::string_view file) const
{
    std::vector<const ChecksumEntry*> found;
    for (const ChecksumEntry& entry : entries)
        if (sameName(plainName(entry.name), plainName(file)))
            found.push_back(&entry);
    return found;
}

bool parseChecksumList(std::string_view text, ChecksumList& list, std::string& error)
{
    list.entries.clear();
    // A byte order mark, which some editors put at the start of a text file.
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    std::size_t number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        // sha256sum passes over the blanks before a line's digest too.
        while (!line.empty() && isBlank(line.front()))
            line.remove_prefix(1);
        if (line.empty())
            continue;
        ChecksumEntry entry;
        if (!parseLine(line, entry)) {
            error = "line " + std::to_string(number) + ": not a checksum line";
            return false;
        }
        entry.line = number;
        list.entries.push_back(std::move(entry));
    }
    return true;
}

} // namespace quarvo
