// What the command line shows of an update run: every status text on a line of its own (UTF-8)
// on the output stream, message-box texts and notices on the error stream, and on a terminal a
// one-line progress bar drawn from the run's snapshot at most every BAR_REDRAW_US: the whole
// update's progress, the step, the bytes done while data is written, the rate and the time left,
// as the run measured them. The bar fits the terminal's width as it is at each redraw and is
// cleared before any line is printed. Without a terminal there is no bar, only the lines.
//
// With escapes, the cursor waits at the start of the bar's row between redraws. A terminal that
// rewraps its rows when it is narrowed (tmux, VTE and most others) turns a bar that no longer fits
// into several rows and keeps the cursor at the start of the first; one that cuts its rows (xterm,
// the Linux console) leaves it on the bar's one row. Either way, after the width has changed,
// clearing from the cursor to the end of the screen takes every row of the old bar that is still
// on the screen and nothing above it. (Rows a terminal pushes into its scrollback as it rewraps,
// when the screen above the bar is too short for the rows the bar gains, are out of any
// program's reach.)
#pragma once

#include "frontend/update_run.h"
#include "hid/clock.h"

#include <functional>
#include <ostream>
#include <string>

namespace quarvo {

inline constexpr std::int64_t BAR_REDRAW_US = 100000;
inline constexpr int BAR_WIDTH = 30;             // the bar's width where there is room
inline constexpr std::size_t BAR_MIN_WIDTH = 20; // narrower than this, fields are dropped

class TerminalView {
public:
    // `columns` gives the terminal's width at each redraw (0 when unknown). Without `escapes`
    // (a console that does not understand "\033[K", a terminal that says it is dumb) nothing but
    // text, "\r" and "\n" is written: the bar is erased by overwriting it with spaces. `clock`
    // paces the redraws.
    TerminalView(std::ostream& out, std::ostream& err, bool drawBar, Clock& clock,
                 std::function<int()> columns = {}, bool escapes = true);

    // A status text, on a line of its own on the output stream; `failing`: a command has failed,
    // and no bar comes between the lines that say so.
    void status(const std::string& text, bool failing = false);
    // A line for the user on the error stream (a box's text, a notice), with the bar kept intact.
    void notice(const std::string& text);
    // Redraws the bar from `snapshot`, at most every BAR_REDRAW_US unless `force`.
    void draw(const RunSnapshot& snapshot, bool force);
    // The update has entered `step`: the bar says so at once, even when the run has gone further
    // by the time its next snapshot is drawn (never back to an earlier step).
    void enterStep(const StepInfo& step);
    // Removes the bar, if one is drawn, so that what follows starts on a clean line.
    void finish();

private:
    void redraw();
    void clearBar();
    int width() const;

    std::ostream& m_out;
    std::ostream& m_err;
    bool m_drawBar;
    Clock& m_clock;
    std::function<int()> m_columns;
    RunSnapshot m_shown; // what the bar was last drawn from
    std::int64_t m_lastDrawUs = -BAR_REDRAW_US;
    bool m_barShown = false;
    bool m_escapes;
    std::size_t m_barLength = 0; // of the bar as drawn, for erasing it without escapes
    int m_barWidth = 0;          // the terminal's width when the bar was last drawn
};

// The bar's fields from a snapshot: the step ("2/6 code write"), the bytes while data is written
// ("1.2 MiB / 3.0 MiB"), and the pace (rate and time left, or how long a wait may still last).
std::string barStep(const RunSnapshot& snapshot);
std::string barBytes(const RunSnapshot& snapshot);
std::string barPace(const RunSnapshot& snapshot);
// "45 s", "2:15": a duration rounded up to whole seconds.
std::string shortDuration(std::int64_t us);

// The width $COLUMNS gives, for a terminal that cannot be asked; 0 when it gives none.
int columnsFromEnvironment();

// Whether a terminal that calls itself `term` ($TERM) takes escape sequences: not when it gives
// no name or says it is "dumb" (an editor's shell buffer, a teletype).
bool termUnderstandsEscapes(const char* term);
// The same for this process's $TERM.
bool escapesFromEnvironment();

// "1.5 MiB", "800 B": for bars and summaries.
std::string formatBytes(double bytes);

// The bar's line for a terminal of `columns` (0: unknown, taken as 80): as much as fits of
// "[####------] 42%  STEP  BYTES  PACE", the bar narrowed to BAR_MIN_WIDTH before a field is
// dropped: the bytes first, then the step, the pace last (a wait's limit and the time left matter
// most); the percentage alone below BAR_MIN_COLUMNS (" 42%", "42%" where
// that does not fit). Always shorter than `columns`, so that the terminal never wraps it, not even
// with a "^C" echoed after it where there is room for one; empty where not even the percentage
// fits, never a percentage cut short (a cut "42%" would read as 4). Plain ASCII: its length is
// its width in columns.
std::string formatBarLine(double fraction, const std::string& step, const std::string& bytes,
                          const std::string& pace, int columns);

inline constexpr int BAR_MIN_COLUMNS = 30;

} // namespace quarvo
