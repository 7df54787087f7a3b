// The output surface of the command line: every status text on a line of its own (UTF-8) on the
// output stream, message-box texts on the error stream, and on a terminal a one-line progress bar
// with bytes done, rate and time left, redrawn at most every BAR_REDRAW_US. Without a terminal
// there is no bar, only the lines.
#pragma once

#include "hid/clock.h"
#include "protocol/output_surface.h"

#include <ostream>
#include <string>

namespace quarvo {

inline constexpr std::int64_t BAR_REDRAW_US = 100000;
inline constexpr int BAR_WIDTH = 30;

class TerminalSurface final : public OutputSurface {
public:
    TerminalSurface(std::ostream& out, std::ostream& err, bool drawBar, Clock& clock);

    void setStatus(const std::string& text) override;
    void setProgressRange(std::uint32_t maximum) override;
    void setProgressPos(std::uint32_t position) override;
    void showMessage(const std::string& text) override;

    // Removes the bar, if one is drawn, so that what follows starts on a clean line.
    void finish();
    const std::string& lastStatus() const { return m_status; }

private:
    void draw(bool force);
    void clearBar();

    std::ostream& m_out;
    std::ostream& m_err;
    bool m_drawBar;
    Clock& m_clock;
    ProgressModel m_bar;
    std::string m_status;
    std::int64_t m_rangeSetUs = 0;
    std::int64_t m_lastDrawUs = -BAR_REDRAW_US;
    bool m_barShown = false;
};

// "1.5 MiB", "800 B": for bars and summaries.
std::string formatBytes(double bytes);

} // namespace quarvo
