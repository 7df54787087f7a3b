// HidDevice finds a device among the machine's HID interfaces by vendor and product id, opens it
// and moves one report at a time, each transfer bounded as a whole. Operations return 1 for success
// and 0 for failure and keep the reason in lastError(). Every bootloader command builds one on its
// stack (protocol/commands.h); the window's start-up check uses one too.
#pragma once

#include "hid_backend.h"
#include "report.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quarvo {

// With a stop check set, a read waits on the transport in slices of at most this long and asks
// the check between them, so that a stop ends even a long wait promptly.
inline constexpr int STOP_CHECK_SLICE_MS = 100;

class HidDevice {
public:
    enum class OpenState { Closed, Open, NotFound, Refused };
    // What the last failed operation ran into.
    enum class Failure {
        None,
        NotOpen,     // no device was open
        NotFound,    // open: no interface with the ids
        Refused,     // open: every match refused
        WriteFailed, // the transport failed the write
        ShortWrite,  // the transport took less than the whole report
        ReadFailed,  // the transport failed the read
        TimedOut,    // nothing arrived within the read's time
        Stopped,     // a stop request ended the read
    };

    explicit HidDevice(HidBackend& backend);
    ~HidDevice();
    HidDevice(const HidDevice&) = delete;
    HidDevice& operator=(const HidDevice&) = delete;

    // 1 when the first interface with these ids (in enumeration order) that can be opened is open;
    // 0 when none matches (NotFound) or every match refused the open (Refused, reason kept).
    int open(std::uint16_t vendorId, std::uint16_t productId);

    // Sends `length` bytes. 1 only when the transport took all of them; the count it reported goes
    // to bytesDone (optional). The transport bounds the write (see the backend's notes).
    int writeReport(const std::uint8_t* buffer, std::size_t length, unsigned* bytesDone);

    // Waits at most timeoutMs, measured on the backend's clock, for one input report. 1 with the
    // byte count (report id included) in bytesDone; 0 on failure or time-out.
    int readReport(std::uint8_t* buffer, std::size_t length, unsigned* bytesDone,
                   unsigned timeoutMs);

    // Closes the device; harmless when repeated.
    void close();

    // Asked whenever a read's transport comes back empty before the read's time is up (at least
    // every STOP_CHECK_SLICE_MS): true ends the read as a failure instead of waiting on.
    void setStopCheck(std::function<bool()> stopRequested)
    {
        m_stopRequested = std::move(stopRequested);
    }

    OpenState openState() const { return m_openState; }
    // The interface the last successful open found (its path and strings).
    const HidDeviceInfo& openedInfo() const { return m_openedInfo; }
    const std::string& lastError() const { return m_lastError; }
    Failure lastFailure() const { return m_lastFailure; }

private:
    int fail(Failure failure, std::string reason);

    HidBackend& m_backend;
    std::unique_ptr<HidConnection> m_connection;
    std::function<bool()> m_stopRequested;
    OpenState m_openState = OpenState::Closed;
    HidDeviceInfo m_openedInfo;
    std::string m_lastError;
    Failure m_lastFailure = Failure::None;
};

} // namespace quarvo
