// The HID interfaces present on Windows, listed through SetupAPI and HID.dll: the device-interface
// enumeration that every Windows version and wine implement. hidapi's own enumeration goes through
// the configuration manager's interface lists (CM_Get_Device_Interface_ListW), which wine 10 leaves
// unimplemented, so there it finds no device at all; the interface paths are the same either way
// and open with hid_open_path. The hidapi backend on Windows falls back on it
// (interface_listing.h).
#pragma once

#include "interface_listing.h"

#include <cstdint>
#include <vector>

namespace quarvo {

// The present interfaces with these ids (0: any vendor, any product), paths in UTF-8; or the
// reason the system could not list them.
ListingAnswer listWindowsHidInterfaces(std::uint16_t vendorId, std::uint16_t productId);

} // namespace quarvo
