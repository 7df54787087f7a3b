// The single-instance guard on Linux: a lock file deleted or swapped while it is taken lets no
// second updater pass, updaters whose lock files end up in different directories still exclude
// each other, a system lock directory this user cannot write is passed over, and a lock held by a
// process that is no updater is named as such.
#include "platform/instance_guard.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace quarvo;

namespace {

// How long a helper process may take to say it is ready or done (generous: a loaded machine).
constexpr int HELPER_TIMEOUT_MS = 30000;

// A directory of the test's own under /tmp that every user may enter (a helper process may run
// as another user), removed with everything in it.
class TempDirectory {
public:
    TempDirectory()
    {
        char pattern[] = "/tmp/quarvo-guard-test.XXXXXX";
        if (::mkdtemp(pattern) && ::chmod(pattern, 0755) == 0)
            m_path = pattern;
    }
    ~TempDirectory()
    {
        if (!m_path.empty()) {
            std::error_code ignored;
            // Directories a test made unwritable must be made writable to be emptied.
            for (const auto& entry : std::filesystem::recursive_directory_iterator(m_path, ignored))
                if (entry.is_directory(ignored) && !entry.is_symlink(ignored))
                    ::chmod(entry.path().c_str(), 0755);
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// A guard name of the test's own: the name alone makes the abstract mark when no directory is
// given, and no test may meet a real updater or another test.
std::string uniqueName()
{
    static int count = 0;
    return "quarvo-guard-test-" + std::to_string(::getpid()) + "-" + std::to_string(++count);
}

// Whether some open file description holds the lock on the file at `path` (any process, this one
// included: flock locks belong to descriptions, not processes).
bool lockedNow(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}

int lockFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Waits up to HELPER_TIMEOUT_MS for `fd` to be readable (or closed at the far end).
bool readable(int fd)
{
    pollfd end{fd, POLLIN, 0};
    return ::poll(&end, 1, HELPER_TIMEOUT_MS) == 1;
}

class GuardTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.path().empty()) << std::strerror(errno); }
    std::string lockPath() const { return dir.path() + "/" + name + ".lock"; }

