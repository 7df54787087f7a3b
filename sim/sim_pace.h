// The simulated device's pace: how long it takes to erase a sector and to take one report, so that
// demos and tests can play devices far faster and slower than the plan ("20,1": the plan's own).
#pragma once

#include "sim_device.h"

#include <optional>
#include <string_view>

namespace quarvo {

struct SimPace {
    double eraseMs = 0;  // per erased sector
    double reportMs = 0; // per report
};

// "ERASE,REPORT" in milliseconds, each from 0 to a minute; nullopt for anything else.
std::optional<SimPace> parsePace(std::string_view text);

// `timing` with the pace's erase and report times.
SimTiming withPace(SimTiming timing, const SimPace& pace);

} // namespace quarvo
