// The job's own SHA-256 against published vectors and sha256sum's answers, whole and fed in
// pieces that cross the 64-byte blocks anywhere.
#include "job/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quarvo {
namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct VectorCase {
    const char* name;
    std::string message;
    const char* sha256;
};
class Sha256Vectors : public ::testing::TestWithParam<VectorCase> {};

TEST_P(Sha256Vectors, GiveTheKnownDigestWholeAndInPieces)
{
    const auto& c = GetParam();
    EXPECT_EQ(sha256Hex(bytesOf(c.message)), c.sha256);
    // Pieces of 1, 2, ... bytes: every length of piece meets every place in a block.
    Sha256 hash;
    const auto bytes = bytesOf(c.message);
    for (std::size_t at = 0, piece = 1; at < bytes.size(); at += piece, ++piece)
        hash.update(bytes.subspan(at, std::min(piece, bytes.size() - at)));
    EXPECT_EQ(toHex(hash.finish()), c.sha256);
}

// The lengths around a block's end are where the padding takes one block or two.
INSTANTIATE_TEST_SUITE_P(
    Table, Sha256Vectors,
    ::testing::Values(
        VectorCase{"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        VectorCase{"abc", "abc",
                   "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        VectorCase{"two_blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        VectorCase{"a_55", std::string(55, 'a'),
                   "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        VectorCase{"a_56", std::string(56, 'a'),
                   "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        VectorCase{"a_57", std::string(57, 'a'),
                   "f13b2d724659eb3bf47f2dd6af1accc87b81f09f59f2b75e5c0bed6589dfe8c6"},
        VectorCase{"a_63", std::string(63, 'a'),
                   "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        VectorCase{"a_64", std::string(64, 'a'),
                   "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        VectorCase{"a_65", std::string(65, 'a'),
                   "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
        VectorCase{"a_119", std::string(119, 'a'),
                   "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
        VectorCase{"a_120", std::string(120, 'a'),
                   "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
        VectorCase{"a_128", std::string(128, 'a'),
                   "6836cf13bac400e9105071cd6af47084dfacad4e5e302c94bfed24e013afb73e"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Sha256, AMillionAsFedInUnevenPiecesGiveTheKnownDigest)
{
    const std::vector<std::uint8_t> as(1000000, 'a');
    Sha256 hash;
    const std::span<const std::uint8_t> all(as);
    for (std::size_t at = 0, piece = 1; at < all.size(); at += piece, piece = piece * 3 % 9973)
        hash.update(all.subspan(at, std::min(piece, all.size() - at)));
    EXPECT_EQ(toHex(hash.finish()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(sha256Hex(all), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

} // namespace
} // namespace quarvo
