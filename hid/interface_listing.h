// Which of two listings of HID interfaces answers: the preferred one (hidapi's own) unless it
// cannot list (it fails, or finds nothing where the fallback finds interfaces). The listings are
// passed in, so the decision is testable whatever lists; the answer names the listing that gave it.
#pragma once

#include "hid_backend.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quarvo {

// What one listing answered: the interfaces it found, or that it failed and why.
struct ListingAnswer {
    bool listed = false;
    std::vector<HidDeviceInfo> interfaces; // only when listed
    std::string failure;                   // only when not listed; may be empty
};

// A listing of the present interfaces with these ids (0: any), and its name for people to read.
struct InterfaceListing {
    std::string name;
    std::function<ListingAnswer(std::uint16_t vendorId, std::uint16_t productId)> list;
};

struct ChosenListing {
    std::vector<HidDeviceInfo> interfaces; // empty when neither found any, or both failed
    // The listing that answered, and why the preferred one did not when it was the fallback:
    // "hidapi", "SetupAPI (hidapi's listing found none)", "SetupAPI (hidapi's listing failed:
    // ...)"; both names when neither could list.
    std::string account;
};

// Asks `preferred`; asks `fallback` only when `preferred` failed or found nothing.
ChosenListing chooseListing(const InterfaceListing& preferred, const InterfaceListing& fallback,
                            std::uint16_t vendorId, std::uint16_t productId);

} // namespace quarvo
