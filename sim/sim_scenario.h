// The simulated bootloader's behaviours, selectable by name ("healthy", "write-fail:12", ...), for
// tests, the command line's --simulate and the end-to-end device.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quarvo {

enum class Fault {
    None,         // a healthy device
    Absent,       // no device attached
    OpenRefused,  // present, but opening it is refused (as with missing permissions)
    WriteFail,    // output report N fails
    ReadFail,     // read call N fails
    ShortWrite,   // output report N reports 33 bytes written and is not taken
    ZeroWrite,    // output report N reports 0 bytes written and is not taken
    EmptyRead,    // read N delivers a report with no payload
    Silent,       // never sends an input report
    Stall,        // from output report N on the device takes nothing and sends nothing
    Endless,      // erase status records never end
    InstantErase, // every status record of an erase is due the moment the command arrives
    Split32,      // each status record arrives as two 32-byte payloads
    Split40,      // each status record arrives as two 40-byte payloads (16 bytes of padding)
    Disconnect,   // the device vanishes after output report N
    SecondDevice, // a second matching device is attached behind the first
    Late,         // the device is attached N seconds after the start
};

struct SimScenario {
    Fault fault = Fault::None;
    unsigned at = 0; // N, 1-based, for the faults that take one

    std::string name() const;
};

struct ScenarioInfo {
    Fault fault;
    const char* name;
    bool takesCount;
    const char* description;
};

std::span<const ScenarioInfo> scenarioCatalogue();

// "name" or "name:N"; nullopt for an unknown name, a missing or zero N, or an N where none belongs.
std::optional<SimScenario> parseScenario(std::string_view text);

} // namespace quarvo
