#include "process_stops.h"

#include <array>
#include <atomic>
#include <csignal>
#include <iterator>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace quarvo {
namespace {

// The requests not yet taken, in static storage: the only storage a signal handler may reach. A
// slot holds its request's sequence number (so that a reader never takes a slot a handler on
// another thread is still filling), the signal and the time, relative to when the source was made.
constexpr std::size_t RING_SLOTS = 64;
std::array<std::atomic<std::uint64_t>, RING_SLOTS> ring{};
std::atomic<std::uint32_t> ringHead{0};
std::atomic<std::int64_t> originMs{0};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free &&
                  std::atomic<std::uint32_t>::is_always_lock_free &&
                  std::atomic<std::int64_t>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

constexpr std::uint64_t SEQUENCE_BITS = 24;
constexpr std::uint64_t SEQUENCE_MASK = (std::uint64_t{1} << SEQUENCE_BITS) - 1;

std::uint64_t sequenceTag(std::uint32_t index) { return (index & SEQUENCE_MASK) + 1; }

// Callable from a handler: lock-free atomics only.
void record(int signal, std::int64_t nowMs)
{
    const std::uint32_t index = ringHead.fetch_add(1);
    const auto relative = static_cast<std::uint64_t>(nowMs - originMs.load()) & 0xFFFFFFFFu;
    const std::uint64_t value =
        (sequenceTag(index) << 40) | (static_cast<std::uint64_t>(signal & 0xFF) << 32) | relative;
    ring[index % RING_SLOTS].store(value);
}

// How far take() has read; only the taking thread touches it.
std::uint32_t ringTail = 0;

#if defined(_WIN32)

// Windows ends a process at most a few seconds after its console window is closed; this much of
// that time lets the update stop between reports and say so.
constexpr DWORD CLOSE_GRACE_MS = 3000;

// Runs on a thread of its own, which the system starts for each event.
BOOL WINAPI onControl(DWORD event)
{
    const auto now = static_cast<std::int64_t>(GetTickCount64());
    switch (event) {
    case CTRL_C_EVENT:
        record(SIGINT, now);
        return TRUE;
    case CTRL_BREAK_EVENT:
        record(SIGTERM, now);
        return TRUE;
    default:
        // The window is being closed or the session ends: the process will not survive it.
        record(SIGTERM, now);
        Sleep(CLOSE_GRACE_MS);
        return TRUE;
    }
}

#else

constexpr int HANDLED[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM};
constexpr int IGNORED[] = {SIGPIPE, SIGXFSZ};
struct Saved {
    int signal;
    struct sigaction action;
};
Saved saved[std::size(HANDLED) + std::size(IGNORED)];
std::size_t savedCount = 0;
// The self-pipe that wakes an event loop: the handler writes a byte, the loop reads them all.
int wakeRead = -1;
int wakeWrite = -1;

// Only async-signal-safe calls here: clock_gettime, write and lock-free atomics.
void onSignal(int signal)
{
    const int savedErrno = errno;
    record(signal, monotonicMs());
    if (wakeWrite >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeWrite, &byte, 1);
    }
    errno = savedErrno;
}

sigset_t stopSignalSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : HANDLED)
        sigaddset(&set, signal);
    return set;
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
    // No handler of ours interrupts another: each records into the ring in one piece.
    action.sa_mask = stopSignalSet();
    action.sa_flags = 0; // no SA_RESTART: a blocked call comes back with EINTR
    if (sigaction(signal, &action, nullptr) == 0)
        saved[savedCount++] = {signal, before};
}

#endif

} // namespace

int interruptSignal() { return SIGINT; }
int terminateSignal() { return SIGTERM; }
int hangupSignal()
{
#if defined(SIGHUP)
    return SIGHUP;
#else
    return 0;
#endif
}

const char* signalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
#if !defined(_WIN32)
    case SIGHUP:
        return "SIGHUP";
    case SIGQUIT:
        return "SIGQUIT";
    case SIGUSR1:
        return "SIGUSR1";
    case SIGUSR2:
        return "SIGUSR2";
    case SIGALRM:
        return "SIGALRM";
#endif
    default:
        return "a signal";
    }
}

std::int64_t monotonicMs()
{
#if defined(_WIN32)
    return static_cast<std::int64_t>(GetTickCount64());
#else
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
#endif
}

std::vector<StopRequest> ProcessStops::take()
{
    std::vector<StopRequest> requests;
    const std::uint32_t head = ringHead.load();
    // More than the ring holds came since the last look: the oldest are gone.
    if (head - ringTail > RING_SLOTS)
        ringTail = head - static_cast<std::uint32_t>(RING_SLOTS);
    while (ringTail != head) {
        const std::uint64_t value = ring[ringTail % RING_SLOTS].load();
        if ((value >> 40) != sequenceTag(ringTail))
            break; // a handler is still filling it: taken next time
        requests.push_back({static_cast<int>((value >> 32) & 0xFF),
                            originMs.load() + static_cast<std::int64_t>(value & 0xFFFFFFFFu)});
        ++ringTail;
    }
    return requests;
}

void ProcessStops::post(int signal) { record(signal, monotonicMs()); }

#if defined(_WIN32)

ProcessStops::ProcessStops()
{
    originMs = monotonicMs();
    SetConsoleCtrlHandler(onControl, TRUE);
}

ProcessStops::~ProcessStops() { SetConsoleCtrlHandler(onControl, FALSE); }

int ProcessStops::wakeDescriptor() const { return -1; }

void ProcessStops::drainWakeups() {}

void blockStopSignals() {}

#else

ProcessStops::ProcessStops()
{
    originMs = monotonicMs();
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0) {
        wakeRead = ends[0];
        wakeWrite = ends[1];
    }
    for (const int signal : HANDLED)
        install(signal, onSignal);
    for (const int signal : IGNORED)
        install(signal, SIG_IGN);
}

ProcessStops::~ProcessStops()
{
    while (savedCount > 0) {
        --savedCount;
        sigaction(saved[savedCount].signal, &saved[savedCount].action, nullptr);
    }
    if (wakeRead >= 0) {
        ::close(wakeRead);
        ::close(wakeWrite);
        wakeRead = wakeWrite = -1;
    }
}

int ProcessStops::wakeDescriptor() const { return wakeRead; }

void ProcessStops::drainWakeups()
{
    char bytes[64];
    while (wakeRead >= 0 && ::read(wakeRead, bytes, sizeof bytes) > 0) {
    }
}

void blockStopSignals()
{
    const sigset_t set = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

#endif

} // namespace quarvo
