// The output surface of the command line: every status text on a line of its own (UTF-8) on the
// output stream, message-box texts on the error stream, and on a terminal a one-line progress bar
// redrawn at most every BAR_REDRAW_US. Once the job announces its steps the bar is the whole
// update's, with the step, the bytes done while data is written, the rate and the whole update's
// time left. The bar fits the
// terminal's width as it is at each redraw and is cleared before any line is printed. Without a
// terminal there is no bar, only the lines.
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

#include "hid/clock.h"
#include "frontend/journey.h"
#include "frontend/progress_model.h"
#include "protocol/output_surface.h"

#include <functional>
#include <ostream>
#include <string>

namespace quarvo {

inline constexpr std::int64_t BAR_REDRAW_US = 100000;
inline constexpr int BAR_WIDTH = 30;             // the bar's width where there is room
inline constexpr std::size_t BAR_MIN_WIDTH = 20; // narrower than this, fields are dropped

class TerminalSurface final : public OutputSurface {
public:
    // `columns` gives the terminal's width at each redraw (0 when unknown). Without `escapes`
    // (a console that does not understand "\033[K", a terminal that says it is dumb) nothing but
    // text, "\r" and "\n" is written: the bar is erased by overwriting it with spaces.
    TerminalSurface(std::ostream& out, std::ostream& err, bool drawBar, Clock& clock,
                    std::function<int()> columns = {}, bool escapes = true);

    void setStatus(const std::string& text) override;
    void setProgressRange(std::uint32_t maximum) override;
    void setProgressPos(std::uint32_t position) override;
    void showMessage(const std::string& text) override;
    void beginStep(const StepInfo& step) override;

    // Removes the bar, if one is drawn, so that what follows starts on a clean line.
    void finish();
    // A line for the user on the error stream, outside the job's texts, with the bar kept intact.
    void notice(const std::string& text);

private:
    void draw(bool force);
    void clearBar();
    int width() const;

    std::ostream& m_out;
    std::ostream& m_err;
    bool m_drawBar;
    Clock& m_clock;
    std::function<int()> m_columns;
    ProgressModel m_bar;
    Journey m_journey;
    bool m_stepped = false; // a step has been announced: the bar is the whole update's
    std::string m_status;
    std::int64_t m_rangeSetUs = 0;
    std::int64_t m_lastDrawUs = -BAR_REDRAW_US;
    bool m_barShown = false;
    bool m_escapes;
    std::size_t m_barLength = 0; // of the bar as drawn, for erasing it without escapes
    int m_barWidth = 0;          // the terminal's width when the bar was last drawn
};

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
// "[####------] 42%  AMOUNTS  PACE", the bar narrowed to BAR_MIN_WIDTH before the pace is
// dropped, then the amounts; the percentage alone below BAR_MIN_COLUMNS (" 42%", "42%" where
// that does not fit). Always shorter than `columns`, so that the terminal never wraps it, not even
// with a "^C" echoed after it where there is room for one; empty where not even the percentage
// fits, never a percentage cut short (a cut "42%" would read as 4). Plain ASCII: its length is
// its width in columns.
std::string formatBarLine(double fraction, const std::string& amounts, const std::string& pace,
                          int columns);

inline constexpr int BAR_MIN_COLUMNS = 30;

} // namespace quarvo
