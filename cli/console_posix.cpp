#include "console.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quarvo {
namespace {

// A signal handler can reach only static storage, so the state it shares with the update lives
// here, once per process (ProcessSignals is constructed once, by main).
std::atomic<int> stopSignal{0};
std::atomic<bool> atRisk{false};
std::atomic<long long> lastInterruptSeconds{-1000};
std::atomic<bool> confirmationPending{false};

constexpr int HANDLED[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[3];
struct sigaction previousPipe;

long long monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

// Only async-signal-safe calls here: lock-free atomics and clock_gettime.
void onSignal(int signal)
{
    if (!atRisk.load()) {
        stopSignal.store(signal);
        return;
    }
    if (signal == SIGHUP)
        return;
    if (signal == SIGINT) {
        const long long now = monotonicSeconds();
        if (now - lastInterruptSeconds.load() > CONFIRM_STOP_SECONDS) {
            lastInterruptSeconds.store(now);
            confirmationPending.store(true);
            return;
        }
    }
    stopSignal.store(signal);
}

} // namespace

ProcessSignals::ProcessSignals()
{
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // writes go on; hidapi's poll still wakes and is asked again
    for (int i = 0; i < 3; ++i)
        sigaction(HANDLED[i], &action, &previous[i]);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe);
}

ProcessSignals::~ProcessSignals()
{
    for (int i = 0; i < 3; ++i)
        sigaction(HANDLED[i], &previous[i], nullptr);
    sigaction(SIGPIPE, &previousPipe, nullptr);
}

int ProcessSignals::requested() { return stopSignal.load(); }

void ProcessSignals::deviceAtRisk() { atRisk.store(true); }

bool ProcessSignals::confirmationAsked() { return confirmationPending.exchange(false); }

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
    if (const char* columns = std::getenv("COLUMNS")) {
        const long value = std::strtol(columns, nullptr, 10);
        if (value > 0 && value < 10000)
            return static_cast<int>(value);
    }
    return 0;
}

// A terminal window outlives the programs run in it.
void Console::holdIfAlone() {}

} // namespace quarvo
