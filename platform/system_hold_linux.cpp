#include "system_hold.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quarvo {
namespace {

using Clock = std::chrono::steady_clock;

// logind's answer, filled in by the reply's callback.
struct Answer {
    bool arrived = false;
    sd_bus_message* reply = nullptr; // a reference of our own: the method's return or its error
    ~Answer() { sd_bus_message_unref(reply); }
};

// Frees what sd-bus hands out, whichever way the call ends. Closed without a flush: a flush
// waits, unbounded, for a connection that never finished authenticating.
struct BusCall {
    sd_bus* bus = nullptr;
    ~BusCall() { sd_bus_close_unref(bus); }
};

std::string failure(const std::string& what, int result)
{
    return what + ": " + std::strerror(-result);
}

int takeAnswer(sd_bus_message* reply, void* userdata, sd_bus_error*)
{
    auto* answer = static_cast<Answer*>(userdata);
    answer->arrived = true;
    answer->reply = sd_bus_message_ref(reply);
    return 1;
}

// The system bus's address as sd_bus_open_system would find it; secure_getenv, as sd-bus does,
// so that a set-id caller's environment never chooses the bus.
std::string systemBusAddress()
{
    const char* address = ::secure_getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return address && *address ? address : LogindBus::DEFAULT_SYSTEM_BUS;
}

} // namespace

int LogindBus::inhibit(const std::string& what, const std::string& who, const std::string& why,
                       const std::string& mode, std::string& error,
                       const std::function<bool()>& stopRequested)
{
    // The answer outlives the bus, whose pending call points at it until the bus is freed.
    Answer answer;
    BusCall call;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
    if (stopRequested && stopRequested()) {
        error = "stopped before logind was asked";
        return -1;
    }
    // Connected step by step rather than with sd_bus_open_system, whose authentication waits on
    // a bus that never answers with sd-bus's own bound (90 s) before any call's time-out counts.
    int result = sd_bus_new(&call.bus);
    if (result < 0) {
        error = failure("no system bus", result);
        return -1;
    }
    const std::string address = systemBusAddress();
    if ((result = sd_bus_set_address(call.bus, address.c_str())) < 0 ||
        (result = sd_bus_set_bus_client(call.bus, 1)) < 0 ||
        (result = sd_bus_negotiate_fds(call.bus, 1)) < 0 ||
        (result = sd_bus_set_method_call_timeout(call.bus, static_cast<std::uint64_t>(m_timeoutMs) *
                                                               1000)) < 0 ||
        (result = sd_bus_start(call.bus)) < 0) {
        error = failure("no system bus at " + address, result);
        return -1;
    }
    // Queued until the connection is up; the answer (or its error) comes to takeAnswer.
    result = sd_bus_call_method_async(call.bus, nullptr, "org.freedesktop.login1",
                                      "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                      "Inhibit", takeAnswer, &answer, "ssss", what.c_str(),
                                      who.c_str(), why.c_str(), mode.c_str());
    if (result < 0) {
        error = failure("cannot ask logind", result);
        return -1;
    }
    while (!answer.arrived) {
        result = sd_bus_process(call.bus, nullptr);
        if (result < 0) {
            error = failure("the system bus at " + address + " failed", result);
            return -1;
        }
        if (answer.arrived)
            break;
        if (stopRequested && stopRequested()) {
            error = "stopped while waiting for logind";
            return -1;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            error = "the system bus at " + address + " did not answer within " +
                    std::to_string(m_timeoutMs) + " ms";
            return -1;
        }
        if (result > 0)
            continue; // more to process before waiting
        const auto wait = std::min<std::int64_t>(left.count(), HOLD_STOP_CHECK_MS * 1000);
        result = sd_bus_wait(call.bus, static_cast<std::uint64_t>(wait));
        if (result < 0 && result != -EINTR) {
            error = failure("the system bus at " + address + " failed", result);
            return -1;
        }
    }
    if (const sd_bus_error* refusal = sd_bus_message_get_error(answer.reply)) {
        error = std::string("logind's Inhibit failed: ") +
                (refusal->message ? refusal->message : refusal->name);
        return -1;
    }
    int lock = -1;
    result = sd_bus_message_read(answer.reply, "h", &lock);
    if (result < 0) {
        error = failure("logind's answer holds no file descriptor", result);
        return -1;
    }
    // The answer's descriptor closes with it; the caller gets a copy of its own.
    const int descriptor = ::fcntl(lock, F_DUPFD_CLOEXEC, 0);
    if (descriptor < 0)
        error = std::string("cannot keep logind's lock: ") + std::strerror(errno);
    return descriptor;
}

std::string SystemHold::take(const std::function<bool()>& stopRequested)
{
    if (m_taken)
        return {};
    m_taken = true;
    if (!m_bus)
        return "the computer may sleep or shut down during this update: logind is not asked";
    std::string error;
    m_descriptor =
        m_bus->inhibit(INHIBIT_WHAT, INHIBIT_WHO, INHIBIT_WHY, INHIBIT_MODE, error, stopRequested);
    m_inForce = m_descriptor >= 0;
    if (!m_inForce)
        return "the computer may sleep or shut down during this update: " + error;
    return {};
}

void SystemHold::release()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
    m_taken = false;
    m_inForce = false;
}

} // namespace quarvo
