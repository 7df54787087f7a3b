// HidBackend over simulated devices: what tests, demos and the command line's --simulate hand to
// the code that would otherwise talk to hidapi. Devices are enumerated in the order they were
// added; paths are "sim:<index>".
#pragma once

#include "sim_device.h"

#include "hid/hid_backend.h"

#include <memory>
#include <vector>

namespace quarvo {

class SimBackend final : public HidBackend {
public:
    explicit SimBackend(Clock& clock) : m_clock(clock) {}

    // Attaches a device; it is enumerated after those attached before it.
    SimDevice& attach(std::uint16_t vendorId, std::uint16_t productId, SimScenario scenario = {},
                      SimTiming timing = {});

    std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId, std::uint16_t productId) override;
    std::unique_ptr<HidConnection> open(const std::string& path, std::string& error) override;
    Clock& clock() override { return m_clock; }

private:
    struct Entry {
        HidDeviceInfo info;
        std::unique_ptr<SimDevice> device;
    };
    Clock& m_clock;
    std::vector<Entry> m_devices;
};

// The bootloader as the scenario describes it: one device with the bootloader's ids (two for
// "second-device"). Returns the device the updater is expected to talk to.
SimDevice& attachBootloader(SimBackend& backend, SimScenario scenario, SimTiming timing = {});

} // namespace quarvo
