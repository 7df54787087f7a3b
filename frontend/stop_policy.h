// What a request to stop does, by what it is and whether the device is at risk: pure rules,
// weighed by UpdateRun for every front end.
//
// While the device is not at risk (before the first report goes out, and once the job has ended)
// any request stops at once; so does one that came before the device was put at risk, however late
// it is weighed. While it is:
// - an interrupt (SIGINT, Ctrl-C) only asks for confirmation (the front end says that stopping
//   leaves the device without a working program); a second one within CONFIRM_STOP_MS stops;
// - a hangup (a closed terminal, a dropped ssh session) is ignored: finishing is the only way to
//   leave the device working, and nobody is left to ask;
// - anything else (SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, a console that closes, the end of
//   the session) stops before the next report: whoever sent it wants the process gone.
// A stop, once decided, stands.
#pragma once

#include "platform/process_stops.h"

#include <cstdint>
#include <optional>

namespace quarvo {

inline constexpr std::int64_t CONFIRM_STOP_MS = 5000;

class StopPolicy {
public:
    enum class Verdict { Ignored, Stop, AskConfirmation };

    // From `sinceMs` on (on the requests' clock) the device is at risk, or no longer is.
    void setAtRisk(bool atRisk, std::int64_t sinceMs)
    {
        m_atRisk = atRisk;
        m_atRiskSinceMs = sinceMs;
    }
    bool atRisk() const { return m_atRisk; }
    Verdict weigh(const StopRequest& request);
    // A stop that needs no weighing (the window must go): it stands at once.
    void force(int signal);
    // The signal that stopped, 0 while none has.
    int stoppedBy() const { return m_stoppedBy; }

private:
    bool m_atRisk = false;
    std::int64_t m_atRiskSinceMs = 0;
    int m_stoppedBy = 0;
    std::optional<std::int64_t> m_lastInterruptMs;
};

} // namespace quarvo
