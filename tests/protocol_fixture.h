// A bootloader on a virtual clock, a recording surface and a command context over them.
#pragma once

#include "recording_surface.h"

#include "protocol/commands.h"
#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

#include <gtest/gtest.h>

namespace quarvo {

class ProtocolFixture {
protected:
    VirtualClock clock;
    SimBackend backend{clock};
    RecordingSurface out;
    CommandContext ctx{backend, out};
    // The bootloader, for the tests that drive an erase and its wait on one open device themselves,
    // as the region write does.
    HidDevice bootloader{backend};

    SimDevice& attach(SimScenario scenario = {}) { return attachBootloader(backend, scenario); }
    bool openLink() { return bootloader.open(VENDOR_ID, PRODUCT_ID) == 1; }

    static std::vector<Report> reportsSent(const SimDevice& device)
    {
        std::vector<Report> reports;
        for (const auto& t : device.traffic())
            if (t.out)
                reports.push_back(t.bytes);
        return reports;
    }

    static Report commandReport(std::uint16_t command, std::uint32_t p1, std::uint32_t p2)
    {
        Report report;
        frameCommand(command, p1, p2, report);
        return report;
    }
};

} // namespace quarvo
