// Keeps a second updater (window or command line) from running anywhere on the machine. The first
// acquire() under a name holds it until the guard is destroyed or the process ends, a crash
// included: on Windows a named mutex in the session's namespace and one in the global namespace
// (every session, remote desktops and services included); elsewhere a lock on one file for every
// user, which the system drops with the process. It never runs unguarded: when the guard cannot
// be taken for any reason but another updater holding it, acquire() says Unavailable and
// obstacle() names what stands in the way, and the caller refuses to update.
#pragma once

#include <string>

namespace quarvo {

// The variable through which a lock directory can be given to both front ends (for tests).
inline constexpr const char* LOCK_DIRECTORY_VARIABLE = "QUARVO_LOCK_DIR";
// The name both front ends guard their updates with, and what a second updater tells the user.
inline constexpr const char* UPDATER_GUARD_NAME = "GPS_UPDATE_CLIENT";
inline constexpr const char* ALREADY_RUNNING_TEXT = "軟體正在使用中";
// What the window shows in front of the obstacle when the guard cannot be taken.
inline constexpr const char* GUARD_UNAVAILABLE_TEXT =
    "無法確認沒有其他更新程式正在執行，未進行更新：";

class InstanceGuard {
public:
    enum class Result { Acquired, AlreadyRunning, Unavailable };

    // `lockDirectory`: where the lock file lives outside Windows (empty: the system's lock
    // directory, /run/lock, or /tmp where there is none). Tests give each run a directory of its
    // own, so that they never meet a real updater or each other.
    explicit InstanceGuard(std::string name, std::string lockDirectory = {})
        : m_name(std::move(name)), m_lockDirectory(std::move(lockDirectory))
    {
    }
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // Unavailable: the guard could not be taken and another updater may be running; the caller
    // must not update. obstacle() says why.
    Result acquire();
    // What kept the guard from being taken: the path or name, its owner where there is one, and
    // the system's reason. Empty unless acquire() said Unavailable.
    const std::string& obstacle() const { return m_obstacle; }

private:
    std::string m_name;
    std::string m_lockDirectory;
    std::string m_obstacle;
#if defined(_WIN32)
    void* m_handles[2] = {nullptr, nullptr}; // the session's mutex and the global one
#else
    int m_fd = -1; // the lock file
#endif
};

} // namespace quarvo
