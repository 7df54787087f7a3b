// The process's stop requests: the signals (on Windows, the console's control events) that ask an
// update to stop, recorded by their handler and weighed by the rules below. Used by quarvo-flash's
// main only; the front end sees them as StopRequests.
//
// While the device is not at risk any request stops at once. Once it is:
// - an interrupt (SIGINT, Ctrl-C) only asks for confirmation (the front end says that stopping
//   leaves the device without a working program); a second one within CONFIRM_STOP_SECONDS stops;
// - SIGTERM (and, on Windows, Ctrl-Break, a closed console window, logoff, shutdown) stops at once:
//   a supervisor or the system wants the process gone;
// - SIGHUP (a closed terminal, a dropped ssh session) is ignored: finishing is the only way to
//   leave the device working, and nobody is left to ask.
// On POSIX systems a signal that was ignored when the process started (nohup, trap '' HUP) stays
// ignored; SIGPIPE and SIGXFSZ are ignored, so that a closed pipe or a file size limit turns into
// a failed write that is reported, never into the end of an update.
#pragma once

#include "cli_app.h"

namespace quarvo {

// Construct one per process; the destructor puts the previous handlers back.
class ProcessSignals final : public StopRequests {
public:
    ProcessSignals();
    ~ProcessSignals() override;
    ProcessSignals(const ProcessSignals&) = delete;
    ProcessSignals& operator=(const ProcessSignals&) = delete;

    int requested() override;
    void deviceAtRisk() override;
    bool confirmationAsked() override;
};

} // namespace quarvo
