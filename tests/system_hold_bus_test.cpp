// LogindBus against system buses that never answer (a socket that is listened on but never
// accepted, one accepted and read but never written, none at all): the hold gives up within its
// bound with one line of warning, and a stop while it waits ends it at once and says so.
#include "platform/system_hold.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

using namespace quarvo;
using Clock = std::chrono::steady_clock;

namespace {

// sd-bus's own wait for an authentication that never comes is 90 s: anything well below shows
// the hold's own bound at work, whatever the machine's load.
constexpr auto WELL_BELOW_SD_BUS_OWN_WAIT = std::chrono::seconds(30);
// A stop looked at every HOLD_STOP_CHECK_MS ends the hold within a few hundred ms.
constexpr auto SOON_AFTER_A_STOP = std::chrono::milliseconds(1500);
// Long enough that only the stop can end a take in the stop tests.
constexpr int LONG_BUS_TIMEOUT_MS = 60000;
constexpr auto STOP_AFTER = std::chrono::milliseconds(200);

enum class Peer {
    Absent,         // no socket at the path
    ListensOnly,    // the connection waits in the backlog: sd-bus's greeting is never read
    AcceptsAndReads // takes everything sd-bus sends and never writes a byte
};

// A system bus that never answers, at a path in a directory of its own.
class SilentBus {
public:
    explicit SilentBus(Peer peer)
    {
        char pattern[] = "/tmp/quarvo-silent-bus.XXXXXX";
        if (::mkdtemp(pattern))
            m_directory = pattern;
        m_path = m_directory + "/bus";
        if (peer == Peer::Absent)
            return;
        m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_path.c_str(), sizeof address.sun_path - 1);
        m_ready =
            m_listener >= 0 &&
            ::bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(m_listener, 8) == 0 && ::pipe2(m_quit, O_CLOEXEC) == 0;
        if (m_ready && peer == Peer::AcceptsAndReads)
            m_reader = std::thread([this] { acceptAndRead(); });
    }
    ~SilentBus()
    {
        if (m_quit[1] >= 0)
            ::close(m_quit[1]); // ends the reader's poll
        if (m_reader.joinable())
            m_reader.join();
        for (int fd : {m_listener, m_quit[0]})
            if (fd >= 0)
                ::close(fd);
        std::filesystem::remove_all(m_directory);
    }
    SilentBus(const SilentBus&) = delete;
    SilentBus& operator=(const SilentBus&) = delete;

