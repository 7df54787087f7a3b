// A clock that only moves when someone sleeps on it: waits in the simulated device and in the
// protocol then take no wall-clock time. Safe to share between threads.
#pragma once

#include "hid/clock.h"

#include <atomic>

namespace quarvo {

class VirtualClock final : public Clock {
public:
    std::int64_t nowUs() override { return m_nowUs.load(); }
    void sleepUntilUs(std::int64_t timeUs) override
    {
        std::int64_t now = m_nowUs.load();
        while (timeUs > now && !m_nowUs.compare_exchange_weak(now, timeUs)) {
        }
    }

private:
    std::atomic<std::int64_t> m_nowUs{0};
};

} // namespace quarvo
