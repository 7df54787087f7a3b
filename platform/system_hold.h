// Asks the system not to sleep, shut down or act on the power, suspend, hibernate keys or the lid
// while an update writes the device: a cut write leaves the device without a working program.
// Linux: logind's inhibitor lock in block mode, through an InhibitorBus (logind hands out a file
// descriptor and the lock holds until it is closed). Windows: the execution state of the thread
// that takes the hold (ES_SYSTEM_REQUIRED), which keeps the system awake; the window adds its own
// answer to the end of the session. Elsewhere nothing can be held. The front ends take it around
// each job on a real device and give it back whatever the outcome.
#pragma once

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

// The seam to logind: the real system bus (LogindBus), or a fake in tests.
class InhibitorBus {
public:
    virtual ~InhibitorBus() = default;
    // org.freedesktop.login1.Manager.Inhibit(what, who, why, mode): the descriptor that holds the
    // lock, now owned by the caller; -1 when there is no system bus or logind said no, with the
    // reason in `error`.
    virtual int inhibit(const std::string& what, const std::string& who, const std::string& why,
                        const std::string& mode, std::string& error) = 0;
};

#if defined(__linux__)
// logind on the system bus ($DBUS_SYSTEM_BUS_ADDRESS where set). Each call waits at most
// INHIBIT_TIMEOUT_MS.
class LogindBus final : public InhibitorBus {
public:
    static constexpr int INHIBIT_TIMEOUT_MS = 2000;
    int inhibit(const std::string& what, const std::string& who, const std::string& why,
                const std::string& mode, std::string& error) override;
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
    // line of warning: the update goes on), empty when all was taken.
    std::string take();
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
