// How long an update still takes: the work that remains, known exactly from the steps the job
// announces (sectors to erase and follow, reports to send), at the pace of each kind of work as
// measured while it goes (time per erased sector, time per report). The plan's paces are the prior
// until then. Pure computation on the times it is given; UpdateRun keeps one per job.
//
// What is shown: at the start, while nothing has been measured, the plan's estimate, never rising
// and counting down between two reports of progress for at most one step of progress;
// then nothing until every kind of work that remains has been measured for PACE_ESTABLISHED_US
// (or, for the erase, over one region's whole erase, however short: a fast device erases the code
// in a fraction of a second, and its pace is then known as well as it will be before the
// database's erase); from then on the estimate at the measured paces. Between two reports of
// progress the estimate counts down for at most one step of progress, so that a device that falls
// silent does not count down to nothing.
#pragma once

#include "protocol/update_step.h"

#include <cstdint>
#include <optional>

namespace quarvo {

// A pace is taken as measured once its work has gone on for this long.
inline constexpr std::int64_t PACE_ESTABLISHED_US = 1000000;

class TimeLeft {
public:
    // A job starts: nothing measured.
    void begin(std::int64_t nowUs);
    void enterStep(const StepInfo& step, std::int64_t nowUs);
    // The step's bar as ProgressModel shows it: the erase's percentage, the pages sent.
    void progress(std::uint16_t maximum, std::uint32_t position, std::int64_t nowUs);
    // The time left as of `nowUs`; none while it is not known well enough to be shown.
    std::optional<std::int64_t> leftUs(std::int64_t nowUs);

private:
    // The work of one kind done so far and the time it took, over the steps before the current
    // one and the current one up to its last progress.
    struct Pace {
        double done = 0;
        std::int64_t elapsedUs = 0;
        bool wholeStepSeen = false; // a step of this kind was followed from its start to its end
        bool measured() const
        {
            return done > 0 && (elapsedUs >= PACE_ESTABLISHED_US || wholeStepSeen);
        }
        double usPerUnit(double prior) const
        {
            return done > 0 ? static_cast<double>(elapsedUs) / done : prior;
        }
    };
    // The current step's work done and the time it took so far, folded into the paces when the
    // next step begins.
    void foldStep();
    double stepDone() const;
    // The time one step of the current step's progress takes at these paces.
    double quantumUs(double sectorUs, double reportUs) const;
    bool erasing() const { return m_step && m_step->sectors > 0; }

    std::optional<StepInfo> m_step;
    std::int64_t m_stepStartUs = 0;
    std::int64_t m_lastProgressUs = 0;
    std::uint16_t m_maximum = 0;
    std::uint32_t m_position = 0;
    Pace m_erase;
    Pace m_reports;
    // The plan's estimate shown at the start, and when: it never rises.
    std::optional<std::int64_t> m_priorShownUs;
    std::int64_t m_priorShownAtUs = 0;
};

} // namespace quarvo