    bool ready(Peer peer) const
    {
        return !m_directory.empty() && (peer == Peer::Absent || m_ready);
    }
    std::string address() const { return "unix:path=" + m_path; }
    // AcceptsAndReads: what it read, once the client has closed its end.
    int bytesReadOnceClosed()
    {
        if (m_reader.joinable())
            m_reader.join();
        return m_bytesRead;
    }
    // ListensOnly: whether a connection waits to be accepted.
    bool connectionWaiting() const
    {
        pollfd listener{m_listener, POLLIN, 0};
        return ::poll(&listener, 1, 0) == 1;
    }

private:
    void acceptAndRead()
    {
        int connection = -1;
        char buffer[4096];
        for (;;) {
            pollfd fds[2] = {{m_quit[0], POLLIN, 0},
                             {connection >= 0 ? connection : m_listener, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 || fds[0].revents)
                break;
            if (!fds[1].revents)
                continue;
            if (connection < 0) {
                connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                continue;
            }
            const ssize_t got = ::read(connection, buffer, sizeof buffer);
            if (got <= 0)
                break;
            m_bytesRead += static_cast<int>(got);
        }
        if (connection >= 0)
            ::close(connection);
    }

    std::string m_directory;
    std::string m_path;
    int m_listener = -1;
    int m_quit[2] = {-1, -1};
    bool m_ready = false;
    std::thread m_reader;
    int m_bytesRead = 0; // by the reader, read once it has ended
};

// DBUS_SYSTEM_BUS_ADDRESS for one test, put back afterwards.
class SystemBusAddress {
public:
    explicit SystemBusAddress(const std::string& address)
    {
        if (const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS"))
            m_old = old;
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    }
    ~SystemBusAddress()
    {
        if (m_old)
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", m_old->c_str(), 1);
        else
            ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    SystemBusAddress(const SystemBusAddress&) = delete;
    SystemBusAddress& operator=(const SystemBusAddress&) = delete;

private:
    std::optional<std::string> m_old;
};

struct BusCase {
    const char* name;
    Peer peer;
    const char* reason; // what the warning says after "may sleep or shut down ..."
};

class SilentBusTest : public ::testing::TestWithParam<BusCase> {};

TEST_P(SilentBusTest, TheHoldGivesUpWithinItsBoundWithOneLine)
{
    const BusCase& row = GetParam();
    SilentBus bus(row.peer);
    ASSERT_TRUE(bus.ready(row.peer)) << std::strerror(errno);
    const SystemBusAddress address(bus.address());
    LogindBus logind;
    SystemHold hold(&logind);
    const Clock::time_point start = Clock::now();
    const std::string warning = hold.take();
    EXPECT_LT(Clock::now() - start, WELL_BELOW_SD_BUS_OWN_WAIT);
    EXPECT_FALSE(hold.held());
    EXPECT_EQ(warning.find('\n'), std::string::npos) << warning;
    EXPECT_NE(warning.find("may sleep or shut down during this update: "), std::string::npos)
        << warning;
    EXPECT_NE(warning.find(row.reason), std::string::npos) << warning;
    EXPECT_NE(warning.find(bus.address()), std::string::npos) << warning;
    if (row.peer == Peer::AcceptsAndReads) {
        EXPECT_GT(bus.bytesReadOnceClosed(), 0) << "the peer never heard from sd-bus";
    }
}

TEST_P(SilentBusTest, AStopWhileItWaitsEndsTheTakeAtOnce)
{
    const BusCase& row = GetParam();
    SilentBus bus(row.peer);
    ASSERT_TRUE(bus.ready(row.peer)) << std::strerror(errno);
    const SystemBusAddress address(bus.address());
    LogindBus logind(LONG_BUS_TIMEOUT_MS);
    SystemHold hold(&logind);
    const Clock::time_point start = Clock::now();
    const std::string warning = hold.take([start] { return Clock::now() - start >= STOP_AFTER; });
    EXPECT_LT(Clock::now() - start, SOON_AFTER_A_STOP);
    EXPECT_FALSE(hold.held());
    // Without a peer the take fails before there is anything to wait for.
    const char* said = row.peer == Peer::Absent ? row.reason : "stopped while waiting for logind";
    EXPECT_NE(warning.find(said), std::string::npos) << warning;
}

INSTANTIATE_TEST_SUITE_P(
    Peers, SilentBusTest,
    ::testing::Values(BusCase{"Absent", Peer::Absent, "No such file or directory"},
                      BusCase{"ListensOnly", Peer::ListensOnly, "did not answer within 2000 ms"},
                      BusCase{"AcceptsAndReads", Peer::AcceptsAndReads,
                              "did not answer within 2000 ms"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SystemHoldStopTest, AStopAlreadyAskedForConnectsToNoBus)
{
    SilentBus bus(Peer::ListensOnly);
    ASSERT_TRUE(bus.ready(Peer::ListensOnly)) << std::strerror(errno);
    const SystemBusAddress address(bus.address());
    LogindBus logind(LONG_BUS_TIMEOUT_MS);
    SystemHold hold(&logind);
    const std::string warning = hold.take([] { return true; });
    EXPECT_FALSE(hold.held());
    EXPECT_NE(warning.find("stopped before logind was asked"), std::string::npos) << warning;
    EXPECT_FALSE(bus.connectionWaiting());
}

} // namespace
