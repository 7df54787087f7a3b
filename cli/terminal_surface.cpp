#include "terminal_surface.h"

#include "protocol/commands.h"
#include "protocol/texts.h"

#include <cstdio>

namespace quarvo {

std::string formatBytes(double bytes)
{
    static const char* const units[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

TerminalSurface::TerminalSurface(std::ostream& out, std::ostream& err, bool drawBar, Clock& clock)
    : m_out(out), m_err(err), m_drawBar(drawBar), m_clock(clock)
{
}

void TerminalSurface::setStatus(const std::string& text)
{
    clearBar();
    m_status = text;
    m_out << text << '\n' << std::flush;
    draw(true);
}

void TerminalSurface::setProgressRange(std::uint32_t maximum)
{
    m_bar.setRange(maximum);
    m_rangeSetUs = m_clock.nowUs();
    draw(true);
}

void TerminalSurface::setProgressPos(std::uint32_t position)
{
    const bool end = position == 0 || position >= m_bar.maximum();
    m_bar.setPos(position);
    draw(end);
}

void TerminalSurface::showMessage(const std::string& text)
{
    clearBar();
    m_out << std::flush;
    m_err << text << '\n' << std::flush;
    draw(true);
}

void TerminalSurface::finish() { clearBar(); }

void TerminalSurface::clearBar()
{
    if (m_barShown) {
        m_out << "\r\033[K" << std::flush;
        m_barShown = false;
    }
}

void TerminalSurface::draw(bool force)
{
    if (!m_drawBar)
        return;
    const std::int64_t now = m_clock.nowUs();
    if (!force && now - m_lastDrawUs < BAR_REDRAW_US)
        return;
    m_lastDrawUs = now;
    const std::uint32_t shown = m_bar.shown();
    if (shown == 0 || m_bar.maximum() == 0) {
        clearBar();
        return;
    }
    const double fraction = static_cast<double>(shown) / m_bar.maximum();
    const int filled = static_cast<int>(fraction * BAR_WIDTH);
    std::string line = "\r[";
    line.append(static_cast<std::size_t>(filled), '#');
    line.append(static_cast<std::size_t>(BAR_WIDTH - filled), '-');
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, "] %3d%%", static_cast<int>(fraction * 100));
    line += buffer;
    // While pages are programmed the bar counts pages, which the line shows as bytes.
    if (m_status == text::WRITING) {
        const double done = static_cast<double>(shown) * PAGE_SIZE;
        const double total = static_cast<double>(m_bar.maximum()) * PAGE_SIZE;
        line += "  " + formatBytes(done) + " / " + formatBytes(total);
        const double seconds = static_cast<double>(now - m_rangeSetUs) / 1e6;
        if (seconds > 0.2) {
            const double rate = done / seconds;
            const int left = static_cast<int>((total - done) / rate + 0.5);
            std::snprintf(buffer, sizeof buffer, "  %s/s  %d:%02d left", formatBytes(rate).c_str(),
                          left / 60, left % 60);
            line += buffer;
        }
    }
    m_out << line << "\033[K" << std::flush;
    m_barShown = true;
}

} // namespace quarvo
