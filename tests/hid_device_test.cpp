#include "hid/hid_device.h"
#include "protocol/packet.h"
#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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
    CHidLink link(backend);
    ASSERT_EQ(link.device.open(VENDOR_ID, PRODUCT_ID), 1);
    EXPECT_EQ(link.device.openState(), CHidDevice::OpenState::Open);
    EXPECT_TRUE(device.linkOpen());

    link.report = restartReport();
    unsigned done = 0;
    EXPECT_EQ(link.device.writeReport(link.report.data(), REPORT_SIZE, &done, TRANSFER_TIMEOUT_MS), 1);
    EXPECT_EQ(done, REPORT_SIZE);
    EXPECT_TRUE(device.restarted());
}

TEST_F(HidDeviceTest, WriteWithoutByteCountBehavesTheSame)
{
    SimDevice& device = attachBootloader(backend, {});
    CHidLink link(backend);
    ASSERT_EQ(link.device.open(VENDOR_ID, PRODUCT_ID), 1);
    link.report = restartReport();
    EXPECT_EQ(link.device.writeReport(link.report.data(), REPORT_SIZE, nullptr, TRANSFER_TIMEOUT_MS), 1);
    EXPECT_TRUE(device.restarted());
}

TEST_F(HidDeviceTest, NothingAttachedMeansNotFoundAndCloseIsHarmless)
{
    CHidLink link(backend);
    EXPECT_EQ(link.device.open(VENDOR_ID, PRODUCT_ID), 0);
    EXPECT_EQ(link.device.openState(), CHidDevice::OpenState::NotFound);
    link.device.close();
    link.device.close();
    EXPECT_EQ(link.device.writeReport(link.report.data(), REPORT_SIZE, nullptr, 100), 0);
}

TEST_F(HidDeviceTest, SkipsOtherProductsAndTakesTheFirstOfTwoMatches)
{
    SimDevice& other = backend.attach(VENDOR_ID, 0x1234);
    SimDevice& first = backend.attach(VENDOR_ID, PRODUCT_ID);
    SimDevice& second = backend.attach(VENDOR_ID, PRODUCT_ID);
    CHidLink link(backend);
    ASSERT_EQ(link.device.open(VENDOR_ID, PRODUCT_ID), 1);
    EXPECT_FALSE(other.linkOpen());
    EXPECT_TRUE(first.linkOpen());
    EXPECT_FALSE(second.linkOpen());
}

TEST_F(HidDeviceTest, AMatchThatRefusesTheOpenIsReportedWithItsReason)
{
    attachBootloader(backend, {Fault::OpenRefused, 0});
    CHidLink link(backend);
    EXPECT_EQ(link.device.open(VENDOR_ID, PRODUCT_ID), 0);
    EXPECT_EQ(link.device.openState(), CHidDevice::OpenState::Refused);
    EXPECT_NE(link.device.lastError().find("Permission denied"), std::string::npos);
}

TEST_F(HidDeviceTest, AMatchThatRefusesTheOpenIsSkippedForOneThatOpens)
{
    backend.attach(VENDOR_ID, PRODUCT_ID, {Fault::OpenRefused, 0});
    SimDevice& usable = backend.attach(VENDOR_ID, PRODUCT_ID);
    CHidLink link(backend);
    EXPECT_EQ(link.device.open(VENDOR_ID, PRODUCT_ID), 1);
    EXPECT_TRUE(usable.linkOpen());
}

TEST_F(HidDeviceTest, ReadTimesOutWithinItsBound)
{
    attachBootloader(backend, {Fault::Silent, 0});
    CHidLink link(backend);
    ASSERT_EQ(link.device.open(VENDOR_ID, PRODUCT_ID), 1);
    const std::int64_t before = clock.nowUs();
    unsigned done = 99;
    EXPECT_EQ(link.device.readReport(link.report.data(), REPORT_SIZE, &done, 250), 0);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(clock.nowUs() - before, 250000);   // virtual time: the bound, not a moment more
}

TEST_F(HidDeviceTest, ShortAndZeroCountWritesFail)
{
    for (Fault fault : {Fault::ShortWrite, Fault::ZeroWrite}) {
        SimBackend local(clock);
        attachBootloader(local, {fault, 1});
        CHidLink link(local);
        ASSERT_EQ(link.device.open(VENDOR_ID, PRODUCT_ID), 1);
        link.report = restartReport();
        unsigned done = 0;
        EXPECT_EQ(link.device.writeReport(link.report.data(), REPORT_SIZE, &done, 100), 0);
        EXPECT_LT(done, REPORT_SIZE);
        EXPECT_NE(link.device.lastError().find("short write"), std::string::npos);
    }
}

TEST_F(HidDeviceTest, CloseTwiceClosesTheLinkOnceAndTransfersThenFail)
{
    SimDevice& device = attachBootloader(backend, {});
    CHidLink link(backend);
    ASSERT_EQ(link.device.open(VENDOR_ID, PRODUCT_ID), 1);
    link.device.close();
    EXPECT_FALSE(device.linkOpen());
    link.device.close();
    EXPECT_EQ(link.device.readReport(link.report.data(), REPORT_SIZE, nullptr, 10), 0);
    EXPECT_EQ(device.linksOpened(), 1u);
}

TEST_F(HidDeviceTest, LinkClosesTheDeviceWhenDestroyed)
{
    SimDevice& device = attachBootloader(backend, {});
    {
        CHidLink link(backend);
        ASSERT_EQ(link.device.open(VENDOR_ID, PRODUCT_ID), 1);
    }
    EXPECT_FALSE(device.linkOpen());
}

TEST(HidDeviceAbort, AnotherThreadEndsAWaitingRead)
{
    SteadyClock clock;
    SimBackend backend(clock);
    attachBootloader(backend, {Fault::Silent, 0});
    CHidLink link(backend);
    ASSERT_EQ(link.device.open(VENDOR_ID, PRODUCT_ID), 1);

    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        link.device.abort();
    });
    const int result = link.device.readReport(link.report.data(), REPORT_SIZE, nullptr, 60000);
    aborter.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(link.device.lastError(), "aborted");
    // The abort was taken by the wait it ended; the next transfer is not affected.
    link.report.fill(0);
    frameCommand(CMD_RESTART, RESTART_PARAM1, RESTART_PARAM2, link.report);
    EXPECT_EQ(link.device.writeReport(link.report.data(), REPORT_SIZE, nullptr, 100), 1);
}

} // namespace
} // namespace quarvo
