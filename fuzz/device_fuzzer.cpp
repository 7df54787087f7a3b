// libFuzzer harness for the simulated bootloader: fuzzed host reports (raw, or commands framed
// with a good signature and checksum so that they reach the command handling), reads, link closes
// and reopens, on any scenario. No host report may crash or hang the test device, and every read
// must stay within the report.
#include "fuzz_input.h"

#include "sim/sim_device.h"
#include "sim/virtual_clock.h"

#include <cstdio>
#include <cstdlib>

namespace quarvo {
namespace {

// Longest a fuzzed read may wait, on the virtual clock.
constexpr int MAX_READ_WAIT_MS = 60000;

void run(FuzzInput& input)
{
    const auto catalogue = scenarioCatalogue();
    const ScenarioInfo& info = catalogue[input.choose(static_cast<unsigned>(catalogue.size()))];
    VirtualClock clock;
    SimDevice device(clock, SimScenario{info.fault, 1u + input.choose(64)});
    std::string error;
    bool open = device.openLink(error);

    static constexpr std::uint16_t COMMANDS[] = {CMD_ERASE, CMD_PROGRAM, CMD_RESTART, 0x0001};
    while (!input.empty()) {
        Report report;
        switch (input.choose(6)) {
        case 0:
        case 1:
            report[0] = 0;
            input.fill({report.data() + 1, PAYLOAD_SIZE});
            device.write(report.data(), report.size(), error);
            break;
        case 2: {
            const std::uint16_t command = COMMANDS[input.choose(4)];
            const std::uint32_t param1 = input.u32();
            frameCommand(command, param1, input.u32(), report);
            device.write(report.data(), report.size(), error);
            break;
        }
        case 3: {
            const auto waitMs = static_cast<int>(input.u32() % MAX_READ_WAIT_MS);
            const int count = device.read(report.data(), report.size(), waitMs, error);
            check(count <= static_cast<int>(REPORT_SIZE), "read beyond the report");
            break;
        }
        case 4:
            if (open)
                device.closeLink();
            open = device.openLink(error);
            break;
        default:
            report.fill(input.byte());
            report[0] = 0;
            device.write(report.data(), input.choose(2) ? report.size() : input.choose(66), error);
            break;
        }
    }
    if (open)
        device.closeLink();
}

} // namespace
} // namespace quarvo

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    quarvo::FuzzInput input(data, size);
    quarvo::run(input);
    return 0;
}
