// The whole update as one journey, for the windows' journey line and the taskbar button: which
// step runs, how much of the whole update is done (from the steps' shares and the bar within the
// step), how long it may still take, whether the device has gone quiet, and at the end what
// happened and what to do next. Pure computation on the times it is given.
#pragma once

#include "job_end.h"

#include "job/flash_job.h"
#include "protocol/update_step.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quarvo {

// After this long without progress (the device sends nothing and takes nothing, or its erase
// reports go round without getting further), the line says that it waits for the device, and
// counts.
inline constexpr std::int64_t DEVICE_SILENCE_NOTICE_US = 3000000;
// The time left is shown once the update has run this long and done this share of the whole:
// before that the pace says little.
inline constexpr std::int64_t TIME_LEFT_AFTER_US = 3000000;
inline constexpr double TIME_LEFT_AFTER_SHARE = 0.02;

enum class JourneyTone {
    Idle,    // no job has run: nothing to show
    Running, // a job runs
    Waiting, // a job runs and the device has been silent for a while
    Success, // the last job succeeded
    Failure, // the last job failed
};

struct JourneyLine {
    std::string text;
    JourneyTone tone = JourneyTone::Idle;
    // The whole update's progress, 0 to 1; it never decreases while a job runs.
    double overall = 0;
    // The step running, or the one the job ended in.
    std::optional<UpdateStep> step;
};

class Journey {
public:
    // A job starts: nothing done, no step, last progress now.
    void begin(std::int64_t nowUs);
    void enterStep(const StepInfo& step, std::int64_t nowUs);
    // The bar as ProgressModel shows it, within the current step, as of `nowUs`.
    void progress(std::uint16_t maximum, std::uint32_t position, std::int64_t nowUs);
    // The update went through to its end: all of it is done.
    void complete() { m_overall = 1; }

    double overall() const { return m_overall; }
    std::optional<UpdateStep> step() const;
    const std::optional<StepInfo>& stepInfo() const { return m_step; }
    // When a step last began or the whole update last got further.
    std::int64_t movedUs() const { return m_movedUs; }
    // The whole update's time left at the pace so far, in seconds; none before the update has run
    // TIME_LEFT_AFTER_US and done TIME_LEFT_AFTER_SHARE.
    std::optional<int> secondsLeft(std::int64_t nowUs) const;
    // The line while the job runs.
    JourneyLine line(std::int64_t nowUs) const;

private:
    std::optional<StepInfo> m_step;
    double m_overall = 0;
    std::int64_t m_beganUs = 0;
    std::int64_t m_movedUs = 0; // when a step began or the whole update last got further
};

// The line while a job runs: the step (or the reading of the files before the first), then the
// whole update's progress and the time left, or how long the device has been silent.
JourneyLine runningLine(const std::optional<StepInfo>& step, double overall, std::int64_t silentUs,
                        std::optional<int> secondsLeft);

// The line once a job has ended: what happened and what to do next.
JourneyLine endLine(const JobEnd& end);

// "第 2 步，共 6 步：寫入程式碼"
std::string stepTitle(UpdateStep step);
// The step's short name: "寫入程式碼".
const char* stepName(UpdateStep step);

} // namespace quarvo
