// The simulated bootloader's behaviours, selectable by name ("healthy", "write-fail:12", ...), for
// tests, the command line's --simulate and the end-to-end device; and "replay:TRACE", a --trace
// recording played back as the device, which only front ends that build a ReplayBackend accept.
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
    Replay,       // no model: a --trace recording answers (sim/replay_backend.h)
};

struct SimScenario {
    Fault fault = Fault::None;
    unsigned at = 0;            // N, 1-based, for the faults that take one
    std::string recording = {}; // the trace file a Replay plays, as given (UTF-8)

    std::string name() const;
};

struct ScenarioInfo {
    Fault fault;
    const char* name;
    bool takesCount; // "name:N"
    bool takesPath;  // "name:PATH"
    const char* description;
};

// Which scenarios a front end can run: the device model's alone (a window's demo, the end-to-end
// device, the fuzzer), or those and a recording's replay (the command line, the tests).
enum class ScenarioSet { DeviceModel, WithReplay };

std::span<const ScenarioInfo> scenarioCatalogue(ScenarioSet set = ScenarioSet::DeviceModel);

// "name", "name:N" or "name:PATH" from the set; nullopt for an unknown name, a missing or zero N,
// an empty PATH, or a value where none belongs.
std::optional<SimScenario> parseScenario(std::string_view text,
                                         ScenarioSet set = ScenarioSet::DeviceModel);

} // namespace quarvo
