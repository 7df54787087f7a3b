// SHA-256 of our own: the update files' checksums, without a crypto library in the static Windows
// build. Feed it the bytes in pieces of any size, then take the digest; it cannot fail.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quarvo {

inline constexpr std::size_t SHA256_SIZE = 32;
using Sha256Digest = std::array<std::uint8_t, SHA256_SIZE>;

class Sha256 {
public:
    Sha256();

    void update(std::span<const std::uint8_t> bytes);
    // The digest of everything fed so far. The hash is spent afterwards: feed no more.
    Sha256Digest finish();

private:
    void compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state;
    std::array<std::uint8_t, 64> m_block{};
    std::size_t m_held = 0;
    std::uint64_t m_length = 0; // bytes fed in all
};

// The digest as 64 lower-case hexadecimal digits, the way sha256sum prints it.
std::string toHex(const Sha256Digest& digest);

// The SHA-256 of `bytes` as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::span<const std::uint8_t> bytes);

} // namespace quarvo
