#include "stop_policy.h"

namespace quarvo {

StopPolicy::Verdict StopPolicy::weigh(const StopRequest& request)
{
    if (m_stoppedBy != 0)
        return Verdict::Stop;
    if (m_atRisk && request.atMs >= m_atRiskSinceMs) {
        if (request.signal == hangupSignal())
            return Verdict::Ignored;
        if (request.signal == interruptSignal() &&
            (!m_lastInterruptMs || request.atMs - *m_lastInterruptMs > CONFIRM_STOP_MS)) {
            m_lastInterruptMs = request.atMs;
            return Verdict::AskConfirmation;
        }
    }
    m_stoppedBy = request.signal;
    return Verdict::Stop;
}

void StopPolicy::force(int signal)
{
    if (m_stoppedBy == 0)
        m_stoppedBy = signal;
}

} // namespace quarvo
