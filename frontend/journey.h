// The whole update as one journey, for the windows' journey line, the taskbar button and the
// terminal's bar: which step runs, how much of the whole update is done (from the steps' shares
// and the bar within the step), how long it may still take, how long a wait for the device may
// still last, and at the end what happened and what to do next, chosen from what the device
// holds. Pure computation on the facts it is given.
#pragma once

#include "job_end.h"
#include "run_snapshot.h"

#include "job/flash_job.h"
#include "protocol/update_step.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quarvo {

// After this long without a word from the device (it sends nothing and takes nothing), the line
// says that it waits for the device and how long it still will at most; after this long without
// getting further while the device talks (erase records that go round), it says so too.
inline constexpr std::int64_t DEVICE_SILENCE_NOTICE_US = 3000000;

// A wait worth telling the user about, as every front end tells it: the device has said nothing
// for DEVICE_SILENCE_NOTICE_US within a wait for its answer, or an erase has got no further for
// that long; and how long the job will still wait at most.
struct NoticedWait {
    enum class Kind { Answer, Erase } kind;
    std::int64_t leftUs;
};
std::optional<NoticedWait> noticedWait(const RunSnapshot& snapshot);

enum class JourneyTone {
    Idle,    // no job has run: nothing to show
    Running, // a job runs
    Waiting, // a job runs and the device has been silent, or has not got further, for a while
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

// The whole update's progress, which never goes back: the step's share and the bar within it.
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

private:
    std::optional<StepInfo> m_step;
    double m_overall = 0;
    std::int64_t m_movedUs = 0;
};

// The line while a job runs: the step (or the reading of the files before the first), then the
// whole update's progress and the time left, or how long a wait for the device may still last.
JourneyLine runningLine(const RunSnapshot& snapshot);

// The line once a job has ended: what happened and what to do next, from what the device holds
// and how the job's last command failed.
JourneyLine endLine(const JobEnd& end);

// The line at idle: whether the update files are there (`missing`: the names of those that are
// not), and what the device must be for an update.
JourneyLine idleLine(const std::vector<std::string>& missing);

// "第 2 步，共 6 步：寫入程式碼"
std::string stepTitle(UpdateStep step);
// The step's short name: "寫入程式碼".
const char* stepName(UpdateStep step);
// "35 秒", "2 分 15 秒": a duration as the journey line says it, rounded up to whole seconds.
std::string durationText(std::int64_t us);

} // namespace quarvo
