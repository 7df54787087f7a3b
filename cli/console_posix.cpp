#include "console.h"
#include "stop_state.h"
#include "terminal_surface.h"

#include <algorithm>
#include <csignal>
#include <iterator>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quarvo {
namespace {

constexpr int HANDLED[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[std::size(HANDLED)];
struct sigaction previousPipe;

long long monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

// Only async-signal-safe calls here: clock_gettime and lock-free atomics.
void onSignal(int signal) { stopstate::request(signal, monotonicSeconds()); }

} // namespace

ProcessSignals::ProcessSignals()
{
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // writes go on; hidapi's poll still wakes and is asked again
    for (std::size_t i = 0; i < std::size(HANDLED); ++i)
        sigaction(HANDLED[i], &action, &previous[i]);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe);
}

ProcessSignals::~ProcessSignals()
{
    for (std::size_t i = 0; i < std::size(HANDLED); ++i)
        sigaction(HANDLED[i], &previous[i], nullptr);
    sigaction(SIGPIPE, &previousPipe, nullptr);
}

Console::Console() : m_terminal(::isatty(STDOUT_FILENO) != 0) {}

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
