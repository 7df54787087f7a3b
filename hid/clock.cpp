#include "clock.h"

#include <chrono>
#include <thread>

namespace quarvo {

std::int64_t SteadyClock::nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void SteadyClock::sleepUntilUs(std::int64_t timeUs)
{
    const std::int64_t now = nowUs();
    if (timeUs > now)
        std::this_thread::sleep_for(std::chrono::microseconds(timeUs - now));
}

} // namespace quarvo
