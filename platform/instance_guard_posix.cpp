#include "instance_guard.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#if defined(__linux__)
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#endif

namespace quarvo {
namespace {

// Any user may open the lock file to lock it; nobody needs to write it.
constexpr mode_t LOCK_FILE_MODE = 0644;
// How often the lock file may turn out to have been replaced (deleted, or swapped for another
// file) between opening and locking it before the guard gives up: each time means someone is
// changing the lock directory under the updater.
constexpr int LOCK_ATTEMPTS = 5;
// How often a lock file that another updater creates between our two opens is opened again.
constexpr int OPEN_ATTEMPTS = 3;
// Our programs' names (quarvo-flash, quarvo-updater, and their tests) begin with this.
constexpr const char* OUR_PROGRAMS_PREFIX = "quarvo";

// "user alice (uid 1000)", for saying whose file stands in the way.
std::string ownerOf(uid_t uid)
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    std::string owner = "uid " + std::to_string(uid);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        owner = "user " + std::string(found->pw_name) + " (" + owner + ")";
    return owner;
}

// The obstacle as the user reads it: the path, whose it is (when it exists) and the reason.
std::string describe(const std::string& path, const std::string& reason)
{
    std::string text = path;
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0)
        text += ", owned by " + ownerOf(status.st_uid);
    return text + ": " + reason;
}

std::string reasonFor(int error)
{
    return error == ELOOP ? "a symbolic link, which is never followed" : std::strerror(error);
}

bool isDirectory(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Creating a file in this directory is refused to this user (or on this file system).
bool cannotCreateIn(int error) { return error == EACCES || error == EPERM || error == EROFS; }

struct Opened {
    int fd = -1;
    std::string path;
    int error = 0; // when fd < 0
};

// Opens the lock file without following a link and without creating one where another user's
// file is (a sticky, world-writable directory refuses O_CREAT on it): an existing file first, a
// new one only when there is none. In a directory that holds no lock file and where this user may
// create none, the next directory is tried; any other failure is the obstacle.
Opened openLockFile(const std::vector<std::string>& directories, const std::string& fileName)
{
    constexpr int FLAGS = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    Opened opened;
    for (std::size_t index = 0; index < directories.size(); ++index) {
        opened.path = directories[index] + "/" + fileName;
        const bool last = index + 1 == directories.size();
        for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
            opened.fd = ::open(opened.path.c_str(), FLAGS);
            if (opened.fd >= 0)
                return opened;
            opened.error = errno;
            if (opened.error != ENOENT)
                return opened;
            opened.fd = ::open(opened.path.c_str(), FLAGS | O_CREAT | O_EXCL, LOCK_FILE_MODE);
            if (opened.fd >= 0) {
                // The umask may have taken read permission from the other users who need it;
                // should that fail, they are refused with this user named, and nothing worse.
                ::fchmod(opened.fd, LOCK_FILE_MODE);
                return opened;
            }
            opened.error = errno;
            if (opened.error != EEXIST)
                break;
            // Another updater created it between the two opens: open that one.
        }
        if (!(cannotCreateIn(opened.error) && !last))
            return opened;
    }
    return opened;
}

#if defined(__linux__)
// The longest abstract name a Unix socket address holds (after its leading NUL).
constexpr std::size_t ABSTRACT_NAME_MAX = sizeof(sockaddr_un::sun_path) - 1;
constexpr const char* MARK_PREFIX = "quarvo-instance:";

// FNV-1a: a stable digest, the same in every build, for a lock path too long to be the name.
std::uint64_t digest(const std::string& text)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

// The abstract name: the guard's name for the system's lock directories (wherever each updater's
// file ends up), the lock file's full path (its directory resolved) for a directory given.
std::string markName(const std::string& name, const std::string& lockDirectory)
{
    if (lockDirectory.empty())
        return MARK_PREFIX + name;
    std::string directory = lockDirectory;
    if (char* resolved = ::realpath(lockDirectory.c_str(), nullptr)) {
        directory = resolved;
        std::free(resolved);
    }
    std::string mark = MARK_PREFIX + directory + "/" + name + ".lock";
    if (mark.size() > ABSTRACT_NAME_MAX) {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx",
                      static_cast<unsigned long long>(digest(directory + "/" + name)));
        mark = MARK_PREFIX + std::string("#") + hex;
    }
    return mark;
}

// Binds a socket to the abstract name: the socket (>= 0), or -1 with errno (EADDRINUSE: another
// process holds the name).
int bindMark(const std::string& mark)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // sun_path[0] stays NUL: the abstract namespace, where no file is made.
    std::memcpy(address.sun_path + 1, mark.data(), mark.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + mark.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// The process that holds an flock on the file with this device and inode, from /proc/locks
// ("1: FLOCK  ADVISORY  WRITE 1234 fe:00:10953053 0 EOF"); none when it cannot be found (the
// lock given back meanwhile, a holder outside this process's namespace, shown as pid 0).
std::optional<pid_t> flockHolder(dev_t device, ino_t inode)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, type, kind, access, where;
        long pid = 0;
        if (!(fields >> number >> type) || type == "->")
            continue; // a process waiting for a lock, not holding one
        if (type != "FLOCK" || !(fields >> kind >> access >> pid >> where))
            continue;
        unsigned int major = 0, minor = 0;
        unsigned long long number64 = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &number64) != 3)
            continue;
        if (major == ::major(device) && minor == ::minor(device) && number64 == inode && pid > 0)
            return static_cast<pid_t>(pid);
    }
    return std::nullopt;
}

