#include "instance_guard.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace quarvo {
namespace {

// Every user's updaters meet at one lock file: the system's lock directory (a tmpfs that every
// user may write, cleared at boot), else /tmp.
constexpr const char* SYSTEM_LOCK_DIRECTORIES[] = {"/run/lock", "/tmp"};
// Any user may open the lock file to lock it; nobody needs to write it.
constexpr mode_t LOCK_FILE_MODE = 0644;

std::string defaultLockDirectory()
{
    for (const char* directory : SYSTEM_LOCK_DIRECTORIES) {
        struct stat status {};
        if (::stat(directory, &status) == 0 && S_ISDIR(status.st_mode))
            return directory;
    }
    return SYSTEM_LOCK_DIRECTORIES[0];
}

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

// Opens the lock file without following a link and without creating one where another user's
// file is (a sticky, world-writable directory refuses O_CREAT on it): an existing file first,
// a new one only when there is none. -1 with errno set otherwise.
int openLockFile(const std::string& path)
{
    constexpr int FLAGS = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = ::open(path.c_str(), FLAGS);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        const int created = ::open(path.c_str(), FLAGS | O_CREAT | O_EXCL, LOCK_FILE_MODE);
        if (created >= 0) {
            // The umask may have taken read permission from the other users who need it.
            ::fchmod(created, LOCK_FILE_MODE);
            return created;
        }
        if (errno != EEXIST)
            return -1;
        // Another updater created it between the two opens: open that one.
    }
    return -1;
}

} // namespace

InstanceGuard::~InstanceGuard()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

InstanceGuard::Result InstanceGuard::acquire()
{
    if (m_fd >= 0)
        return Result::Acquired;
    const std::string directory =
        m_lockDirectory.empty() ? defaultLockDirectory() : m_lockDirectory;
    const std::string path = directory + "/" + m_name + ".lock";
    const int fd = openLockFile(path);
    if (fd < 0) {
        const int error = errno;
        m_obstacle = describe(path, error == ELOOP ? "a symbolic link, which is never followed"
                                                   : std::strerror(error));
        return Result::Unavailable;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = errno;
        ::close(fd);
        m_obstacle =
            describe(path, S_ISREG(status.st_mode) ? std::strerror(error) : "not a regular file");
        return Result::Unavailable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        m_fd = fd;
        m_obstacle.clear();
        return Result::Acquired;
    }
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK)
        return Result::AlreadyRunning;
    m_obstacle = describe(path, std::strerror(error));
    return Result::Unavailable;
}

} // namespace quarvo
