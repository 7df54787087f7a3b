// The process's requests to stop, from one platform source: on POSIX systems the signals SIGINT,
// SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2 and SIGALRM; on Windows the console's control events
// (Ctrl-C as SIGINT, Ctrl-Break, a closed console, logoff and shutdown as SIGTERM); and what the
// process itself posts (a window that must go because the session ends). Each request is recorded
// as it comes, with the time it came, and taken by whoever weighs it (UpdateRun's stop policy):
// this source decides nothing. Construct one per process, in main; the destructor puts the
// previous handlers back.
//
// A signal that was ignored when the process started (nohup, trap '' HUP, SIGINT for a shell's
// background job) stays ignored. SIGPIPE and SIGXFSZ are ignored, so that a closed pipe or a file
// size limit turns into a failed write that is reported, never into the end of an update. The
// handlers are installed without SA_RESTART: a call blocked on a stalled stream comes back with
// EINTR instead of holding the thread for good. Threads that must not see EINTR (the job's worker,
// the output writers) block these signals (blockStopSignals), so they reach the process's main
// thread.
#pragma once

#include <cstdint>
#include <vector>

namespace quarvo {

// Signal numbers as the platform numbers them (Windows maps its events onto SIGINT and SIGTERM).
int interruptSignal();
int terminateSignal();
int hangupSignal(); // 0 where there is none

// "SIGINT" and so on, for messages and the trace; "signal N" for a number without a name.
const char* signalName(int signal);

struct StopRequest {
    int signal = 0;
    std::int64_t atMs = 0; // on a monotonic clock, in milliseconds
};

// Where stop requests come from: the process's (ProcessStops) or a test's.
class StopSource {
public:
    virtual ~StopSource() = default;
    // The requests that came since the last call, oldest first.
    virtual std::vector<StopRequest> take() = 0;
    // The process asks itself to stop, as if `signal` had come now.
    virtual void post(int signal) = 0;
    // A descriptor that becomes readable when a request comes, for an event loop to watch (then
    // call drainWakeups); -1 where there is none.
    virtual int wakeDescriptor() const { return -1; }
    virtual void drainWakeups() {}
};

class ProcessStops final : public StopSource {
public:
    ProcessStops();
    ~ProcessStops() override;
    ProcessStops(const ProcessStops&) = delete;
    ProcessStops& operator=(const ProcessStops&) = delete;

    std::vector<StopRequest> take() override;
    void post(int signal) override;
    int wakeDescriptor() const override;
    void drainWakeups() override;
};

// Blocks the stop signals in the calling thread (POSIX; nothing elsewhere), so that they are
// delivered to another thread and never interrupt this one's system calls. Called first thing by
// every thread the program starts.
void blockStopSignals();

// Milliseconds on the monotonic clock the requests are stamped with.
std::int64_t monotonicMs();

} // namespace quarvo
