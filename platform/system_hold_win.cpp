#include "system_hold.h"

#include <windows.h>

namespace quarvo {

// The execution state belongs to the calling thread: take and release on the same one. Nothing
// here waits, so there is no stop to look at.
std::string SystemHold::take(const std::function<bool()>&)
{
    if (m_taken)
        return {};
    m_taken = true;
    m_inForce = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
    if (!m_inForce)
        return "the system may sleep during this update: SetThreadExecutionState failed";
    return {};
}

void SystemHold::release()
{
    if (!m_taken)
        return;
    if (m_inForce)
        SetThreadExecutionState(ES_CONTINUOUS);
    m_taken = false;
    m_inForce = false;
}

} // namespace quarvo
