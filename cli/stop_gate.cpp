#include "stop_gate.h"

#include <string>

namespace quarvo {

bool StopGate::shouldStop()
{
    if (m_stops) {
        // Until the first report goes out nothing is at risk; marking it now, before the requests
        // are read, leaves no moment in which a request is weighed by the wrong rules.
        if (!m_atRisk) {
            m_atRisk = true;
            m_stops->deviceAtRisk();
        }
        if ((m_stoppedBy = m_stops->requested()) != 0)
            return true;
        if (m_stops->confirmationAsked())
            m_terminal.notice(std::string(CLI_PROGRAM) +
                              ": the device is being written. Stopping now leaves it\nwithout a "
                              "working program until it is updated again. Press Ctrl-C\nagain "
                              "within " +
                              std::to_string(CONFIRM_STOP_SECONDS) + " seconds to stop anyway.");
    }
    m_touched = true;
    return false;
}

int StopGate::stoppedBy()
{
    if (m_stoppedBy == 0 && m_stops)
        m_stoppedBy = m_stops->requested();
    return m_stoppedBy;
}

const char* signalName(int signal)
{
    switch (signal) {
    case 1:
        return "SIGHUP";
    case 2:
        return "SIGINT";
    case 15:
        return "SIGTERM";
    default:
        return "a signal";
    }
}

} // namespace quarvo
