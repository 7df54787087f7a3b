#include "system_hold.h"

namespace quarvo {

// No system service to ask here (and nothing to wait for): the hold only records that it is taken.
std::string SystemHold::take(const std::function<bool()>&)
{
    if (m_taken)
        return {};
    m_taken = true;
    return "this system cannot be kept from sleeping during the update";
}

void SystemHold::release() { m_taken = false; }

} // namespace quarvo
