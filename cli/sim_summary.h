// What the simulated bootloader holds after a --simulate run, for the user to check: the commands
// it took (erases, writes with the CRC-32 of what landed in flash, the restart), the image
// header, writes to flash that was not erased, and any protocol violations. For a replayed
// recording: how much of it the run played, and where it differed.
#pragma once

#include "sim/replay_backend.h"
#include "sim/sim_device.h"

#include <ostream>

namespace quarvo {

void printSimSummary(std::ostream& out, const SimDevice& device);
void printReplaySummary(std::ostream& out, const ReplayBackend& replay);

} // namespace quarvo
