// Keeps a second updater (window or command line) from running. The first acquire() under a name
// holds it until the guard is destroyed or the process ends, a crash included: a named mutex on
// Windows, elsewhere a lock on a per-user file that the system drops with the process.
#pragma once

#include <string>

namespace quarvo {

// The variable through which a lock directory can be given to both front ends.
inline constexpr const char* LOCK_DIRECTORY_VARIABLE = "QUARVO_LOCK_DIR";
// The name both front ends guard their updates with, and what a second updater tells the user.
inline constexpr const char* UPDATER_GUARD_NAME = "GPS_UPDATE_CLIENT";
inline constexpr const char* ALREADY_RUNNING_TEXT = "軟體正在使用中";

class InstanceGuard {
public:
    enum class Result { Acquired, AlreadyRunning, Unavailable };

    // `lockDirectory`: where the lock file lives outside Windows (empty: /tmp). Tests give each
    // run a directory of its own, so that they never meet a real updater or each other.
    explicit InstanceGuard(std::string name, std::string lockDirectory = {})
        : m_name(std::move(name)), m_lockDirectory(std::move(lockDirectory))
    {
    }
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // Unavailable: the guard could not be set up; the caller runs as if no other copy ran.
    Result acquire();

private:
    std::string m_name;
    std::string m_lockDirectory;
#if defined(_WIN32)
    void* m_handle = nullptr; // the named mutex
#else
    int m_fd = -1; // the lock file
#endif
};

} // namespace quarvo
