// What a progress bar shows after the output surface's range and position calls: the range's
// upper bound taken as 16 bits, a position beyond it shown as the nearer end. Each front end keeps
// its bar in one of these.
#pragma once

#include <algorithm>
#include <cstdint>

namespace quarvo {

class ProgressModel {
public:
    void setRange(std::uint32_t maximum) { m_maximum = static_cast<std::uint16_t>(maximum); }
    void setPos(std::uint32_t position) { m_position = position; }
    std::uint16_t maximum() const { return m_maximum; }
    std::uint32_t shown() const { return std::min<std::uint32_t>(m_position, m_maximum); }

private:
    std::uint16_t m_maximum = 100;
    std::uint32_t m_position = 0;
};

} // namespace quarvo
