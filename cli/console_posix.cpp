#include "console.h"
#include "terminal_surface.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
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

} // namespace quarvo
