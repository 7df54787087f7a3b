// quarvo-flash --json: the run as one JSON object per line on standard output, for scripts, in
// place of the human lines. Every object has "event" (its kind) and "t" (seconds since the run
// began, on the run's clock); the fields of each kind are documented in the README and stay:
//   step      number, of, name              the update enters a step
//   status    text                          the status line's new text
//   message   text, detail                  a message box's text and the technical account
//   progress  overall, step, bytesDone, bytesTotal, bytesPerSecond, timeLeftS
//                                           at most every JSON_PROGRESS_INTERVAL_US, when changed
//   wait      for, limitS                   a wait and how long it may still last at most:
//                                           for "guard", "device" (at the start), "answer" (the
//                                           device silent), "erase" (an erase getting no further)
//   notice    text                          a confirmation asked for, a warning
//   end       outcome, exitStatus, stoppedBy, detail, deviceState, sentence
#pragma once

#include "frontend/job_end.h"
#include "frontend/update_run.h"
#include "hid/clock.h"

#include <ostream>

namespace quarvo {

inline constexpr std::int64_t JSON_PROGRESS_INTERVAL_US = 200000;
// A wait is told again, counting down, at most this often.
inline constexpr std::int64_t JSON_WAIT_INTERVAL_US = 1000000;

class JsonView {
public:
    // `clock` paces the progress lines.
    JsonView(std::ostream& out, Clock& clock) : m_out(out), m_clock(clock) {}

    void event(const RunEvent& event, const RunSnapshot& now);
    void tick(const RunSnapshot& snapshot);
    void end(const JobEnd& end, int exitStatus, const RunSnapshot& last);

private:
    void write(Json line, std::int64_t atUs);

    std::ostream& m_out;
    Clock& m_clock;
    std::int64_t m_originUs = -1;
    std::int64_t m_lastProgressUs = -JSON_PROGRESS_INTERVAL_US;
    std::string m_lastProgress;
    std::int64_t m_lastWaitUs = -JSON_WAIT_INTERVAL_US;
};

} // namespace quarvo
