#include "input_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace quarvo {
namespace {

// Larger reads are split, so that no count passes what one read() may return.
constexpr std::size_t MAX_READ = std::size_t{1} << 30;

std::string errnoReason(int error) { return std::strerror(error); }

FileStamp stampOf(const struct stat& info)
{
#if defined(__APPLE__)
    const timespec& modified = info.st_mtimespec;
    const timespec& changed = info.st_ctimespec;
#else
    const timespec& modified = info.st_mtim;
    const timespec& changed = info.st_ctim;
#endif
    FileStamp stamp;
    stamp.volume = static_cast<std::uint64_t>(info.st_dev);
    stamp.index = static_cast<std::uint64_t>(info.st_ino);
    stamp.size = static_cast<std::uint64_t>(info.st_size);
    stamp.modified = {static_cast<std::int64_t>(modified.tv_sec),
                      static_cast<std::int64_t>(modified.tv_nsec)};
    stamp.changed = {static_cast<std::int64_t>(changed.tv_sec),
                     static_cast<std::int64_t>(changed.tv_nsec)};
    return stamp;
}

} // namespace

bool stampPath(const std::filesystem::path& path, FileStamp& stamp, std::string& reason)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        reason = errnoReason(errno);
        return false;
    }
    stamp = stampOf(info);
    return true;
}

FileTime fileClockNow()
{
    // The system clock counts from the same epoch as the file times (1970, UTC).
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    return {
        static_cast<std::int64_t>(seconds.count()),
        static_cast<std::int64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds).count())};
}

InputFile::InputFile(InputFile&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

bool InputFile::open(const std::filesystem::path& path, std::string& reason)
{
    close();
    // O_NONBLOCK: opening a FIFO waits for a writer, and a serial line for its carrier, otherwise;
    // O_NOCTTY: a terminal never becomes this process's controlling terminal.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        reason = errnoReason(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        reason = errnoReason(errno);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = S_ISDIR(info.st_mode) ? "is a directory" : "is not a regular file";
        ::close(fd);
        return false;
    }
    // A regular file's reads do not wait either way; the flag is cleared so that no read can end
    // early with EAGAIN.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        reason = errnoReason(errno);
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool InputFile::isOpen() const { return m_fd >= 0; }

void InputFile::close()
{
    // Nothing was written through it, so a failing close loses nothing.
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

bool InputFile::stamp(FileStamp& stamp, std::string& reason) const
{
    struct stat info {};
    if (::fstat(m_fd, &info) != 0) {
        reason = errnoReason(errno);
        return false;
    }
    stamp = stampOf(info);
    return true;
}

bool InputFile::readAt(std::uint64_t offset, std::span<std::uint8_t> into, std::size_t& got,
                       std::string& reason) const
{
    got = 0;
    while (got < into.size()) {
        const std::size_t want = std::min(into.size() - got, MAX_READ);
        const ssize_t count =
            ::pread(m_fd, into.data() + got, want, static_cast<off_t>(offset + got));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            reason = errnoReason(errno);
            return false;
        }
        if (count == 0)
            break;
        got += static_cast<std::size_t>(count);
    }
    return true;
}

} // namespace quarvo
