#include "time_left.h"

#include "job/flash_job.h"

#include <algorithm>

namespace quarvo {
namespace {

// Erase progress comes as a percentage: one step of it is a hundredth of the erase.
constexpr double ERASE_STEPS = 100;
// Data goes four reports to a page, and the bar counts pages.
constexpr double REPORTS_PER_PAGE = 4;

} // namespace

void TimeLeft::begin(std::int64_t nowUs)
{
    *this = TimeLeft();
    m_stepStartUs = nowUs;
    m_lastProgressUs = nowUs;
}

void TimeLeft::enterStep(const StepInfo& step, std::int64_t nowUs)
{
    foldStep();
    m_step = step;
    m_stepStartUs = nowUs;
    m_lastProgressUs = nowUs;
    m_maximum = 0;
    m_position = 0;
}

void TimeLeft::progress(std::uint16_t maximum, std::uint32_t position, std::int64_t nowUs)
{
    if (!m_step || maximum == 0)
        return;
    // The bar returns to 0 at the end of each piece of work: what was done stays done.
    const double before = stepDone();
    const std::uint32_t shown = std::min<std::uint32_t>(position, maximum);
    if (m_maximum == 0 ||
        static_cast<double>(shown) / maximum > static_cast<double>(m_position) / m_maximum) {
        m_maximum = maximum;
        m_position = shown;
    }
    if (stepDone() > before)
        m_lastProgressUs = nowUs;
}

double TimeLeft::quantumUs(double sectorUs, double reportUs) const
{
    return erasing() ? m_step->sectors / ERASE_STEPS * sectorUs : REPORTS_PER_PAGE * reportUs;
}

double TimeLeft::stepDone() const
{
    if (!m_step || m_maximum == 0)
        return 0;
    const double fraction = static_cast<double>(m_position) / m_maximum;
    return fraction * (erasing() ? m_step->sectors : m_step->reports);
}

void TimeLeft::foldStep()
{
    if (!m_step)
        return;
    Pace& pace = erasing() ? m_erase : m_reports;
    pace.done += stepDone();
    pace.elapsedUs += m_lastProgressUs - m_stepStartUs;
    // The job enters the next step only once this one has ended well.
    pace.wholeStepSeen = pace.wholeStepSeen || (erasing() && stepDone() >= m_step->sectors);
}

std::optional<std::int64_t> TimeLeft::leftUs(std::int64_t nowUs)
{
    if (!m_step)
        return std::nullopt;
    // The paces with the current step's part so far.
    Pace erase = m_erase;
    Pace reports = m_reports;
    Pace& current = erasing() ? erase : reports;
    current.done += stepDone();
    current.elapsedUs += m_lastProgressUs - m_stepStartUs;
    const double sectorsLeft =
        (erasing() ? m_step->sectors - stepDone() : 0.0) + m_step->laterSectors;
    const double reportsLeft =
        (erasing() ? 0.0 : m_step->reports - stepDone()) + m_step->laterReports;

    if (erase.done == 0 && reports.done == 0) {
        // Nothing measured yet: the plan alone, never rising, and counting down only as far as
        // one step of progress beyond the last, so that a silent device is not shown as nearly
        // done.
        auto estimate = static_cast<std::int64_t>(sectorsLeft * PLAN_SECTOR_ERASE_US +
                                                  reportsLeft * PLAN_REPORT_US);
        const std::int64_t countedUntilUs = std::min(
            nowUs, m_lastProgressUs +
                       static_cast<std::int64_t>(quantumUs(PLAN_SECTOR_ERASE_US, PLAN_REPORT_US)));
        if (m_priorShownUs)
            estimate = std::min(estimate,
                                *m_priorShownUs -
                                    std::max<std::int64_t>(countedUntilUs - m_priorShownAtUs, 0));
        estimate = std::max<std::int64_t>(estimate, 0);
        m_priorShownUs = estimate;
        m_priorShownAtUs = std::max(m_priorShownAtUs, countedUntilUs);
        return estimate;
    }
    // A kind of work that remains and has not been measured long enough: no estimate yet.
    if ((sectorsLeft > 0 && !erase.measured()) || (reportsLeft > 0 && !reports.measured()))
        return std::nullopt;
    const double sectorUs = erase.usPerUnit(PLAN_SECTOR_ERASE_US);
    const double reportUs = reports.usPerUnit(PLAN_REPORT_US);
    double estimate = sectorsLeft * sectorUs + reportsLeft * reportUs;
    // Progress is reported in steps; between two of them the work goes on, up to one step.
    estimate -=
        std::min(static_cast<double>(nowUs - m_lastProgressUs), quantumUs(sectorUs, reportUs));
    return std::max<std::int64_t>(static_cast<std::int64_t>(estimate), 0);
}

} // namespace quarvo
