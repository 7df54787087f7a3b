// HidBackend on hidapi: the only place in the project that talks to hidapi, and the place where its
// platform differences are smoothed out. A successful write of a full report counts the full report
// length on every platform; a read yields report id 0 at byte 0 and the payload after it, with a
// count that includes the report id (hidapi returns the payload alone for unnumbered reports).
//
// Bounds: reads are bounded by the caller's time-out (hid_read_timeout). hidapi's writes are
// synchronous and bounded by the platform: on Linux the kernel fails a hidraw write to a USB device
// that does not take it within its USB time-out (5 s); on Windows hidapi waits at most 1 s for the
// overlapped write. Construct one backend per process (hidapi keeps global state).
//
// Listing: hidapi's own. On Windows, where it cannot list, the SetupAPI listing of
// windows_hid_list.h answers instead (interface_listing.h decides); listingSource says which did.
#pragma once

#include "clock.h"
#include "hid_backend.h"

#include <mutex>

namespace quarvo {

class HidapiBackend final : public HidBackend {
public:
    HidapiBackend();
    ~HidapiBackend() override;
    HidapiBackend(const HidapiBackend&) = delete;
    HidapiBackend& operator=(const HidapiBackend&) = delete;

    std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId, std::uint16_t productId) override;
    std::unique_ptr<HidConnection> open(const std::string& path, std::string& error) override;
    Clock& clock() override { return m_clock; }
    std::string unavailableReason() const override;
    std::string listingSource() const override;

    // Version of the hidapi library in use, for messages and --version.
    static std::string libraryVersion();

private:
    bool m_initialised = false;
    SteadyClock m_clock;
    mutable std::mutex m_listingMutex;
    std::string m_listingSource; // empty where hidapi's listing is the only one
};

} // namespace quarvo
