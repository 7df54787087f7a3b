#include "trace_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarvo {
namespace {

// Non-blocking throughout: a full pipe or a terminal on hold makes a write come back empty
// instead of holding the writer, which then waits in bounded slices.
class FdTarget final : public TraceTarget {
public:
    explicit FdTarget(int fd) : m_fd(fd) {}
    ~FdTarget() override { ::close(m_fd); }
    FdTarget(const FdTarget&) = delete;
    FdTarget& operator=(const FdTarget&) = delete;

    long write(const char* data, std::size_t size, int waitMs, std::string& reason) override
    {
        const ssize_t count = ::write(m_fd, data, size);
        if (count >= 0)
            return static_cast<long>(count);
        if (errno == EINTR)
            return 0;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd wait{m_fd, POLLOUT, 0};
            ::poll(&wait, 1, waitMs);
            return 0;
        }
        reason = std::strerror(errno);
        return -1;
    }

private:
    int m_fd;
};

} // namespace

std::unique_ptr<TraceTarget> TraceTarget::open(const std::string& path, std::string& reason)
{
    // The file standard output or error already writes (--trace /dev/stdout > file): a second
    // open would truncate it and write at an offset of its own, over the other's lines. Its
    // open file is shared instead, offset and all.
    struct stat target {};
    if (::stat(path.c_str(), &target) == 0) {
        for (const int stream : {STDOUT_FILENO, STDERR_FILENO}) {
            struct stat open {};
            if (::fstat(stream, &open) == 0 && open.st_dev == target.st_dev &&
                open.st_ino == target.st_ino) {
                const int shared = ::fcntl(stream, F_DUPFD_CLOEXEC, 0);
                if (shared < 0) {
                    reason = std::strerror(errno);
                    return nullptr;
                }
                return std::make_unique<FdTarget>(shared);
            }
        }
    }
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0)
        return std::make_unique<FdTarget>(fd);
    // Opening a FIFO for writing without a reader fails this way instead of waiting for one.
    reason = errno == ENXIO ? "nothing is reading it (a FIFO needs its reader first)"
                            : std::strerror(errno);
    return nullptr;
}

} // namespace quarvo
