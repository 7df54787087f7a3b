#include "stop_state.h"

#include "console.h"

#include <atomic>

namespace quarvo {
namespace {

std::atomic<int> stopSignal{0};
std::atomic<bool> atRisk{false};
std::atomic<long long> lastInterruptSeconds{-1000};
std::atomic<bool> confirmationPending{false};

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long long>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

} // namespace

void stopstate::request(int signal, long long nowSeconds)
{
    if (!atRisk.load()) {
        stopSignal.store(signal);
        return;
    }
    if (signal == HANGUP)
        return;
    if (signal == INTERRUPT && nowSeconds - lastInterruptSeconds.load() > CONFIRM_STOP_SECONDS) {
        lastInterruptSeconds.store(nowSeconds);
        confirmationPending.store(true);
        return;
    }
    stopSignal.store(signal);
}

int ProcessSignals::requested() { return stopSignal.load(); }

void ProcessSignals::deviceAtRisk() { atRisk.store(true); }

bool ProcessSignals::confirmationAsked() { return confirmationPending.exchange(false); }

} // namespace quarvo
