#include "durable_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace quarvo {
namespace {

constexpr mode_t FILE_MODE = 0600;
// How often a call opens the file again when it was replaced (trimmed) while the call waited for
// its lock. Each time another writer finished a replacement meanwhile, so the waits progress;
// the bound only ends a file that is replaced without pause by something else.
constexpr int MAX_REOPENS = 64;

std::string reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::string notRegular(mode_t mode)
{
    const char* what = S_ISLNK(mode)                    ? "a symbolic link (not followed)"
                       : S_ISDIR(mode)                  ? "a folder"
                       : S_ISFIFO(mode)                 ? "a named pipe"
                       : S_ISSOCK(mode)                 ? "a socket"
                       : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                                                        : "something else";
    return std::string(what) + ", not a regular file";
}

// The descriptor, closed (and its lock given back) whichever way the call leaves.
struct Descriptor {
    int fd = -1;
    ~Descriptor() { close(); }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

bool writeAll(int fd, std::string_view text, std::string& error)
{
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            error = reason("write");
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool lockWhole(int fd, std::string& error)
{
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            error = reason("lock");
            return false;
        }
    }
    return true;
}

// Opens the regular file `file` names, never following a link there nor blocking on a pipe or a
// device: what is not a regular file is refused before it is opened where it can be seen, and
// after. False with an empty `error`: the file is absent (and `flags` do not create it).
bool openRegular(const std::filesystem::path& file, int flags, Descriptor& out, struct stat& status,
                 std::string& error)
{
    struct stat named {};
    if (::lstat(file.c_str(), &named) == 0) {
        if (!S_ISREG(named.st_mode)) {
            error = notRegular(named.st_mode);
            return false;
        }
    } else if (errno != ENOENT) {
        error = reason("stat");
        return false;
    }
    out.fd =
        ::open(file.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, FILE_MODE);
    if (out.fd < 0) {
        if (errno == ENOENT && !(flags & O_CREAT))
            return false;
        // Put in its place between the look and the open.
        if ((errno == ELOOP || errno == EISDIR) && ::lstat(file.c_str(), &named) == 0)
            error = notRegular(named.st_mode);
        else
            error = reason("open");
        return false;
    }
    if (::fstat(out.fd, &status) != 0) {
        error = reason("stat");
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = notRegular(status.st_mode);
        return false;
    }
    // A regular file's reads and writes do not block anyway; the flag goes for clarity.
    const int fileFlags = ::fcntl(out.fd, F_GETFL);
    if (fileFlags < 0 || ::fcntl(out.fd, F_SETFL, fileFlags & ~O_NONBLOCK) != 0) {
        error = reason("fcntl");
        return false;
    }
    return true;
}

// Opens and locks the file `file` names, again when the name has come to give another file while
// the lock was awaited (a replacement): a line written to the file that was replaced would be lost
// with it. `status` is the locked file's, taken under the lock. False with an empty `error`: the
// file is absent.
bool openLocked(const std::filesystem::path& file, int flags, Descriptor& out, struct stat& status,
                std::string& error)
{
    for (int attempt = 0; attempt <= MAX_REOPENS; ++attempt) {
        if (!openRegular(file, flags, out, status, error))
            return false;
        if (!lockWhole(out.fd, error))
            return false;
        if (::fstat(out.fd, &status) != 0) {
            error = reason("stat");
            return false;
        }
        struct stat named {};
        if (::lstat(file.c_str(), &named) == 0) {
            if (named.st_ino == status.st_ino && named.st_dev == status.st_dev)
                return true;
        } else if (errno != ENOENT) {
            error = reason("stat");
            return false;
        }
        out.close();
    }
    error =
        "replaced more than " + std::to_string(MAX_REOPENS) + " times while waiting for its lock";
    return false;
}

// The last `maxBytes` of the open file, whose size is `size`.
bool readTail(int fd, std::uintmax_t size, std::uintmax_t maxBytes, FileTail& tail,
              std::string& error)
{
    tail.size = size;
    tail.cut = size > maxBytes;
    off_t at = static_cast<off_t>(tail.cut ? size - maxBytes : 0);
    const std::uintmax_t wanted = tail.cut ? maxBytes : size;
    tail.content.clear();
    char buffer[65536];
    while (tail.content.size() < wanted) {
        const std::size_t piece = static_cast<std::size_t>(
            std::min<std::uintmax_t>(sizeof buffer, wanted - tail.content.size()));
        const ssize_t got = ::pread(fd, buffer, piece, at);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = reason("read");
            return false;
        }
        if (got == 0)
            break; // shortened meanwhile by something that takes no lock: what is there is read
        tail.content.append(buffer, static_cast<std::size_t>(got));
        at += got;
    }
    return true;
}

} // namespace

