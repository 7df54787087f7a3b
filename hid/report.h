// The unit of every transfer with the device: a 65-byte report, the report id at byte 0 and the
// 64-byte payload after it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quarvo {

inline constexpr std::size_t REPORT_SIZE = 65; // report id + 64 payload bytes
inline constexpr std::size_t PAYLOAD_SIZE = 64;

using Report = std::array<std::uint8_t, REPORT_SIZE>;

} // namespace quarvo
