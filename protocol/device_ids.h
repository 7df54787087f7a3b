// The bootloader's identity on USB: every command opens the first HID interface with these ids.
#pragma once

#include <cstdint>

namespace quarvo {

inline constexpr std::uint16_t VENDOR_ID = 0x0416;
inline constexpr std::uint16_t PRODUCT_ID = 0xB500;

} // namespace quarvo
