// Time source shared by a HID backend and the code that waits on it.
// The real backend uses the steady system clock; the simulated device uses a virtual clock so that
// time-outs and long erases take no wall-clock time in tests. Never fails.
#pragma once

#include <cstdint>

namespace quarvo {

class Clock {
public:
    virtual ~Clock() = default;
    // Microseconds since an arbitrary, fixed origin; never decreases.
    virtual std::int64_t nowUs() = 0;
    // Returns once nowUs() >= timeUs (at once when that time has passed).
    virtual void sleepUntilUs(std::int64_t timeUs) = 0;
};

class SteadyClock final : public Clock {
public:
    std::int64_t nowUs() override;
    void sleepUntilUs(std::int64_t timeUs) override;
};

} // namespace quarvo
