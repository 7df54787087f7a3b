// One fault at a time, at every report of a small whole update: whatever breaks and wherever,
// the update never claims success, never restarts a half-written device, leaves the bar at 0 and
// never programs flash that was not erased. A fault the update rides out must leave the device
// exactly as a healthy run does.
#include "job_fixture.h"
#include "settled_files.h"

#include "protocol/texts.h"

namespace quarvo {
namespace {

struct SweepCase {
    const char* name;
    Fault fault;
    bool countsReads; // N numbers read calls, not output reports
};

class FaultSweep : public JobFixture, public ::testing::TestWithParam<SweepCase> {
protected:
    FaultSweep()
    {
        writeFile(CODE_FILE, code);
        writeFile(DATABASE_FILE, database);
    }

    struct Run {
        JobOutcome outcome;
        RecordingSurface surface;
        std::unique_ptr<VirtualClock> clock = std::make_unique<VirtualClock>();
        std::unique_ptr<SimBackend> backend = std::make_unique<SimBackend>(*clock);
        SimDevice* device = nullptr;
    };

    std::unique_ptr<Run> update(SimScenario scenario)
    {
        auto run = std::make_unique<Run>();
        run->device = &attachBootloader(*run->backend, scenario);
        CommandContext context{*run->backend, run->surface};
        run->outcome = runSettled(context, dir);
        return run;
    }

    // What a healthy device holds in the pages of both regions and the header page.
    std::vector<std::uint8_t> deviceContent(const SimDevice& device) const
    {
        auto content = device.flash(CODE_ADDRESS, regionPageCount(600) * 256);
        const auto header = device.flash(IMAGE_HEADER_ADDRESS, 256);
        const auto data = device.flash(DATABASE_ADDRESS, regionPageCount(700) * 256);
        content.insert(content.end(), header.begin(), header.end());
        content.insert(content.end(), data.begin(), data.end());
        return content;
    }

    const std::vector<std::uint8_t> code = pattern(600, 1);
    const std::vector<std::uint8_t> database = pattern(700, 2);
};

TEST_P(FaultSweep, NeverEndsInAFalseSuccessOrAHalfWrittenRestart)
{
    const SweepCase& c = GetParam();
    const auto healthy = update({});
    ASSERT_EQ(healthy->outcome, JobOutcome::Success);
    const auto expected = deviceContent(*healthy->device);
    unsigned writes = 0;
    unsigned reads = 0;
    for (const auto& t : healthy->device->traffic())
        ++(t.out ? writes : reads);
    const unsigned last = c.countsReads ? reads : writes;
    ASSERT_GE(last, c.countsReads ? 4u : 30u); // the sweep covers a real update

    for (unsigned at = 1; at <= last; ++at) {
        SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(at) + " of " +
                     std::to_string(last));
        const auto run = update({c.fault, at});
        const SimDevice& device = *run->device;
        EXPECT_EQ(run->surface.bar.shown(), 0u);
        EXPECT_EQ(device.unerasedWriteCount(), 0u);
        EXPECT_TRUE(device.violations().empty());

        // An empty read carries no record and is skipped; a device that vanishes after taking
        // the restart has done everything asked of it.
        const bool riddenOut =
            c.fault == Fault::EmptyRead || (c.fault == Fault::Disconnect && at == last);
        if (riddenOut) {
            EXPECT_EQ(run->outcome, JobOutcome::Success);
            EXPECT_TRUE(device.restarted());
            EXPECT_EQ(deviceContent(device), expected);
            EXPECT_EQ(run->surface.lastStatus(), text::UPDATE_OK);
        } else {
            EXPECT_EQ(run->outcome, JobOutcome::DeviceFailed);
            EXPECT_NE(run->surface.lastStatus(), text::UPDATE_OK);
            EXPECT_FALSE(device.restarted());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryReport, FaultSweep,
                         ::testing::Values(SweepCase{"write_fails", Fault::WriteFail, false},
                                           SweepCase{"short_write", Fault::ShortWrite, false},
                                           SweepCase{"zero_write", Fault::ZeroWrite, false},
                                           SweepCase{"disconnect", Fault::Disconnect, false},
                                           SweepCase{"read_fails", Fault::ReadFail, true},
                                           SweepCase{"empty_read", Fault::EmptyRead, true}),
                         [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace quarvo
