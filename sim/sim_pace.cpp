#include "sim_pace.h"

#include <cmath>
#include <cstdlib>
#include <string>

namespace quarvo {
namespace {

constexpr double MAX_PACE_MS = 60000;

std::optional<double> milliseconds(std::string_view text)
{
    const std::string part(text);
    char* end = nullptr;
    const double value = std::strtod(part.c_str(), &end);
    if (part.empty() || end != part.c_str() + part.size() || !(value >= 0 && value <= MAX_PACE_MS))
        return std::nullopt;
    return value;
}

} // namespace

std::optional<SimPace> parsePace(std::string_view text)
{
    const auto comma = text.find(',');
    if (comma == std::string_view::npos)
        return std::nullopt;
    const auto erase = milliseconds(text.substr(0, comma));
    const auto report = milliseconds(text.substr(comma + 1));
    if (!erase || !report)
        return std::nullopt;
    return SimPace{*erase, *report};
}

SimTiming withPace(SimTiming timing, const SimPace& pace)
{
    timing.sectorEraseUs = std::llround(pace.eraseMs * 1000);
    timing.reportUs = std::llround(pace.reportMs * 1000);
    return timing;
}

} // namespace quarvo
