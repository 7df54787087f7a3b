// The operations through which the update job and the bootloader commands report to the user: the
// status line, the progress bar's range and position, a message box, and the step the update has
// reached. Front ends implement it (the window, the command line); the job and the commands only
// ever call it. Texts are UTF-8.
#pragma once

#include "update_step.h"

#include <cstdint>
#include <string>

namespace quarvo {

// A wait for the device that a command is about to begin, on the backend's clock: it fails at
// `untilUs` unless the device answers (a report taken, a status record read) before; it belongs to
// a longer wait (an erase followed to its end) that fails at `wholeUntilUs` whatever the device
// says meanwhile.
struct WaitInfo {
    std::int64_t untilUs = 0;
    std::int64_t wholeUntilUs = 0;
};

class OutputSurface {
public:
    virtual ~OutputSurface() = default;
    // The status line shows `text` instead of whatever it showed.
    virtual void setStatus(const std::string& text) = 0;
    // The bar's range becomes 0 to `maximum`; only the low 16 bits of `maximum` count.
    virtual void setProgressRange(std::uint32_t maximum) = 0;
    // The bar shows `position`; outside the range it shows as the nearer end.
    virtual void setProgressPos(std::uint32_t position) = 0;
    // A message box with `text` and one OK button; returns when the user has dismissed it.
    virtual void showMessage(const std::string& text) = 0;
    // The update enters `step`; the bar's range and position that follow are that step's.
    virtual void beginStep(const StepInfo& step) = 0;
    // The command begins a wait for the device; front ends that show how long it may last take
    // it, others leave it.
    virtual void beginWait(const WaitInfo& wait) { static_cast<void>(wait); }
};

} // namespace quarvo
