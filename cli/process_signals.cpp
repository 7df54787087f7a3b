#include "process_signals.h"

#include <atomic>
#include <iterator>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <ctime>
#endif

namespace quarvo {
namespace {

constexpr int HANGUP = 1;    // SIGHUP
constexpr int INTERRUPT = 2; // SIGINT, Ctrl-C

// Lock-free atomics in static storage: the only storage a signal handler may reach.
std::atomic<int> stopSignal{0};
std::atomic<bool> atRisk{false};
std::atomic<long long> lastInterruptSeconds{-1000};
std::atomic<bool> confirmationPending{false};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long long>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

// A request arrived as `signal` at `nowSeconds` on a monotonic clock. Callable from a handler.
void request(int signal, long long nowSeconds)
{
    if (!atRisk.load()) {
        stopSignal.store(signal);
        return;
    }
    if (signal == HANGUP)
        return;
    if (signal == INTERRUPT && nowSeconds - lastInterruptSeconds.load() > CONFIRM_STOP_SECONDS) {
        lastInterruptSeconds.store(nowSeconds);
        confirmationPending.store(true);
        return;
    }
    stopSignal.store(signal);
}

#if defined(_WIN32)

// Windows ends a process at most a few seconds after its console window is closed; this much of
// that time lets the update stop between reports and say so.
constexpr DWORD CLOSE_GRACE_MS = 3000;
// The number of SIGTERM, which a console's close and break events stand for.
constexpr int TERMINATE = 15;

// Runs on a thread of its own, which the system starts for each event.
BOOL WINAPI onControl(DWORD event)
{
    const auto now = static_cast<long long>(GetTickCount64() / 1000);
    switch (event) {
    case CTRL_C_EVENT:
        request(INTERRUPT, now);
        return TRUE;
    case CTRL_BREAK_EVENT:
        request(TERMINATE, now);
        return TRUE;
    default:
        // The window is being closed or the session ends: the process will not survive it, so
        // this is no hangup to ride out.
        request(TERMINATE, now);
        Sleep(CLOSE_GRACE_MS);
        return TRUE;
    }
}

#else

constexpr int HANDLED[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int IGNORED[] = {SIGPIPE, SIGXFSZ};
struct Saved {
    int signal;
    struct sigaction action;
};
Saved saved[std::size(HANDLED) + std::size(IGNORED)];
std::size_t savedCount = 0;

// Only async-signal-safe calls here: clock_gettime and lock-free atomics.
void onSignal(int signal)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    request(signal, now.tv_sec);
}

// Installs `handler` for `signal` unless the signal was ignored when the process started, and
// remembers what was there.
void install(int signal, void (*handler)(int))
{
    struct sigaction before {};
    if (sigaction(signal, nullptr, &before) != 0 || before.sa_handler == SIG_IGN)
        return;
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // writes go on; waits look at the requests in short slices
    if (sigaction(signal, &action, nullptr) == 0)
        saved[savedCount++] = {signal, before};
}

#endif

} // namespace

#if defined(_WIN32)

ProcessSignals::ProcessSignals() { SetConsoleCtrlHandler(onControl, TRUE); }

ProcessSignals::~ProcessSignals() { SetConsoleCtrlHandler(onControl, FALSE); }

#else

ProcessSignals::ProcessSignals()
{
    for (const int signal : HANDLED)
        install(signal, onSignal);
    for (const int signal : IGNORED)
        install(signal, SIG_IGN);
}

ProcessSignals::~ProcessSignals()
{
    while (savedCount > 0) {
        --savedCount;
        sigaction(saved[savedCount].signal, &saved[savedCount].action, nullptr);
    }
}

#endif

int ProcessSignals::requested() { return stopSignal.load(); }

void ProcessSignals::deviceAtRisk() { atRisk.store(true); }

bool ProcessSignals::confirmationAsked() { return confirmationPending.exchange(false); }

} // namespace quarvo
