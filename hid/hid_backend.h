// The transport under HidDevice: enumerate HID interfaces, open one by path, move whole reports.
// The real implementation wraps hidapi (hidapi_backend.h); tests, demos and the end-to-end device
// inject the simulated bootloader (sim/sim_backend.h). Every call reports failure by its result and
// keeps a readable reason; none throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quarvo {

class Clock;

struct HidDeviceInfo {
    std::string path; // opaque, passed back to HidBackend::open
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string product; // human-readable, may be empty
    std::string serial;  // may be empty
};

// One open device. Closing is destruction.
class HidConnection {
public:
    virtual ~HidConnection() = default;

    // Sends one report: byte 0 is the report id, the payload follows. Returns the byte count the
    // transport reports, normalised so that a complete report counts `length`; -1 on failure.
    // Bounded by the transport itself (see the implementation's notes).
    virtual int write(const std::uint8_t* data, std::size_t length) = 0;

    // Waits at most timeoutMs for one input report and stores it as report id 0 at data[0] and the
    // payload after it. Returns the byte count including the report id (65 for a full report),
    // 0 when nothing arrived in time, -1 on failure.
    virtual int read(std::uint8_t* data, std::size_t length, int timeoutMs) = 0;

    // The reason of the last failure, for messages.
    virtual std::string error() const = 0;
};

class HidBackend {
public:
    virtual ~HidBackend() = default;

    // The present HID interfaces with these ids (0: any vendor, any product), in the system's
    // enumeration order. An empty list on failure. Asking for the ids keeps the system from
    // querying every other HID device (keyboards, touchpads) for its strings.
    virtual std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId,
                                                 std::uint16_t productId) = 0;

    // Opens one interface for reading and writing. nullptr on failure with the reason in `error`.
    virtual std::unique_ptr<HidConnection> open(const std::string& path, std::string& error) = 0;

    // The clock that governs this backend's transfers; callers measure their deadlines with it.
    virtual Clock& clock() = 0;

    // Why the transport cannot work at all (its library failed to start); empty when it can.
    virtual std::string unavailableReason() const { return {}; }

    // Which of its listings answered the last enumerate, and why when it was not the first choice
    // (for the trace and --list); empty where the backend has a single listing.
    virtual std::string listingSource() const { return {}; }
};

} // namespace quarvo
