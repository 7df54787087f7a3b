#include "console.h"
#include "terminal_view.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarvo {
namespace {

// A standard descriptor that is closed at start (`>&-`) would be the number the next file opened
// gets: the trace, the lock file or the device would then receive what is meant for that stream.
// /dev/null takes each closed one first; open returns the lowest free number, so they fill in
// order.
void fillClosedStandardStreams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0)
            ::close(opened); // cannot happen: every lower number is open
    }
}

} // namespace

Console::Console()
{
    fillClosedStandardStreams();
    m_terminal = ::isatty(STDOUT_FILENO) != 0;
    m_escapes = escapesFromEnvironment();
}

Console::~Console() = default;

std::vector<std::string> Console::arguments(int argc, char** argv) const
{
    return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

int Console::columns() const
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return columnsFromEnvironment();
}

// A terminal window outlives the programs run in it.
void Console::holdIfAlone() {}

namespace {

// A terminal is writable (poll) while its buffer holds fewer than this many characters, so a
// piece of this size does not block even when it is on hold (Ctrl-S).
constexpr std::size_t TERMINAL_PIECE = 256;

} // namespace

QueuedWriter::Channel Console::outputChannel(int stream) const
{
    struct stat status {};
    const bool known = ::fstat(stream, &status) == 0;
    const bool socket = known && S_ISSOCK(status.st_mode);
    // Files never stall; anything else gets what it has room for.
    std::size_t piece = 0;
    if (known && S_ISFIFO(status.st_mode))
        piece = PIPE_BUF;
    else if (!known || (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode) && !socket))
        piece = TERMINAL_PIECE;
    return [stream, socket, piece](const char* data, std::size_t size, int waitMs,
                                   std::string& reason) -> long {
        if (piece > 0) {
            pollfd room{stream, POLLOUT, 0};
            const int ready = ::poll(&room, 1, waitMs);
            if (ready == 0 || (ready < 0 && errno == EINTR))
                return 0;
            size = std::min(size, piece);
        }
        const ssize_t count = socket ? ::send(stream, data, size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                     : ::write(stream, data, size);
        if (count >= 0)
            return static_cast<long>(count);
        if (errno == EINTR)
            return 0;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd room{stream, POLLOUT, 0};
            ::poll(&room, 1, waitMs);
            return 0;
        }
        reason = std::strerror(errno);
        return -1;
    };
}

bool Console::outputsShareFile() const
{
    struct stat out {};
    struct stat err {};
    return ::fstat(STDOUT_FILENO, &out) == 0 && ::fstat(STDERR_FILENO, &err) == 0 &&
           out.st_dev == err.st_dev && out.st_ino == err.st_ino;
}

} // namespace quarvo
