// Where the udev rule that lets the logged-in user open the bootloader is: as installed (by the
// package or `cmake --install`), or in the source tree when running from a build tree.
#pragma once

#include <string>

namespace quarvo {

// The rule in the source tree, relative to its top.
inline constexpr const char* SOURCE_UDEV_RULE = "packaging/linux/70-quarvo-bootloader.rules";

// The installed rule, next to this executable's prefix or in the system's rule directories;
// empty when it is not installed (a build tree) or on systems without udev.
std::string installedUdevRule();

} // namespace quarvo
