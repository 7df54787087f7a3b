#include "journey.h"
#include "window_texts.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace quarvo {
namespace {

static_assert(std::size(windowtext::STEP_NAMES) == UPDATE_STEP_COUNT);

template <typename... Args> std::string format(const char* pattern, Args... args)
{
    char text[256];
    std::snprintf(text, sizeof text, pattern, args...);
    return text;
}

// The sentence for a job that ended before it succeeded, from what the device holds.
const char* failureSentence(const JobEnd& end)
{
    const DeviceState& device = end.device;
    if (!device.reached) {
        // Nothing went out: the device is as it was, whatever ended the job.
        if (end.stoppedBy != 0)
            return windowtext::END_STOPPED_UNCHANGED;
        if (!end.internalError.empty())
            return windowtext::END_INTERNAL_UNCHANGED;
        if (end.outcome != JobOutcome::DeviceFailed)
            return windowtext::END_FILES_REFUSED;
        switch (device.failure) {
        case FailureKind::OpenRefused:
            return windowtext::END_OPEN_REFUSED;
        case FailureKind::DeviceAbsent:
        case FailureKind::None:
        case FailureKind::Stopped:
            return windowtext::END_NOT_REACHED;
        case FailureKind::LinkLost:
        case FailureKind::DeviceRefused:
        case FailureKind::DeviceSilent:
            break;
        }
        return windowtext::END_NOTHING_TAKEN;
    }
    if (!device.programWhole())
        return device.failure == FailureKind::LinkLost ? windowtext::END_NO_PROGRAM_LINK_LOST
                                                       : windowtext::END_NO_PROGRAM;
    if (!device.databaseWhole())
        return windowtext::END_DATABASE_INCOMPLETE;
    return windowtext::END_NOT_RESTARTED;
}

} // namespace

const char* stepName(UpdateStep step)
{
    return windowtext::STEP_NAMES[static_cast<std::size_t>(step)];
}

std::string stepTitle(UpdateStep step)
{
    return format(windowtext::STEP_FORMAT, static_cast<int>(step) + 1, UPDATE_STEP_COUNT,
                  stepName(step));
}

std::string durationText(std::int64_t us)
{
    const auto seconds = static_cast<int>(
        std::min<std::int64_t>((std::max<std::int64_t>(us, 0) + 999999) / 1000000, 359999));
    if (seconds < 60)
        return format(windowtext::SECONDS_FORMAT, seconds);
    return format(windowtext::MINUTES_FORMAT, seconds / 60, seconds % 60);
}

void Journey::begin(std::int64_t nowUs)
{
    *this = Journey();
    m_movedUs = nowUs;
}

void Journey::enterStep(const StepInfo& step, std::int64_t nowUs)
{
    m_step = step;
    m_overall = std::max(m_overall, std::clamp(step.start, 0.0, 1.0));
    m_movedUs = std::max(m_movedUs, nowUs);
}

void Journey::progress(std::uint16_t maximum, std::uint32_t position, std::int64_t nowUs)
{
    if (!m_step || maximum == 0)
        return;
    // The bar returns to 0 at the end of each piece of work; what was done stays done.
    const double within = std::min(1.0, static_cast<double>(position) / maximum);
    const double share = std::max(0.0, m_step->end - m_step->start);
    const double now = std::clamp(m_step->start + share * within, 0.0, 1.0);
    if (now > m_overall) {
        m_overall = now;
        m_movedUs = std::max(m_movedUs, nowUs);
    }
}

std::optional<UpdateStep> Journey::step() const
{
    if (!m_step)
        return std::nullopt;
    return m_step->step;
}

std::optional<NoticedWait> noticedWait(const RunSnapshot& snapshot)
{
    if (snapshot.quietUs > DEVICE_SILENCE_NOTICE_US && snapshot.waitUntilUs > 0)
        return NoticedWait{NoticedWait::Kind::Answer, snapshot.waitUntilUs - snapshot.nowUs};
    if (snapshot.stalledUs > DEVICE_SILENCE_NOTICE_US && snapshot.wholeWaitUntilUs > 0)
        return NoticedWait{NoticedWait::Kind::Erase, snapshot.wholeWaitUntilUs - snapshot.nowUs};
    return std::nullopt;
}

JourneyLine runningLine(const RunSnapshot& snapshot)
{
    JourneyLine line;
    line.tone = JourneyTone::Running;
    line.overall = snapshot.overall;
    if (!snapshot.step) {
        line.text = windowtext::READING_FILES;
        return line;
    }
    line.step = snapshot.step->step;
    line.text = stepTitle(snapshot.step->step);
    // A wait for the device says how long it may still last, never how long it has lasted.
    if (const auto wait = noticedWait(snapshot)) {
        line.tone = JourneyTone::Waiting;
        line.text += format(wait->kind == NoticedWait::Kind::Answer ? windowtext::WAITING_FORMAT
                                                                    : windowtext::STALLED_FORMAT,
                            durationText(wait->leftUs).c_str());
        return line;
    }
    line.text += format(windowtext::OVERALL_FORMAT, static_cast<int>(snapshot.overall * 100));
    if (snapshot.timeLeftUs) {
        if (*snapshot.timeLeftUs < 1000000)
            line.text += windowtext::ALMOST_DONE;
        else
            line.text +=
                format(windowtext::TIME_LEFT_FORMAT, durationText(*snapshot.timeLeftUs).c_str());
    }
    return line;
}

JourneyLine endLine(const JobEnd& end)
{
    JourneyLine line;
    line.step = end.step;
    line.tone = JourneyTone::Failure;
    switch (end.outcome) {
    case JobOutcome::Success:
        line.tone = JourneyTone::Success;
        line.overall = 1;
        line.text = windowtext::END_SUCCESS;
        return line;
    case JobOutcome::MissingFile:
    case JobOutcome::InputRefused:
    case JobOutcome::OutOfMemory:
    case JobOutcome::DeviceFailed:
        break;
    }
    line.text = failureSentence(end);
    if (end.stoppedBy != 0 && end.device.reached)
        line.text.insert(0, windowtext::END_STOPPED_PREFIX);
    return line;
}

JourneyLine idleLine(const std::vector<std::string>& missing)
{
    JourneyLine line;
    if (missing.empty())
        line.text = windowtext::IDLE_READY;
    else if (missing.size() == 1)
        line.text = format(windowtext::IDLE_MISSING_FORMAT, missing.front().c_str());
    else
        line.text = windowtext::IDLE_BOTH_MISSING;
    return line;
}

} // namespace quarvo
