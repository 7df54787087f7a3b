// Hands out the bytes of one fuzz input: small numbers, choices and runs of bytes. Once the input
// is used up every call returns zeros, so a harness always ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace quarvo {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool empty() const { return m_used >= m_size; }

    std::uint8_t byte() { return empty() ? 0 : m_data[m_used++]; }

    // One of `count` choices (count > 0).
    unsigned choose(unsigned count) { return byte() % count; }

    std::uint32_t u32()
    {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value |= std::uint32_t{byte()} << (8 * i);
        return value;
    }

    // Fills `out` from the input, with zeros once it is used up.
    void fill(std::span<std::uint8_t> out)
    {
        for (std::uint8_t& b : out)
            b = byte();
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_used = 0;
};

// Stops the run as a crash when a promise of the code under test is broken.
inline void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "broken promise: %s\n", what);
        std::abort();
    }
}

} // namespace quarvo
