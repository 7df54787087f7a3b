// The process-wide pieces of quarvo-flash's console, one implementation per platform: the signals
// that ask an update to stop, and the terminal's width. Used by quarvo-flash's main only.
#pragma once

#include "cli_app.h"

namespace quarvo {

// SIGINT, SIGTERM and SIGHUP as stop requests, and SIGPIPE ignored so that a closed or full
// output never stops a flash. While the device is not at risk any of the three stops at once.
// Once it is:
// - SIGINT only asks for confirmation (the front end says that stopping leaves the device without
//   a working program); a second SIGINT within CONFIRM_STOP_SECONDS stops;
// - SIGTERM stops at once: a supervisor or the system wants the process gone;
// - SIGHUP (a closed terminal, a dropped ssh session) is ignored: finishing is the only way to
//   leave the device working, and nobody is left to ask.
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

// Columns of the terminal on `fd`: the system's answer, else $COLUMNS, else 0 (unknown).
int terminalColumns(int fd);

} // namespace quarvo