// A process's name (/proc/PID/comm) with control characters written as \xNN, as a name that
// any program may choose for itself reaches the user's terminal; empty when it cannot be read.
std::string processName(pid_t pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!std::getline(comm, name))
        return {};
    std::string shown;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

// The obstacle when the lock file's lock is held by a process that is no updater; empty when the
// holder is one of ours (this process included) or cannot be found.
std::string otherHolder(int fd, const std::string& path)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return {};
    const std::optional<pid_t> holder = flockHolder(status.st_dev, status.st_ino);
    if (!holder || *holder == ::getpid())
        return {};
    const std::string name = processName(*holder);
    if (name.empty() || name.rfind(OUR_PROGRAMS_PREFIX, 0) == 0)
        return {};
    return path + " is locked by process " + std::to_string(*holder) + " (" + name +
           "), which is not an updater";
}
#else
std::string otherHolder(int, const std::string&) { return {}; }
#endif

} // namespace

InstanceGuard::~InstanceGuard() { releaseAll(); }

void InstanceGuard::releaseAll()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_mark >= 0)
        ::close(m_mark);
    m_fd = -1;
    m_mark = -1;
}

InstanceGuard::Result InstanceGuard::acquire()
{
    if (m_fd >= 0)
        return Result::Acquired;
    m_obstacle.clear();

#if defined(__linux__)
    // The name first: of two updaters the one refused here has touched no file.
    const std::string mark = markName(m_name, m_lockDirectory);
    m_mark = bindMark(mark);
    if (m_mark < 0) {
        const int error = errno;
        if (error == EADDRINUSE)
            return Result::AlreadyRunning;
        m_obstacle = "the abstract socket name @" + mark + ": " + std::strerror(error);
        return Result::Unavailable;
    }
#endif

    std::vector<std::string> directories;
    if (!m_lockDirectory.empty()) {
        directories.push_back(m_lockDirectory);
    } else {
        for (const std::string& directory : m_seams.systemLockDirectories)
            if (isDirectory(directory))
                directories.push_back(directory);
        // None at all: the first is named as the obstacle.
        if (directories.empty() && !m_seams.systemLockDirectories.empty())
            directories.push_back(m_seams.systemLockDirectories.front());
    }
    const std::string fileName = m_name + ".lock";
    std::string lastPath;
    for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
        const Opened opened = openLockFile(directories, fileName);
        lastPath = opened.path;
        if (opened.fd < 0) {
            m_obstacle = opened.path.empty() ? "no lock directory"
                                             : describe(opened.path, reasonFor(opened.error));
            releaseAll();
            return Result::Unavailable;
        }
        struct stat locked {};
        const bool known = ::fstat(opened.fd, &locked) == 0;
        if (!known || !S_ISREG(locked.st_mode)) {
            const int error = errno;
            ::close(opened.fd);
            m_obstacle = describe(opened.path, known ? "not a regular file" : std::strerror(error));
            releaseAll();
            return Result::Unavailable;
        }
        if (m_seams.beforeLock)
            m_seams.beforeLock(opened.path);
        if (::flock(opened.fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            if (error == EWOULDBLOCK) {
                m_obstacle = otherHolder(opened.fd, opened.path);
                ::close(opened.fd);
                releaseAll();
                return m_obstacle.empty() ? Result::AlreadyRunning : Result::HeldByOther;
            }
            ::close(opened.fd);
            m_obstacle = describe(opened.path, std::strerror(error));
            releaseAll();
            return Result::Unavailable;
        }
        // Locked: but the path may name another file by now (this one deleted, or swapped for
        // another between the open and the lock), which the next updater would open and lock.
        struct stat named {};
        const bool present = ::lstat(opened.path.c_str(), &named) == 0;
        const int error = present ? 0 : errno;
        if (present && named.st_dev == locked.st_dev && named.st_ino == locked.st_ino) {
            m_fd = opened.fd;
            return Result::Acquired;
        }
        ::close(opened.fd);
        if (!present && error != ENOENT) {
            m_obstacle = describe(opened.path, std::strerror(error));
            releaseAll();
            return Result::Unavailable;
        }
    }
    m_obstacle = describe(lastPath, "replaced by another file each time it was locked (" +
                                        std::to_string(LOCK_ATTEMPTS) + " times)");
    releaseAll();
    return Result::Unavailable;
}

} // namespace quarvo