    TempDirectory dir;
    const std::string name = uniqueName();
};

TEST_F(GuardTest, OneUpdaterAtATimeAndTheFirstsEndFreesTheGuard)
{
    {
        InstanceGuard first(name, dir.path());
        ASSERT_EQ(first.acquire(), InstanceGuard::Result::Acquired);
        EXPECT_EQ(first.acquire(), InstanceGuard::Result::Acquired); // harmless when taken
        InstanceGuard second(name, dir.path());
        EXPECT_EQ(second.acquire(), InstanceGuard::Result::AlreadyRunning);
        EXPECT_EQ(second.obstacle(), "");
    }
    InstanceGuard afterwards(name, dir.path());
    EXPECT_EQ(afterwards.acquire(), InstanceGuard::Result::Acquired);
}

TEST_F(GuardTest, DeletingTheLockFileLetsNoSecondUpdaterPass)
{
    InstanceGuard first(name, dir.path());
    ASSERT_EQ(first.acquire(), InstanceGuard::Result::Acquired);
    ASSERT_EQ(::unlink(lockPath().c_str()), 0);
    {
        InstanceGuard second(name, dir.path());
        EXPECT_EQ(second.acquire(), InstanceGuard::Result::AlreadyRunning);
    }
    // The one refused made no new file (it was refused before it looked for one).
    EXPECT_FALSE(std::filesystem::exists(lockPath()));
}

TEST_F(GuardTest, GuardsInDifferentLockDirectoriesNeverMeet)
{
    TempDirectory other;
    ASSERT_FALSE(other.path().empty());
    InstanceGuard first(name, dir.path());
    InstanceGuard second(name, other.path());
    EXPECT_EQ(first.acquire(), InstanceGuard::Result::Acquired);
    EXPECT_EQ(second.acquire(), InstanceGuard::Result::Acquired);
}

TEST_F(GuardTest, UpdatersWhoseFilesEndUpInDifferentSystemDirectoriesStillExcludeEachOther)
{
    // As root's updater in /run/lock and a user's in /tmp, where that user cannot write /run/lock.
    TempDirectory other;
    ASSERT_FALSE(other.path().empty());
    InstanceGuard first(name, {}, InstanceGuard::Seams{{dir.path()}, {}});
    InstanceGuard second(name, {}, InstanceGuard::Seams{{other.path()}, {}});
    ASSERT_EQ(first.acquire(), InstanceGuard::Result::Acquired);
    EXPECT_EQ(second.acquire(), InstanceGuard::Result::AlreadyRunning);
    EXPECT_TRUE(lockedNow(lockPath()));
    EXPECT_FALSE(std::filesystem::exists(other.path() + "/" + name + ".lock"));
}

TEST_F(GuardTest, ALockThisProcessHoldsCountsAsAnUpdaters)
{
    const int held = lockFile(lockPath());
    ASSERT_GE(held, 0) << std::strerror(errno);
    InstanceGuard guard(name, dir.path());
    EXPECT_EQ(guard.acquire(), InstanceGuard::Result::AlreadyRunning);
    EXPECT_EQ(guard.obstacle(), "");
    ::close(held);
}

// A process of another name holding the lock file's lock, as `flock FILE COMMAND` does.
struct HolderCase {
    const char* name;
    const char* processName;
    InstanceGuard::Result expected;
    const char* shownName; // in the obstacle, for HeldByOther
};

class LockHolderTest : public GuardTest, public ::testing::WithParamInterface<HolderCase> {};

TEST_P(LockHolderTest, AHolderThatIsNoUpdaterIsNamed)
{
    const HolderCase& row = GetParam();
    int ready[2], release[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        ::prctl(PR_SET_NAME, row.processName);
        const int fd = lockFile(lockPath());
        char byte = fd >= 0 ? '1' : '0';
        if (::write(ready[1], &byte, 1) != 1)
            ::_exit(1);
        ::read(release[0], &byte, 1); // until the test closes its end
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char byte = '0';
    const bool holding = readable(ready[0]) && ::read(ready[0], &byte, 1) == 1 && byte == '1';

    InstanceGuard guard(name, dir.path());
    const InstanceGuard::Result result =
        holding ? guard.acquire() : InstanceGuard::Result::Acquired;
    ::close(release[1]);
    ::close(ready[0]);
    // Its work is done: a helper that did not see its release ends all the same.
    ::kill(holder, SIGKILL);
    int status = 0;
    ::waitpid(holder, &status, 0);

    ASSERT_TRUE(holding) << "the helper process could not lock " << lockPath();
    EXPECT_EQ(result, row.expected);
    if (row.expected == InstanceGuard::Result::HeldByOther) {
        EXPECT_EQ(guard.obstacle(), lockPath() + " is locked by process " + std::to_string(holder) +
                                        " (" + row.shownName + "), which is not an updater");
    } else {
        EXPECT_EQ(guard.obstacle(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Holders, LockHolderTest,
    ::testing::Values(HolderCase{"Flock", "flock", InstanceGuard::Result::HeldByOther, "flock"},
                      HolderCase{"AnotherUpdater", "quarvo-flash",
                                 InstanceGuard::Result::AlreadyRunning, ""},
                      HolderCase{"ANameWithEscapes", "x\x1b[2Jy",
                                 InstanceGuard::Result::HeldByOther, "x\\x1b[2Jy"}),
    [](const auto& row) { return std::string(row.param.name); });

// The lock file swapped or deleted between the guard's open and its lock: the guard must end up
// holding the file the path names, or not at all.
enum class Swap {
    Deleted,               // the opened file is deleted
    ReplacedByALockedFile, // another file, which another updater has locked, takes its place
    ReplacedEveryTime      // a new file takes its place at every attempt
};

struct SwapCase {
    const char* name;
    Swap swap;
    InstanceGuard::Result expected;
};

class LockFileSwapTest : public GuardTest, public ::testing::WithParamInterface<SwapCase> {
protected:
    void TearDown() override
    {
        if (m_otherUpdater >= 0)
            ::close(m_otherUpdater);
    }
    int m_otherUpdater = -1;
};

TEST_P(LockFileSwapTest, TheGuardHoldsTheFileThePathNamesOrNone)
{
    const SwapCase& row = GetParam();
    int calls = 0;
    InstanceGuard::Seams seams;
    seams.beforeLock = [&](const std::string& path) {
        ++calls;
        if (row.swap != Swap::ReplacedEveryTime && calls > 1)
            return;
        ::unlink(path.c_str());
        if (row.swap == Swap::ReplacedByALockedFile)
            m_otherUpdater = lockFile(path);
        if (row.swap == Swap::ReplacedEveryTime)
            ::close(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
    };
    InstanceGuard guard(name, dir.path(), seams);
    const InstanceGuard::Result result = guard.acquire();
    EXPECT_EQ(result, row.expected);
    switch (row.swap) {
    case Swap::Deleted:
        // It locked the file it made in the deleted one's place: the next updater meets it.
        EXPECT_EQ(calls, 2);
        EXPECT_TRUE(lockedNow(lockPath()));
        break;
    case Swap::ReplacedByALockedFile:
        EXPECT_EQ(calls, 2);
        EXPECT_GE(m_otherUpdater, 0);
        break;
    case Swap::ReplacedEveryTime:
        EXPECT_GT(calls, 1);
        EXPECT_NE(guard.obstacle().find(lockPath() + ", owned by "), std::string::npos)
            << guard.obstacle();
        EXPECT_NE(guard.obstacle().find("replaced by another file each time it was locked"),
                  std::string::npos)
            << guard.obstacle();
        EXPECT_FALSE(lockedNow(lockPath()));
        break;
    }
    // Refused, it holds nothing, the abstract name included.
    if (result != InstanceGuard::Result::Acquired) {
        if (m_otherUpdater >= 0)
            ::close(m_otherUpdater);
        m_otherUpdater = -1;
        InstanceGuard next(name, dir.path());
        EXPECT_EQ(next.acquire(), InstanceGuard::Result::Acquired);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Swaps, LockFileSwapTest,
    ::testing::Values(SwapCase{"Deleted", Swap::Deleted, InstanceGuard::Result::Acquired},
                      SwapCase{"ReplacedByALockedFile", Swap::ReplacedByALockedFile,
                               InstanceGuard::Result::AlreadyRunning},
                      SwapCase{"ReplacedEveryTime", Swap::ReplacedEveryTime,
                               InstanceGuard::Result::Unavailable}),
    [](const auto& row) { return std::string(row.param.name); });

// The system's lock directories as another user meets them: the first (as /run/lock) missing, or
// not writable by that user, with or without a lock file in it; the second (as /tmp) writable by
// all. The guard runs in a helper process as `nobody` when the test runs as root (root may write
// anywhere), else as this user with the first directory made read-only.
enum class FirstDirectory {
    Missing,
    UnwritableAndEmpty,
    UnwritableWithReadableLockFile,  // root's lock file from tmpfiles.d
    UnwritableWithUnreadableLockFile // a file this user may not open: refused, never passed over
};

struct DirectoryCase {
    const char* name;
    FirstDirectory first;
    bool secondWritable;
    InstanceGuard::Result expected;
    int lockedIn;         // which directory's lock file the guard holds (0, 1), -1: none
    const char* obstacle; // for Unavailable: the directory of the lock file it names
};

class SystemDirectoryTest : public GuardTest,
                            public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(SystemDirectoryTest, AnUnwritableSystemLockDirectoryIsPassedOver)
{
    const DirectoryCase& row = GetParam();
    const bool root = ::geteuid() == 0;
    const std::string first = dir.path() + "/run-lock";
    const std::string second = dir.path() + "/tmp";
    const std::vector<std::string> files = {first + "/" + name + ".lock",
                                            second + "/" + name + ".lock"};
    ASSERT_EQ(::mkdir(second.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(second.c_str(), row.secondWritable ? 01777 : 0555), 0);
    if (row.first != FirstDirectory::Missing) {
        ASSERT_EQ(::mkdir(first.c_str(), 0755), 0);
        if (row.first != FirstDirectory::UnwritableAndEmpty) {
            const bool readable = row.first == FirstDirectory::UnwritableWithReadableLockFile;
            const int fd = ::open(files[0].c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            ASSERT_GE(fd, 0) << std::strerror(errno);
            ::close(fd);
            ASSERT_EQ(::chmod(files[0].c_str(), readable ? 0644 : (root ? 0600 : 0)), 0);
        }
        ASSERT_EQ(::chmod(first.c_str(), root ? 0755 : 0555), 0);
    }
    uid_t user = ::geteuid();
    gid_t group = ::getegid();
    if (root) {
        const passwd* nobody = ::getpwnam("nobody");
        if (!nobody)
            GTEST_SKIP() << "no user nobody to run the guard as";
        user = nobody->pw_uid;
        group = nobody->pw_gid;
    }

    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    const pid_t helper = ::fork();
    ASSERT_GE(helper, 0);
    if (helper == 0) {
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 || ::setuid(user) != 0))
            ::_exit(2);
        InstanceGuard guard(name, {}, InstanceGuard::Seams{{first, second}, {}});
        const InstanceGuard::Result result = guard.acquire();
        std::string text = std::to_string(static_cast<int>(result)) + "\n";
        for (const std::string& file : files)
            text += lockedNow(file) ? "1" : "0";
        text += "\n" + guard.obstacle();
        const bool written =
            ::write(report[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::_exit(written ? 0 : 1);
    }
    ::close(report[1]);
    std::string text;
    char buffer[512];
    ssize_t got = 0;
    while (readable(report[0]) && (got = ::read(report[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(report[0]);
    if (got != 0) // no end of the report within the bound: the helper hangs
        ::kill(helper, SIGKILL);
    int status = -1;
    ::waitpid(helper, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the helper (uid " << user << ") failed: " << status;

    const std::size_t line = text.find('\n');
    ASSERT_NE(line, std::string::npos) << text;
    EXPECT_EQ(std::stoi(text.substr(0, line)), static_cast<int>(row.expected)) << text;
    const std::string locked = text.substr(line + 1, 2);
    EXPECT_EQ(locked, row.lockedIn == 0 ? "10" : row.lockedIn == 1 ? "01" : "00") << text;
    if (row.expected == InstanceGuard::Result::Unavailable) {
        EXPECT_NE(text.find(std::string(row.obstacle) + name + ".lock"), std::string::npos) << text;
        EXPECT_NE(text.find("Permission denied"), std::string::npos) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Directories, SystemDirectoryTest,
    ::testing::Values(DirectoryCase{"FirstMissing", FirstDirectory::Missing, true,
                                    InstanceGuard::Result::Acquired, 1, ""},
                      DirectoryCase{"FirstUnwritableAndEmpty", FirstDirectory::UnwritableAndEmpty,
                                    true, InstanceGuard::Result::Acquired, 1, ""},
                      DirectoryCase{"FirstHoldsAReadableLockFile",
                                    FirstDirectory::UnwritableWithReadableLockFile, true,
                                    InstanceGuard::Result::Acquired, 0, ""},
                      DirectoryCase{"FirstHoldsAnUnreadableLockFile",
                                    FirstDirectory::UnwritableWithUnreadableLockFile, true,
                                    InstanceGuard::Result::Unavailable, -1, "/run-lock/"},
                      DirectoryCase{"NoneWritable", FirstDirectory::UnwritableAndEmpty, false,
                                    InstanceGuard::Result::Unavailable, -1, "/tmp/"}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
