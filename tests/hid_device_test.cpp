#include "hid/hid_device.h"
#include "protocol/packet.h"
#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quarvo {
namespace {

class HidDeviceTest : public ::testing::Test {
protected:
    VirtualClock clock;
    SimBackend backend{clock};

    static Report restartReport()
    {
        Report report;
        frameCommand(CMD_RESTART, RESTART_PARAM1, RESTART_PARAM2, report);
        return report;
    }
};

TEST_F(HidDeviceTest, OpensTheBootloaderAndMovesAFullReport)
{
    SimDevice& device = attachBootloader(backend, {});
    HidDevice hid(backend);
    Report report{};
    ASSERT_EQ(hid.open(VENDOR_ID, PRODUCT_ID), 1);
    EXPECT_EQ(hid.openState(), HidDevice::OpenState::Open);
    EXPECT_TRUE(device.linkOpen());

    report = restartReport();
    unsigned done = 0;
    EXPECT_EQ(hid.writeReport(report.data(), REPORT_SIZE, &done), 1);
    EXPECT_EQ(done, REPORT_SIZE);
    EXPECT_TRUE(device.restarted());
}

TEST_F(HidDeviceTest, WriteWithoutByteCountBehavesTheSame)
{
    SimDevice& device = attachBootloader(backend, {});
    HidDevice hid(backend);
    Report report{};
    ASSERT_EQ(hid.open(VENDOR_ID, PRODUCT_ID), 1);
    report = restartReport();
    EXPECT_EQ(hid.writeReport(report.data(), REPORT_SIZE, nullptr), 1);
    EXPECT_TRUE(device.restarted());
}

TEST_F(HidDeviceTest, NothingAttachedMeansNotFoundAndCloseIsHarmless)
{
    HidDevice hid(backend);
    Report report{};
    EXPECT_EQ(hid.open(VENDOR_ID, PRODUCT_ID), 0);
    EXPECT_EQ(hid.openState(), HidDevice::OpenState::NotFound);
    hid.close();
    hid.close();
    EXPECT_EQ(hid.writeReport(report.data(), REPORT_SIZE, nullptr), 0);
}

TEST_F(HidDeviceTest, SkipsOtherProductsAndTakesTheFirstOfTwoMatches)
{
    SimDevice& other = backend.attach(VENDOR_ID, 0x1234);
    SimDevice& first = backend.attach(VENDOR_ID, PRODUCT_ID);
    SimDevice& second = backend.attach(VENDOR_ID, PRODUCT_ID);
    HidDevice hid(backend);
    ASSERT_EQ(hid.open(VENDOR_ID, PRODUCT_ID), 1);
    EXPECT_FALSE(other.linkOpen());
    EXPECT_TRUE(first.linkOpen());
    EXPECT_FALSE(second.linkOpen());
}

TEST_F(HidDeviceTest, AMatchThatRefusesTheOpenIsReportedWithItsReason)
{
    attachBootloader(backend, {Fault::OpenRefused, 0});
    HidDevice hid(backend);
    EXPECT_EQ(hid.open(VENDOR_ID, PRODUCT_ID), 0);
    EXPECT_EQ(hid.openState(), HidDevice::OpenState::Refused);
    EXPECT_NE(hid.lastError().find("Permission denied"), std::string::npos);
}

TEST_F(HidDeviceTest, AMatchThatRefusesTheOpenIsSkippedForOneThatOpens)
{
    backend.attach(VENDOR_ID, PRODUCT_ID, {Fault::OpenRefused, 0});
    SimDevice& usable = backend.attach(VENDOR_ID, PRODUCT_ID);
    HidDevice hid(backend);
    EXPECT_EQ(hid.open(VENDOR_ID, PRODUCT_ID), 1);
    EXPECT_TRUE(usable.linkOpen());
}

TEST_F(HidDeviceTest, ReadTimesOutWithinItsBound)
{
    attachBootloader(backend, {Fault::Silent, 0});
    HidDevice hid(backend);
    Report report{};
    ASSERT_EQ(hid.open(VENDOR_ID, PRODUCT_ID), 1);
    const std::int64_t before = clock.nowUs();
    unsigned done = 99;
    EXPECT_EQ(hid.readReport(report.data(), REPORT_SIZE, &done, 250), 0);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(clock.nowUs() - before, 250000); // virtual time: the bound, not a moment more
}

TEST_F(HidDeviceTest, ShortAndZeroCountWritesFail)
{
    for (Fault fault : {Fault::ShortWrite, Fault::ZeroWrite}) {
        SimBackend local(clock);
        attachBootloader(local, {fault, 1});
        HidDevice hid(local);
        Report report{};
        ASSERT_EQ(hid.open(VENDOR_ID, PRODUCT_ID), 1);
        report = restartReport();
        unsigned done = 0;
        EXPECT_EQ(hid.writeReport(report.data(), REPORT_SIZE, &done), 0);
        EXPECT_LT(done, REPORT_SIZE);
        EXPECT_NE(hid.lastError().find("short write"), std::string::npos);
    }
}

TEST_F(HidDeviceTest, CloseTwiceClosesTheLinkOnceAndTransfersThenFail)
{
    SimDevice& device = attachBootloader(backend, {});
    HidDevice hid(backend);
    Report report{};
    ASSERT_EQ(hid.open(VENDOR_ID, PRODUCT_ID), 1);
    hid.close();
    EXPECT_FALSE(device.linkOpen());
    hid.close();
    EXPECT_EQ(hid.readReport(report.data(), REPORT_SIZE, nullptr, 10), 0);
    EXPECT_EQ(device.linksOpened(), 1u);
}

TEST_F(HidDeviceTest, LinkClosesTheDeviceWhenDestroyed)
{
    SimDevice& device = attachBootloader(backend, {});
    {
        HidDevice hid(backend);
        ASSERT_EQ(hid.open(VENDOR_ID, PRODUCT_ID), 1);
    }
    EXPECT_FALSE(device.linkOpen());
}

// A transport whose reads come back empty after a fixed time or after their time-out plus a
// delay, as under load; time is virtual.
class PacedBackend final : public HidBackend {
public:
    struct Pace {
        const char* name;
        int earlyMs; // > 0: every read returns empty after this long
        int lateMs;  // every read that runs to its time-out returns this much later
    };
    explicit PacedBackend(Pace pace) : m_pace(pace) {}

