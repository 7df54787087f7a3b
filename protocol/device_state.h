// What the device holds, as the commands learn it report by report: whether anything reached it,
// each region's state (the program, its image header, the database), whether the restart went
// out, and how the last command failed. The job keeps one in its command context; front ends tell
// the user what to do from it, never from the name of the step that failed.
#pragma once

#include <array>
#include <cstdint>

namespace quarvo {

enum class DeviceRegion : std::uint8_t { Program, Header, Database };
inline constexpr std::size_t DEVICE_REGION_COUNT = 3;

enum class RegionState : std::uint8_t {
    Untouched,     // nothing of this update reached it: it holds what it held before
    BeingErased,   // its erase was sent and has not been seen to end
    Erased,        // the erase ended; nothing is written yet
    PartlyWritten, // some of its data went out, not all
    Written,       // all of its data went out
};

// How the last command that failed did so.
enum class FailureKind : std::uint8_t {
    None,
    DeviceAbsent, // no bootloader was attached when a link was to be opened
    OpenRefused,  // the bootloader is attached but may not be opened (permissions, another program)
    LinkLost,     // a transfer failed: the device went away or the link broke
    DeviceRefused, // the device did not take a report whole
    DeviceSilent,  // the device did not answer in time, or its erase never ended
    Stopped,       // a request to stop ended the command before its next report
};

struct DeviceState {
    // Whether any report went out: before that the device is as it was.
    bool reached = false;
    std::array<RegionState, DEVICE_REGION_COUNT> regions{};
    bool restartSent = false;
    FailureKind failure = FailureKind::None;

    RegionState& operator[](DeviceRegion region)
    {
        return regions[static_cast<std::size_t>(region)];
    }
    RegionState operator[](DeviceRegion region) const
    {
        return regions[static_cast<std::size_t>(region)];
    }
    // The program and the header that describes it are both written: the device can start it.
    bool programWhole() const
    {
        return (*this)[DeviceRegion::Program] == RegionState::Written &&
               (*this)[DeviceRegion::Header] == RegionState::Written;
    }
    bool databaseWhole() const { return (*this)[DeviceRegion::Database] == RegionState::Written; }
};

} // namespace quarvo
