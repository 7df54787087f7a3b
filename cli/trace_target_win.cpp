#include "trace_file.h"

#include "hid/text_encoding.h"

#include <cerrno>
#include <fstream>
#include <system_error>

namespace quarvo {
namespace {

// A trace on Windows is a file: its writes do not stall for a reader.
class FileTarget final : public TraceTarget {
public:
    explicit FileTarget(std::ofstream stream) : m_stream(std::move(stream)) {}

    long write(const char* data, std::size_t size, int, std::string& reason) override
    {
        errno = 0;
        m_stream.write(data, static_cast<std::streamsize>(size));
        m_stream.flush();
        if (m_stream)
            return static_cast<long>(size);
        reason = errno ? std::generic_category().message(errno) : "write failed";
        return -1;
    }

private:
    std::ofstream m_stream;
};

} // namespace

std::unique_ptr<TraceTarget> TraceTarget::open(const std::string& path, std::string& reason)
{
    errno = 0;
    std::ofstream stream(pathFromUtf8(path));
    if (stream)
        return std::make_unique<FileTarget>(std::move(stream));
    reason = errno ? std::generic_category().message(errno) : "cannot be opened";
    return nullptr;
}

} // namespace quarvo
