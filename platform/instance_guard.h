// Keeps a second updater (window or command line) from running. The first acquire() under a name
// holds it until the guard is destroyed or the process ends, a crash included: a named mutex on
// Windows, elsewhere a lock on a per-user file that the system drops with the process.
#pragma once

#include <string>

namespace quarvo {

// The name both front ends guard their updates with.
inline constexpr const char* UPDATER_GUARD_NAME = "GPS_UPDATE_CLIENT";

class InstanceGuard {
public:
    enum class Result { Acquired, AlreadyRunning, Unavailable };

    explicit InstanceGuard(std::string name) : m_name(std::move(name)) {}
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // Unavailable: the guard could not be set up; the caller runs as if no other copy ran.
    Result acquire();

private:
    std::string m_name;
    void* m_handle = nullptr;   // the mutex handle on Windows
    int m_fd = -1;              // the lock file elsewhere
};

} // namespace quarvo
