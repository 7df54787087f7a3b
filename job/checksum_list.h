// The checksums a SHA256SUMS file lists, in the formats sha256sum writes and checks: "<64 hex>
// <name>" with two spaces or a space and '*', the escaped form of a name with a backslash or line
// break ("\<64 hex>  <name with \\ and \n>"), and the tagged "SHA256 (<name>) = <64 hex>". Line
// ends may be CRLF; blank lines are passed over. Parsing fails on the first line that is none of
// these, naming it ("line 3: not a checksum line").
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quarvo {

inline constexpr const char* CHECKSUM_LIST_FILE = "SHA256SUMS";
// A list of checksums larger than this (some ten thousand lines) is no list for two files.
inline constexpr std::size_t MAX_CHECKSUM_LIST_SIZE = 1 << 20;

struct ChecksumEntry {
    std::string name;   // as listed, escapes undone
    std::string sha256; // 64 lower-case hexadecimal digits
    std::size_t line = 0;
};

struct ChecksumList {
    std::vector<ChecksumEntry> entries;

    // The entries for `file`, a name in the list's own folder: a leading "./" is the same name,
    // and on Windows letters match in either case, as the file system matches them there.
    std::vector<const ChecksumEntry*> entriesFor(std::string_view file) const;
};

// Reads `text`, the whole of a SHA256SUMS file, into `list`. False with `error` on the first line
// that is not a checksum line ("line 3: not a checksum line").
bool parseChecksumList(std::string_view text, ChecksumList& list, std::string& error);

} // namespace quarvo
