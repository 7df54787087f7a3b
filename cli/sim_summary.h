// What the simulated bootloader holds after a --simulate run, for the user to check: the commands
// it took (erases, writes with the CRC-32 of what landed in flash, the restart), the image
// header, writes to flash that was not erased, and any protocol violations.
#pragma once

#include "sim/sim_device.h"

#include <ostream>

namespace quarvo {

void printSimSummary(std::ostream& out, const SimDevice& device);

} // namespace quarvo
