#include "sim_backend.h"

#include "protocol/device_ids.h"

namespace quarvo {
namespace {

class SimConnection final : public HidConnection {
public:
    explicit SimConnection(SimDevice& device) : m_device(device) {}
    ~SimConnection() override { m_device.closeLink(); }
    SimConnection(const SimConnection&) = delete;
    SimConnection& operator=(const SimConnection&) = delete;

    int write(const std::uint8_t* data, std::size_t length) override
    {
        return m_device.write(data, length, m_error);
    }
    int read(std::uint8_t* data, std::size_t length, int timeoutMs) override
    {
        return m_device.read(data, length, timeoutMs, m_error);
    }
    std::string error() const override { return m_error; }

private:
    SimDevice& m_device;
    std::string m_error;
};

} // namespace

SimDevice& SimBackend::attach(std::uint16_t vendorId, std::uint16_t productId, SimScenario scenario,
                              SimTiming timing)
{
    HidDeviceInfo info;
    info.path = "sim:" + std::to_string(m_devices.size());
    info.vendorId = vendorId;
    info.productId = productId;
    info.product = "Simulated bootloader";
    info.serial = std::to_string(m_devices.size());
    m_devices.push_back({info, std::make_unique<SimDevice>(m_clock, scenario, timing)});
    return *m_devices.back().device;
}

std::vector<HidDeviceInfo> SimBackend::enumerate(std::uint16_t vendorId, std::uint16_t productId)
{
    std::vector<HidDeviceInfo> list;
    // As hidapi filters: 0 matches any id.
    const auto matches = [](std::uint16_t wanted, std::uint16_t id) {
        return wanted == 0 || wanted == id;
    };
    for (const Entry& entry : m_devices)
        if (entry.device->present() && matches(vendorId, entry.info.vendorId) &&
            matches(productId, entry.info.productId))
            list.push_back(entry.info);
    return list;
}

std::unique_ptr<HidConnection> SimBackend::open(const std::string& path, std::string& error)
{
    for (Entry& entry : m_devices) {
        if (entry.info.path != path)
            continue;
        if (!entry.device->openLink(error))
            return nullptr;
        return std::make_unique<SimConnection>(*entry.device);
    }
    error = "No such device";
    return nullptr;
}

SimDevice& attachBootloader(SimBackend& backend, SimScenario scenario, SimTiming timing)
{
    SimDevice& device = backend.attach(VENDOR_ID, PRODUCT_ID, scenario, timing);
    if (scenario.fault == Fault::SecondDevice)
        backend.attach(VENDOR_ID, PRODUCT_ID, {}, timing);
    return device;
}

} // namespace quarvo
