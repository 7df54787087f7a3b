// A stream buffer for a Windows console: it keeps what is written until a newline or a flush and
// then hands the text to its sink as UTF-16, whole lines at a time and never a UTF-8 sequence cut
// in two. (Handing a console one byte at a time garbles every character outside ASCII.) The sink
// is the seam: the console's WriteConsoleW in quarvo-flash, a recorder in tests.
#pragma once

#include <functional>
#include <streambuf>
#include <string>
#include <string_view>

namespace quarvo {

class ConsoleLineBuffer final : public std::streambuf {
public:
    // Returns false when the console did not take the text; the stream then fails.
    using Sink = std::function<bool(std::u16string_view)>;

    explicit ConsoleLineBuffer(Sink sink) : m_sink(std::move(sink)) {}
    ~ConsoleLineBuffer() override { sync(); }
    ConsoleLineBuffer(const ConsoleLineBuffer&) = delete;
    ConsoleLineBuffer& operator=(const ConsoleLineBuffer&) = delete;

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

private:
    // Passes on everything pending up to `end`, keeping an unfinished UTF-8 sequence.
    bool emit(std::size_t end);

    Sink m_sink;
    std::string m_pending;
};

} // namespace quarvo