    std::vector<HidDeviceInfo> enumerate(std::uint16_t, std::uint16_t) override
    {
        return {HidDeviceInfo{"paced", VENDOR_ID, PRODUCT_ID, {}, {}}};
    }
    std::unique_ptr<HidConnection> open(const std::string&, std::string&) override
    {
        return std::make_unique<Connection>(*this);
    }
    Clock& clock() override { return m_clock; }
    unsigned reads = 0;

private:
    class Connection final : public HidConnection {
    public:
        explicit Connection(PacedBackend& owner) : m_owner(owner) {}
        int write(const std::uint8_t*, std::size_t length) override
        {
            return static_cast<int>(length);
        }
        int read(std::uint8_t*, std::size_t, int timeoutMs) override
        {
            ++m_owner.reads;
            const Pace& pace = m_owner.m_pace;
            const int tookMs = pace.earlyMs > 0 && pace.earlyMs < timeoutMs
                                   ? pace.earlyMs
                                   : timeoutMs + pace.lateMs;
            m_owner.m_clock.sleepUntilUs(m_owner.m_clock.nowUs() + std::int64_t{tookMs} * 1000);
            return 0;
        }
        std::string error() const override { return {}; }

    private:
        PacedBackend& m_owner;
    };

    Pace m_pace;
    VirtualClock m_clock;
};

class ReadBound : public ::testing::TestWithParam<PacedBackend::Pace> {};

TEST_P(ReadBound, EndsWithinItsBoundPlusOneSlice)
{
    PacedBackend backend(GetParam());
    HidDevice hid(backend);
    ASSERT_EQ(hid.open(VENDOR_ID, PRODUCT_ID), 1);
    std::uint8_t report[REPORT_SIZE];
    const std::int64_t before = backend.clock().nowUs();
    EXPECT_EQ(hid.readReport(report, REPORT_SIZE, nullptr, 300), 0);
    const std::int64_t took = backend.clock().nowUs() - before;
    const int slice = std::max(GetParam().earlyMs, GetParam().lateMs);
    EXPECT_GE(took, 300000);
    EXPECT_LE(took, (300 + slice) * 1000);
    EXPECT_NE(hid.lastError().find("300 ms"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Transports, ReadBound,
                         ::testing::Values(PacedBackend::Pace{"exact", 0, 0},
                                           PacedBackend::Pace{"early_every_7ms", 7, 0},
                                           PacedBackend::Pace{"early_every_1ms", 1, 0},
                                           PacedBackend::Pace{"late_by_15ms", 0, 15},
                                           PacedBackend::Pace{"early_and_late", 7, 15}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(ReadBoundCalls, OneTransportCallCoversTheWholeWait)
{
    PacedBackend backend({"exact", 0, 0});
    HidDevice hid(backend);
    ASSERT_EQ(hid.open(VENDOR_ID, PRODUCT_ID), 1);
    std::uint8_t report[REPORT_SIZE];
    EXPECT_EQ(hid.readReport(report, REPORT_SIZE, nullptr, 30000), 0);
    EXPECT_EQ(backend.reads, 1u);
}

} // namespace
} // namespace quarvo
