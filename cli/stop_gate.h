// The stop gate between quarvo-flash's stop requests and the job: asked before every report the
// job sends or waits for, it says whether to stop there. It marks the device at risk before it
// looks at the requests, so that an interrupt arriving between the two is weighed as one that
// came while the device was being written (it asks for confirmation) and never as one that came
// before (which would stop at once, with the first report already on its way). It tells the user
// when an interrupt waits for its confirmation, and at the end which signal stopped the update.
#pragma once

#include "cli_app.h"
#include "terminal_surface.h"

namespace quarvo {

class StopGate {
public:
    // `stops` may be null: nothing stops the update, and the gate only notes that reports went
    // out.
    StopGate(StopRequests* stops, TerminalSurface& terminal) : m_stops(stops), m_terminal(terminal)
    {
    }

    // True: stop before the next report. False: the report may go out, and from then on the
    // device is at risk.
    bool shouldStop();

    // Whether a report went out after the gate was first asked: a stop then leaves the device
    // without a working program.
    bool deviceTouched() const { return m_touched; }

    // The signal that stopped the update, or one that arrived while a failure was ending it
    // (a stop is never dropped because the job failed first); 0 when none did.
    int stoppedBy();

private:
    StopRequests* m_stops;
    TerminalSurface& m_terminal;
    bool m_atRisk = false;
    bool m_touched = false;
    int m_stoppedBy = 0;
};

// "SIGINT" and so on, for messages and the trace.
const char* signalName(int signal);

} // namespace quarvo
