// Asks the system not to sleep, shut down or act on the power, suspend, hibernate keys or the lid
// while an update writes the device: a cut write leaves the device without a working program.
// Linux: logind's inhibitor lock in block mode, through an InhibitorBus (logind hands out a file
// descriptor and the lock holds until it is closed). Windows: the execution state of the thread
// that takes the hold (ES_SYSTEM_REQUIRED), which keeps the system awake; the window adds its own
// answer to the end of the session. Elsewhere nothing can be held. The front ends take it around
// each job on a real device and give it back whatever the outcome.
#pragma once

#include <functional>
#include <string>

namespace quarvo {

// What logind is asked to hold back, who asks and why (shown by `systemd-inhibit --list` and by
// desktops that ask before shutting down).
inline constexpr const char* INHIBIT_WHAT = "shutdown:sleep:idle:handle-power-key:"
                                            "handle-suspend-key:handle-hibernate-key:"
                                            "handle-lid-switch";
inline constexpr const char* INHIBIT_WHO = "quarvo-updater";
inline constexpr const char* INHIBIT_WHY = "正在更新設備，中斷會使設備無法使用";
inline constexpr const char* INHIBIT_MODE = "block";

// How often a wait for the system's answer looks at the caller's stop check: a stop (a signal, a
// closed window) is honoured within this, before anything is sent to the device.
inline constexpr int HOLD_STOP_CHECK_MS = 100;

// The seam to logind: the real system bus (LogindBus), or a fake in tests.
class InhibitorBus {
public:
    virtual ~InhibitorBus() = default;
    // org.freedesktop.login1.Manager.Inhibit(what, who, why, mode): the descriptor that holds the
    // lock, now owned by the caller; -1 when there is no system bus, logind said no or
    // `stopRequested` (empty: never) said stop while waiting, with the reason in `error`. A bus
    // that waits looks at `stopRequested` at least every HOLD_STOP_CHECK_MS.
    virtual int inhibit(const std::string& what, const std::string& who, const std::string& why,
                        const std::string& mode, std::string& error,
                        const std::function<bool()>& stopRequested) = 0;
};

#if defined(__linux__)
// logind on the system bus ($DBUS_SYSTEM_BUS_ADDRESS where set, else the system's socket).
// Connecting, authenticating and the call together wait at most `timeoutMs`: a bus that accepts
// and never answers, or a stopped dbus-daemon, costs the update that long and no more.
class LogindBus final : public InhibitorBus {
public:
    static constexpr int INHIBIT_TIMEOUT_MS = 2000;
    // Where the system bus is when $DBUS_SYSTEM_BUS_ADDRESS does not say.
    static constexpr const char* DEFAULT_SYSTEM_BUS = "unix:path=/run/dbus/system_bus_socket";

    // `timeoutMs`: the whole exchange's bound (tests lengthen it to tell a stop from a time-out).
    explicit LogindBus(int timeoutMs = INHIBIT_TIMEOUT_MS) : m_timeoutMs(timeoutMs) {}
    int inhibit(const std::string& what, const std::string& who, const std::string& why,
                const std::string& mode, std::string& error,
                const std::function<bool()>& stopRequested) override;

private:
    int m_timeoutMs;
};
#endif

class SystemHold {
public:
    // `bus`: logind's, a fake, or null where there is none (Windows, macOS, a test without one).
    explicit SystemHold(InhibitorBus* bus = nullptr) : m_bus(bus) {}
    ~SystemHold() { release(); }
    SystemHold(const SystemHold&) = delete;
    SystemHold& operator=(const SystemHold&) = delete;

    // Takes what can be held; harmless when taken. Returns why something could not be (for one
    // line of warning: the update goes on), empty when all was taken. `stopRequested` (empty:
    // never) is looked at at least every HOLD_STOP_CHECK_MS while the system is asked; when it
    // says stop, take() gives up at once and its warning says so (the caller then stops too).
    std::string take(const std::function<bool()>& stopRequested = {});
    // Gives it back; harmless when not taken.
    void release();
    // Whether the system is being held back now (the hold was taken and the system agreed).
    bool held() const { return m_inForce; }

private:
    InhibitorBus* m_bus;
    int m_descriptor = -1;
    bool m_taken = false;
    bool m_inForce = false;
};

} // namespace quarvo
