#include "system_hold.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quarvo {
namespace {

// Frees what sd-bus hands out, whichever way the call ends.
struct BusCall {
    sd_bus* bus = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error{}; // SD_BUS_ERROR_NULL, without its C compound literal
    ~BusCall()
    {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_flush_close_unref(bus);
    }
};

std::string failure(const char* what, int result, const sd_bus_error& error)
{
    std::string text = what;
    text += ": ";
    text += sd_bus_error_is_set(&error) ? error.message : std::strerror(-result);
    return text;
}

} // namespace

int LogindBus::inhibit(const std::string& what, const std::string& who, const std::string& why,
                       const std::string& mode, std::string& error)
{
    BusCall call;
    int result = sd_bus_open_system(&call.bus);
    if (result < 0) {
        error = failure("no system bus", result, call.error);
        return -1;
    }
    sd_bus_set_method_call_timeout(call.bus, std::uint64_t{INHIBIT_TIMEOUT_MS} * 1000);
    result =
        sd_bus_call_method(call.bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "Inhibit", &call.error, &call.reply,
                           "ssss", what.c_str(), who.c_str(), why.c_str(), mode.c_str());
    if (result < 0) {
        error = failure("logind's Inhibit failed", result, call.error);
        return -1;
    }
    int lock = -1;
    result = sd_bus_message_read(call.reply, "h", &lock);
    if (result < 0) {
        error = failure("logind's answer holds no file descriptor", result, call.error);
        return -1;
    }
    // The answer's descriptor closes with it; the caller gets a copy of its own.
    const int descriptor = ::fcntl(lock, F_DUPFD_CLOEXEC, 0);
    if (descriptor < 0)
        error = std::string("cannot keep logind's lock: ") + std::strerror(errno);
    return descriptor;
}

std::string SystemHold::take()
{
    if (m_taken)
        return {};
    m_taken = true;
    if (!m_bus)
        return "the computer may sleep or shut down during this update: logind is not asked";
    std::string error;
    m_descriptor = m_bus->inhibit(INHIBIT_WHAT, INHIBIT_WHO, INHIBIT_WHY, INHIBIT_MODE, error);
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
