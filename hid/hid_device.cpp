#include "hid_device.h"

#include <algorithm>

#include "clock.h"

#include <cstdio>

namespace quarvo {

HidDevice::HidDevice(HidBackend& backend) : m_backend(backend) {}

HidDevice::~HidDevice() { close(); }

int HidDevice::fail(Failure failure, std::string reason)
{
    m_lastFailure = failure;
    m_lastError = std::move(reason);
    return 0;
}

int HidDevice::open(std::uint16_t vendorId, std::uint16_t productId)
{
    close();
    std::string refusal;
    bool matched = false;
    for (const HidDeviceInfo& info : m_backend.enumerate(vendorId, productId)) {
        if (info.vendorId != vendorId || info.productId != productId)
            continue;
        matched = true;
        std::string error;
        m_connection = m_backend.open(info.path, error);
        if (m_connection) {
            m_openState = OpenState::Open;
            m_openedInfo = info;
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
        return fail(Failure::Refused, "device found but cannot be opened (" + refusal + ")");
    if (std::string reason = m_backend.unavailableReason(); !reason.empty())
        return fail(Failure::NotFound, std::move(reason));
    char ids[64];
    std::snprintf(ids, sizeof ids, "vendor id 0x%04x and product id 0x%04x", vendorId, productId);
    return fail(Failure::NotFound, std::string("no HID device with ") + ids);
}

int HidDevice::writeReport(const std::uint8_t* buffer, std::size_t length, unsigned* bytesDone)
{
    if (bytesDone)
        *bytesDone = 0;
    if (!m_connection)
        return fail(Failure::NotOpen, "device is not open");
    const int count = m_connection->write(buffer, length);
    if (count < 0)
        return fail(Failure::WriteFailed, "write failed: " + m_connection->error());
    if (bytesDone)
        *bytesDone = static_cast<unsigned>(count);
    if (static_cast<std::size_t>(count) < length)
        return fail(Failure::ShortWrite, "short write: " + std::to_string(count) + " of " +
                                             std::to_string(length) + " bytes");
    return 1;
}

int HidDevice::readReport(std::uint8_t* buffer, std::size_t length, unsigned* bytesDone,
                          unsigned timeoutMs)
{
    if (bytesDone)
        *bytesDone = 0;
    if (!m_connection)
        return fail(Failure::NotOpen, "device is not open");
    // One transport call normally covers the whole wait. A transport may come back empty before
    // its time is up (a signal, a spurious wake-up), so the bound is a deadline on the clock and
    // each further call gets only what is left of it.
    Clock& clock = m_backend.clock();
    const std::int64_t deadlineUs = clock.nowUs() + std::int64_t{timeoutMs} * 1000;
    for (;;) {
        const std::int64_t leftUs = deadlineUs - clock.nowUs();
        if (leftUs <= 0)
            return fail(Failure::TimedOut, "no report within " + std::to_string(timeoutMs) + " ms");
        // Whole milliseconds, rounded up, so that a wait is never cut short of its deadline.
        int leftMs = static_cast<int>((leftUs + 999) / 1000);
        if (m_stopRequested)
            leftMs = std::min(leftMs, STOP_CHECK_SLICE_MS);
        const int count = m_connection->read(buffer, length, leftMs);
        if (count < 0)
            return fail(Failure::ReadFailed, "read failed: " + m_connection->error());
        if (count > 0) {
            if (bytesDone)
                *bytesDone = static_cast<unsigned>(count);
            return 1;
        }
        if (m_stopRequested && clock.nowUs() < deadlineUs && m_stopRequested())
            return fail(Failure::Stopped, "stopped on request");
    }
}

void HidDevice::close()
{
    m_connection.reset();
    if (m_openState == OpenState::Open)
        m_openState = OpenState::Closed;
}

} // namespace quarvo
