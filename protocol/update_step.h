// The steps of an update, in the order the job takes them, and where each lies in the whole
// update. The job announces each step through the output surface before its first report, so
// that front ends can show one progress for the whole update, say which step is running, and
// which one failed.
#pragma once

#include <cstdint>

namespace quarvo {

enum class UpdateStep : std::uint8_t {
    CodeErase,     // the code region is erased and the erase followed to its end
    CodeWrite,     // the code is programmed
    ImageHeader,   // the image header page is erased and programmed
    DatabaseErase, // the database region is erased and the erase followed to its end
    DatabaseWrite, // the database is programmed
    Restart,       // the device is told to restart
};
inline constexpr int UPDATE_STEP_COUNT = 6;

// The steps' names for technical output (the command line, traces).
inline constexpr const char* STEP_LABELS[UPDATE_STEP_COUNT] = {
    "code erase", "code write", "image header", "database erase", "database write", "restart",
};

struct StepInfo {
    UpdateStep step = UpdateStep::CodeErase;
    // The share of the whole update done when the step begins and when it ends, 0 to 1; the
    // step's own progress (the bar's range and position) moves between the two.
    double start = 0;
    double end = 0;
    // The step's work, known exactly: the sectors it erases and follows to their end, the reports
    // it sends; and the work of the steps after it. The time left is this work at the paces
    // measured.
    std::uint32_t sectors = 0;
    std::uint32_t reports = 0;
    std::uint32_t laterSectors = 0;
    std::uint32_t laterReports = 0;

    // 1 for the first step.
    int number() const { return static_cast<int>(step) + 1; }
    const char* label() const { return STEP_LABELS[static_cast<int>(step)]; }
};

} // namespace quarvo
