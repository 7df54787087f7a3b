// What an update run knows at one moment, as UpdateRun publishes it for every front end to
// render: each fact is computed once, in the run, from what the job told it.
#pragma once

#include "job_end.h"

#include "protocol/update_step.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quarvo {

enum class RunPhase {
    Idle,             // no job has started
    Loading,          // the update files are read
    WaitingForDevice, // the bootloader is waited for (--wait)
    Flashing,         // the device is being written
    Ended,            // the job has ended; the snapshot's end says how
};

struct RunSnapshot {
    RunPhase phase = RunPhase::Idle;
    std::int64_t nowUs = 0; // on the backend's clock
    std::string status;     // the last status text
    std::optional<StepInfo> step;
    double overall = 0; // the whole update, 0 to 1; never decreases while a job runs
    // The bar as the job set it, for the step's own piece of work.
    std::uint16_t barMaximum = 0;
    std::uint32_t barPosition = 0;
    // While a region's data is written: bytes sent of the region's, and the rate.
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;
    double bytesPerSecond = 0; // 0: not measured yet
    // The time left at the paces measured (TimeLeft); none while it is not known well enough.
    std::optional<std::int64_t> timeLeftUs;
    // Since the job last heard from the device or sent it anything, and since the whole update
    // last got further (erase records may come without getting further).
    std::int64_t quietUs = 0;
    std::int64_t stalledUs = 0;
    // The wait the job is in (0: none): when it fails unless the device answers, and when the
    // longer wait it belongs to (an erase followed to its end) fails whatever the device says.
    std::int64_t waitUntilUs = 0;
    std::int64_t wholeWaitUntilUs = 0;
    // A command has failed: the job is on its way to its end.
    bool failing = false;
    bool systemHeld = false;   // the system is held back from sleeping and shutting down
    std::optional<JobEnd> end; // once the job has ended
};

} // namespace quarvo
