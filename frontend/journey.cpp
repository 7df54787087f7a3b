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

void Journey::begin(std::int64_t nowUs)
{
    *this = Journey();
    m_beganUs = nowUs;
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

JourneyLine Journey::line(std::int64_t nowUs) const
{
    return runningLine(m_step, m_overall, nowUs - m_movedUs, secondsLeft(nowUs));
}

JourneyLine runningLine(const std::optional<StepInfo>& step, double overall, std::int64_t silentUs,
                        std::optional<int> secondsLeft)
{
    JourneyLine line;
    line.tone = JourneyTone::Running;
    line.overall = overall;
    if (!step) {
        line.text = windowtext::READING_FILES;
        return line;
    }
    line.step = step->step;
    line.text = stepTitle(step->step);
    if (silentUs > DEVICE_SILENCE_NOTICE_US) {
        line.tone = JourneyTone::Waiting;
        line.text += format(windowtext::WAITING_FORMAT, static_cast<int>(silentUs / 1000000));
        return line;
    }
    line.text += format(" · %d%%", static_cast<int>(overall * 100));
    if (secondsLeft)
        line.text += format(windowtext::TIME_LEFT_FORMAT, *secondsLeft / 60, *secondsLeft % 60);
    return line;
}

std::optional<int> Journey::secondsLeft(std::int64_t nowUs) const
{
    const std::int64_t ranUs = nowUs - m_beganUs;
    if (ranUs < TIME_LEFT_AFTER_US || m_overall < TIME_LEFT_AFTER_SHARE || m_overall >= 1)
        return std::nullopt;
    // At the pace so far; the shares are weighed by the time each step is expected to take.
    const double left = static_cast<double>(ranUs) / 1e6 * (1 - m_overall) / m_overall;
    return static_cast<int>(std::min(left, 359999.0) + 0.5);
}

JourneyLine endLine(const JobEnd& end)
{
    JourneyLine line;
    line.step = end.step;
    switch (end.outcome) {
    case JobOutcome::Success:
        line.tone = JourneyTone::Success;
        line.overall = 1;
        line.text = windowtext::END_SUCCESS;
        return line;
    case JobOutcome::MissingFile:
    case JobOutcome::InputRefused:
    case JobOutcome::OutOfMemory:
        line.tone = JourneyTone::Failure;
        line.text = windowtext::END_FILES_REFUSED;
        return line;
    case JobOutcome::DeviceFailed:
        break;
    }
    line.tone = JourneyTone::Failure;
    if (!end.reportSent) {
        // Nothing reached the device: it is as it was, and the cable is the likely cause.
        line.text = windowtext::END_NOT_REACHED;
        return line;
    }
    const UpdateStep step = end.step.value_or(UpdateStep::CodeErase);
    line.text =
        format(windowtext::END_STEP_FAILED_FORMAT, static_cast<int>(step) + 1, stepName(step));
    return line;
}

} // namespace quarvo
