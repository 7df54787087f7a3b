#include "hid_device.h"

#include <algorithm>

namespace quarvo {

CHidDevice::CHidDevice(HidBackend& backend) : m_backend(backend) {}

CHidDevice::~CHidDevice() { close(); }

int CHidDevice::fail(std::string reason)
{
    m_lastError = std::move(reason);
    return 0;
}

bool CHidDevice::takeAbort() { return m_abort.exchange(false); }

void CHidDevice::abort() { m_abort.store(true); }

int CHidDevice::open(std::uint16_t vendorId, std::uint16_t productId)
{
    close();
    std::string refusal;
    bool matched = false;
    for (const HidDeviceInfo& info : m_backend.enumerate()) {
        if (info.vendorId != vendorId || info.productId != productId)
            continue;
        matched = true;
        std::string error;
        m_connection = m_backend.open(info.path, error);
        if (m_connection) {
            m_openState = OpenState::Open;
            m_lastError.clear();
            return 1;
        }
        // A match that cannot be opened is skipped, but its reason is what the user needs to hear
        // when no other match works.
        if (refusal.empty())
            refusal = info.path + ": " + error;
    }
    m_openState = matched ? OpenState::Refused : OpenState::NotFound;
    if (matched)
        return fail("device found but cannot be opened (" + refusal + ")");
    return fail("no HID device with vendor id 0x0416 and product id 0xb500");
}

int CHidDevice::writeReport(const std::uint8_t* buffer, std::size_t length, unsigned* bytesDone,
                            unsigned /*timeoutMs*/)
{
    if (bytesDone)
        *bytesDone = 0;
    if (!m_connection)
        return fail("device is not open");
    if (takeAbort())
        return fail("aborted");
    const int count = m_connection->write(buffer, length);
    if (count < 0)
        return fail("write failed: " + m_connection->error());
    if (bytesDone)
        *bytesDone = static_cast<unsigned>(count);
    if (takeAbort())
        return fail("aborted");
    if (static_cast<std::size_t>(count) < length)
        return fail("short write: " + std::to_string(count) + " of " + std::to_string(length) +
                    " bytes");
    return 1;
}

int CHidDevice::readReport(std::uint8_t* buffer, std::size_t length, unsigned* bytesDone,
                           unsigned timeoutMs)
{
    if (bytesDone)
        *bytesDone = 0;
    if (!m_connection)
        return fail("device is not open");
    // The wait is cut into short slices so that abort() from another thread is seen promptly;
    // the slices add up to the caller's bound.
    unsigned waited = 0;
    for (;;) {
        if (takeAbort())
            return fail("aborted");
        const unsigned slice = std::min(ABORT_POLL_MS, timeoutMs - waited);
        const int count = m_connection->read(buffer, length, static_cast<int>(slice));
        if (count < 0)
            return fail("read failed: " + m_connection->error());
        if (count > 0) {
            if (bytesDone)
                *bytesDone = static_cast<unsigned>(count);
            return 1;
        }
        waited += slice;
        if (waited >= timeoutMs)
            return fail("no report within " + std::to_string(timeoutMs) + " ms");
    }
}

void CHidDevice::close()
{
    m_connection.reset();
    if (m_openState == OpenState::Open)
        m_openState = OpenState::Closed;
}

} // namespace quarvo