bool appendLineDurably(const std::filesystem::path& file, std::string_view line, std::string& error)
{
    std::error_code made;
    if (std::filesystem::create_directories(file.parent_path(), made))
        std::filesystem::permissions(file.parent_path(), std::filesystem::perms::owner_all, made);
    if (made) {
        error = file.parent_path().string() + ": " + made.message();
        return false;
    }
    Descriptor out;
    struct stat status {};
    if (!openLocked(file, O_RDWR | O_APPEND | O_CREAT, out, status, error)) {
        if (error.empty())
            error = "removed while being opened";
        return false;
    }
    if (status.st_size > 0) {
        char last = '\n';
        if (::pread(out.fd, &last, 1, status.st_size - 1) != 1) {
            error = reason("read");
            return false;
        }
        if (last != '\n' && !writeAll(out.fd, "\n", error))
            return false;
    }
    if (!writeAll(out.fd, line, error))
        return false;
    if (::fsync(out.fd) != 0) {
        error = reason("sync");
        return false;
    }
    return true;
}

std::optional<FileTail> readFileTail(const std::filesystem::path& file, std::uintmax_t maxBytes,
                                     std::string& error)
{
    Descriptor in;
    struct stat status {};
    if (!openRegular(file, O_RDONLY, in, status, error)) {
        if (error.empty())
            return FileTail{};
        return std::nullopt;
    }
    FileTail tail;
    if (!readTail(in.fd, static_cast<std::uintmax_t>(status.st_size), maxBytes, tail, error))
        return std::nullopt;
    return tail;
}

bool rewriteFileDurably(const std::filesystem::path& file, std::uintmax_t maxBytes,
                        const FileRewrite& rewrite, std::string& error)
{
    Descriptor lock;
    struct stat status {};
    if (!openLocked(file, O_RDWR, lock, status, error))
        return error.empty(); // absent: nothing to rewrite
    FileTail tail;
    if (!readTail(lock.fd, static_cast<std::uintmax_t>(status.st_size), maxBytes, tail, error))
        return false;
    const std::optional<std::string> content = rewrite(tail);
    if (!content)
        return true;
    // A name of this call's own: nothing else writes the copy while it is made.
    std::string next = file.string() + ".new-XXXXXX";
    Descriptor out;
    out.fd = ::mkostemp(next.data(), O_CLOEXEC);
    if (out.fd < 0) {
        error = reason("create the copy");
        return false;
    }
    bool replaced = writeAll(out.fd, *content, error);
    if (replaced && ::fsync(out.fd) != 0) {
        error = reason("sync the copy");
        replaced = false;
    }
    if (replaced && ::rename(next.c_str(), file.c_str()) != 0) {
        error = reason("rename the copy");
        replaced = false;
    }
    if (!replaced) {
        ::unlink(next.c_str());
        return false;
    }
    // The rename itself reaches the disk with its folder.
    Descriptor folder;
    folder.fd = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder.fd >= 0)
        ::fsync(folder.fd);
    return true;
}

std::filesystem::path userStateDirectory()
{
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/')
        return state;
    const char* home = std::getenv("HOME");
    std::string folder = home && home[0] == '/' ? home : "";
    if (folder.empty()) {
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            found->pw_dir)
            folder = found->pw_dir;
    }
    if (folder.empty())
        return {};
    return std::filesystem::path(folder) / ".local" / "state";
}

} // namespace quarvo
