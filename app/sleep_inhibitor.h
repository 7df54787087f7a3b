// Keeps the computer from sleeping while an update runs, through logind's inhibitor locks: logind
// hands out a file descriptor, and the lock holds until that descriptor is closed. The bus is a
// seam: the window is given logind's (LogindBus), tests a fake.
#pragma once

#include <QString>

namespace quarvo {

class InhibitorBus {
public:
    virtual ~InhibitorBus() = default;
    // org.freedesktop.login1.Manager.Inhibit(what, who, why, mode): the descriptor that holds the
    // lock, now owned by the caller; -1 when there is no system bus or logind said no, with the
    // reason in `error`.
    virtual int inhibit(const QString& what, const QString& who, const QString& why,
                        const QString& mode, QString& error) = 0;
};

// logind on the system bus, through QtDBus. Each call waits at most INHIBIT_TIMEOUT_MS.
class LogindBus final : public InhibitorBus {
public:
    static constexpr int INHIBIT_TIMEOUT_MS = 2000;
    int inhibit(const QString& what, const QString& who, const QString& why, const QString& mode,
                QString& error) override;
};

// One lock on sleep and idle, taken and given back by the window around each job. Without a bus
// (null) or a lock, the update goes on all the same; the reason is logged.
class SleepInhibitor {
public:
    explicit SleepInhibitor(InhibitorBus* bus) : m_bus(bus) {}
    ~SleepInhibitor() { release(); }
    SleepInhibitor(const SleepInhibitor&) = delete;
    SleepInhibitor& operator=(const SleepInhibitor&) = delete;

    void hold();    // harmless when already held
    void release(); // harmless when not held
    bool held() const { return m_descriptor >= 0; }

private:
    InhibitorBus* m_bus;
    int m_descriptor = -1;
};

} // namespace quarvo
