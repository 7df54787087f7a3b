#include "durable_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace quarvo {
namespace {

constexpr mode_t FILE_MODE = 0600;
// How often an append opens the file again when it was replaced under it.
constexpr int MAX_REOPENS = 5;

std::string reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// The descriptor, closed (and its lock given back) whichever way the call leaves.
struct Descriptor {
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
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
    // A file replaced (trimmed) while this one waited for the lock is opened again: a line
    // appended to the file it replaced would be lost with it.
    for (int attempt = 0;; ++attempt) {
        out.fd =
            ::open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, FILE_MODE);
        if (out.fd < 0) {
            error = reason("open");
            return false;
        }
        if (!lockWhole(out.fd, error))
            return false;
        if (::fstat(out.fd, &status) != 0) {
            error = reason("stat");
            return false;
        }
        struct stat named {};
        if ((::stat(file.c_str(), &named) == 0 && named.st_ino == status.st_ino &&
             named.st_dev == status.st_dev) ||
            attempt == MAX_REOPENS)
            break;
        ::close(out.fd);
        out.fd = -1;
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

std::optional<std::string> readWholeFile(const std::filesystem::path& file, std::string& error)
{
    Descriptor in;
    in.fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (in.fd < 0) {
        if (errno == ENOENT)
            return std::string();
        error = reason("open");
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(in.fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = reason("read");
            return std::nullopt;
        }
        if (got == 0)
            return content;
        content.append(buffer, static_cast<std::size_t>(got));
    }
}

bool replaceFileDurably(const std::filesystem::path& file, std::string_view content,
                        std::uintmax_t expectedSize, std::string& error)
{
    Descriptor lock;
    lock.fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (lock.fd < 0) {
        error = reason("open");
        return false;
    }
    if (!lockWhole(lock.fd, error))
        return false;
    struct stat status {};
    if (::fstat(lock.fd, &status) != 0) {
        error = reason("stat");
        return false;
    }
    if (static_cast<std::uintmax_t>(status.st_size) != expectedSize)
        return false; // another process wrote meanwhile: its record stays
    const std::filesystem::path next = file.string() + ".new";
    Descriptor out;
    out.fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, FILE_MODE);
    if (out.fd < 0) {
        error = reason("open");
        return false;
    }
    if (!writeAll(out.fd, content, error))
        return false;
    if (::fsync(out.fd) != 0) {
        error = reason("sync");
        return false;
    }
    if (::rename(next.c_str(), file.c_str()) != 0) {
        error = reason("rename");
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
