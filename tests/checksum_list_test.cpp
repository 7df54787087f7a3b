// Reading SHA256SUMS as sha256sum writes it: every form it writes is read, and the first line that
// is none of them is named by its number.
#include "job/checksum_list.h"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

const std::string A(64, 'a');
const std::string B = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

struct ReadCase {
    const char* name;
    std::string text;
    const char* file;     // looked up after reading
    std::string sha256s;  // the digests listed for it, one after the other
    std::size_t line = 0; // the line of the first of them
};
class ChecksumLists : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ChecksumLists, AreReadInEveryFormSha256sumWrites)
{
    const auto& c = GetParam();
    ChecksumList list;
    std::string error;
    ASSERT_TRUE(parseChecksumList(c.text, list, error)) << error;
    std::string found;
    for (const ChecksumEntry* entry : list.entriesFor(c.file))
        found += entry->sha256;
    EXPECT_EQ(found, c.sha256s);
    if (!c.sha256s.empty()) {
        EXPECT_EQ(list.entriesFor(c.file).front()->line, c.line);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChecksumLists,
    ::testing::Values(
        ReadCase{"text_mode", A + "  code_data.bin\n", "code_data.bin", A, 1},
        ReadCase{"binary_mode", A + " *code_data.bin\n", "code_data.bin", A, 1},
        ReadCase{"no_last_line_end", B + "  x\n" + A + "  code_data.bin", "code_data.bin", A, 2},
        ReadCase{"crlf_and_blank_lines",
                 "\r\n" + B + "  other.bin\r\n\r\n  \t\r\n" + A + "  car_data.bin\r\n",
                 "car_data.bin", A, 5},
        ReadCase{"upper_case_digits",
                 "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"
                 "  code_data.bin\n",
                 "code_data.bin", B, 1},
        ReadCase{"dot_slash", A + "  ./code_data.bin\n", "code_data.bin", A, 1},
        ReadCase{"byte_order_mark", "\xEF\xBB\xBF" + A + "  code_data.bin\n", "code_data.bin", A,
                 1},
        ReadCase{"tagged", "SHA256 (code_data.bin) = " + A + "\n", "code_data.bin", A, 1},
        ReadCase{"escaped_name", "\\" + A + "  back\\\\slash\\nname\n", "back\\slash\nname", A, 1},
        ReadCase{"listed_twice", A + "  code_data.bin\n" + B + "  code_data.bin\n", "code_data.bin",
                 A + B, 1},
        // A name with a folder or another spelling is another file.
        ReadCase{"other_files_only",
                 A + "  firmware/code_data.bin\n" + A + "  code_data.bin.old\n" + A +
                     "   code_data.bin\n",
                 "code_data.bin", "", 0},
        ReadCase{"empty", "", "code_data.bin", "", 0}),
    [](const auto& row) { return std::string(row.param.name); });

struct MalformedCase {
    const char* name;
    std::string text;
    const char* error;
};
class MalformedChecksumLists : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedChecksumLists, AreRefusedAtTheirFirstBadLine)
{
    ChecksumList list;
    std::string error;
    EXPECT_FALSE(parseChecksumList(GetParam().text, list, error));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MalformedChecksumLists,
    ::testing::Values(
        MalformedCase{"short_digest", A.substr(1) + "  code_data.bin\n",
                      "line 1: not a checksum line"},
        MalformedCase{"long_digest", A + "a  code_data.bin\n", "line 1: not a checksum line"},
        MalformedCase{"not_hex", std::string(63, 'a') + "g  code_data.bin\n",
                      "line 1: not a checksum line"},
        MalformedCase{"one_space", A + " code_data.bin\n", "line 1: not a checksum line"},
        MalformedCase{"no_name", A + "  \n", "line 1: not a checksum line"},
        MalformedCase{"third_line", A + "  a\n\n# a comment\n", "line 3: not a checksum line"},
        MalformedCase{"other_digest", "MD5 (code_data.bin) = 0123456789abcdef0123456789abcdef\n",
                      "line 1: not a checksum line"},
        MalformedCase{"tag_without_digest", "SHA256 (code_data.bin) = \n",
                      "line 1: not a checksum line"},
        MalformedCase{"bad_escape", "\\" + A + "  a\\tb\n", "line 1: not a checksum line"},
        MalformedCase{"utf16",
                      std::string("\xFF\xFE"
                                  "a\0a\0",
                                  6),
                      "line 1: not a checksum line"}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace quarvo
