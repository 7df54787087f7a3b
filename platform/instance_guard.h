// Keeps a second updater (window or command line) from running anywhere on the machine. The first
// acquire() under a name holds it until the guard is destroyed or the process ends, a crash
// included: on Windows a named mutex in the session's namespace and one in the global namespace
// (every session, remote desktops and services included); elsewhere a lock on one file for every
// user, which the system drops with the process, and on Linux also an abstract socket name. It
// never runs unguarded: when the guard cannot be taken for any reason but another updater holding
// it, acquire() says Unavailable (or HeldByOther) and obstacle() names what stands in the way.
//
// Why two marks on Linux: a lock file can be deleted by its owner while another user's updater
// holds it (the first user to run an updater creates it in a sticky directory), and the next
// updater would create a new file and lock that. An abstract socket name cannot be deleted: it is
// bound (never listened on, so nobody can connect) for as long as the guard is held and the system
// frees it with the process. Its name comes from the guard's name alone, so updaters that end up
// with their lock files in different directories (/run/lock, or /tmp where a user cannot write
// /run/lock) still meet; with a lock directory given, from that lock file's full path, so that
// tests with directories of their own never meet each other or a real updater. The guard is taken
// only when both are: the name first, so that of two updaters the one refused touches no file.
// Either one excludes: the file where the name is not shared (another network namespace), the
// name where the file is not (deleted, or another directory). Any user who may open the file can
// hold the lock (as anyone can bind the name); such a holder is named when it can be found.
#pragma once

#include <functional>
#include <string>
#include <vector>

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
    // AlreadyRunning: another updater holds the guard (or a holder that cannot be told apart from
    // one). HeldByOther: the lock file is locked by a process that is no updater, which
    // obstacle() names. Unavailable: the guard could not be taken for another reason.
    enum class Result { Acquired, AlreadyRunning, Unavailable, HeldByOther };

    // What a test may change outside Windows.
    struct Seams {
        // Where the lock file lives when no lock directory is given, in order: the first that is
        // a directory and holds the lock file or lets this user create it; one that cannot be
        // written and holds none (upstream systemd's 0755 /run/lock) is passed over.
        std::vector<std::string> systemLockDirectories{"/run/lock", "/tmp"};
        // Called with the lock file's path between opening it and locking it.
        std::function<void(const std::string& path)> beforeLock;
    };

    // `lockDirectory`: where the lock file lives outside Windows (empty: the system's lock
    // directory, /run/lock, or /tmp where there is none or it cannot be used). Tests give each
    // run a directory of its own, so that they never meet a real updater or each other.
    explicit InstanceGuard(std::string name, std::string lockDirectory = {})
        : m_name(std::move(name)), m_lockDirectory(std::move(lockDirectory))
    {
    }
    InstanceGuard(std::string name, std::string lockDirectory, Seams seams)
        : m_name(std::move(name)), m_lockDirectory(std::move(lockDirectory)),
          m_seams(std::move(seams))
    {
    }
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // Anything but Acquired: the caller must not update (another updater may be running).
    // obstacle() says why for Unavailable and HeldByOther.
    Result acquire();
    // What kept the guard from being taken: the path or name, its owner where there is one, and
    // the system's reason; or, for HeldByOther, the lock file and the process that holds it
    // ("/run/lock/GPS_UPDATE_CLIENT.lock is locked by process 1234 (flock), which is not an
    // updater"). Empty unless acquire() said Unavailable or HeldByOther.
    const std::string& obstacle() const { return m_obstacle; }

private:
    std::string m_name;
    std::string m_lockDirectory;
    Seams m_seams;
    std::string m_obstacle;
#if defined(_WIN32)
    void* m_handles[2] = {nullptr, nullptr}; // the session's mutex and the global one
#else
    int m_fd = -1;   // the lock file
    int m_mark = -1; // the socket bound to the abstract name (Linux)
    void releaseAll();
#endif
};

} // namespace quarvo
