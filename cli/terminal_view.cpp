#include "terminal_view.h"

#include "frontend/journey.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace quarvo {

int columnsFromEnvironment()
{
    if (const char* columns = std::getenv("COLUMNS")) {
        const long value = std::strtol(columns, nullptr, 10);
        if (value > 0 && value < 10000)
            return static_cast<int>(value);
    }
    return 0;
}

bool termUnderstandsEscapes(const char* term)
{
    return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

bool escapesFromEnvironment() { return termUnderstandsEscapes(std::getenv("TERM")); }

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

std::string formatBarLine(double fraction, const std::string& step, const std::string& bytes,
                          const std::string& pace, int columns)
{
    const int width = columns > 0 ? columns : 80;
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%",
                  static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100));
    if (width < BAR_MIN_COLUMNS) {
        // The percentage alone, right-aligned while there is room, else without its padding; the
        // last column stays free either way.
        std::string alone = percent;
        const auto fits = [width](const std::string& text) {
            return text.size() < static_cast<std::size_t>(width);
        };
        if (!fits(alone))
            alone.erase(0, alone.find_first_not_of(' '));
        return fits(alone) ? alone : std::string();
    }
    // Room is left for the terminal's own "^C", echoed after the bar where the cursor is left at
    // its end (without escapes), so that not even an interrupt makes the line wrap.
    const auto usable = static_cast<std::size_t>(width - 3);
    // Built by appending: GCC 12 warns wrongly (-Wrestrict) about operator+ on a literal.
    const auto fields = [&](std::initializer_list<const std::string*> kept) {
        std::string text;
        for (const std::string* field : kept)
            if (!field->empty())
                text.append("  ").append(*field);
        return text;
    };
    // The bar narrows down to BAR_MIN_WIDTH before a field is dropped; without fields it takes
    // what is left beside "[", "] " and the percentage.
    const std::string choices[] = {fields({&step, &bytes, &pace}), fields({&step, &pace}),
                                   fields({&pace}), std::string()};
    for (const std::string& chosen : choices) {
        const std::string tail = std::string("] ").append(percent).append(chosen);
        const std::size_t room = usable > tail.size() + 1 ? usable - tail.size() - 1 : 0;
        const bool last = chosen.empty();
        if (room < BAR_MIN_WIDTH && !last)
            continue;
        const std::size_t barWidth = std::min<std::size_t>(room, BAR_WIDTH);
        const auto filled = static_cast<std::size_t>(std::clamp(fraction, 0.0, 1.0) *
                                                     static_cast<double>(barWidth));
        std::string line = "[";
        line.append(filled, '#');
        line.append(barWidth - filled, '-');
        return line + tail;
    }
    return percent;
}

std::string barStep(const RunSnapshot& snapshot)
{
    std::string step;
    if (snapshot.step)
        step.append(std::to_string(snapshot.step->number()))
            .append("/")
            .append(std::to_string(UPDATE_STEP_COUNT))
            .append(" ")
            .append(snapshot.step->label());
    return step;
}

std::string barBytes(const RunSnapshot& snapshot)
{
    std::string bytes;
    if (snapshot.bytesTotal > 0)
        bytes.append(formatBytes(static_cast<double>(snapshot.bytesDone)))
            .append(" / ")
            .append(formatBytes(static_cast<double>(snapshot.bytesTotal)));
    return bytes;
}

std::string shortDuration(std::int64_t us)
{
    const std::int64_t seconds = (std::max<std::int64_t>(us, 0) + 999999) / 1000000;
    if (seconds < 60)
        return std::to_string(seconds) + " s";
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
    return text;
}

std::string barPace(const RunSnapshot& snapshot)
{
    // A wait for the device says how long it may still last: no rate or time left stands still
    // on the screen meanwhile.
    if (const auto wait = noticedWait(snapshot))
        return (wait->kind == NoticedWait::Kind::Answer ? "waiting for the device, at most "
                                                        : "erase not advancing, at most ") +
               shortDuration(wait->leftUs) + " more";
    std::string pace;
    if (snapshot.bytesPerSecond > 0)
        pace.append(formatBytes(snapshot.bytesPerSecond)).append("/s");
    if (snapshot.timeLeftUs) {
        if (!pace.empty())
            pace.append("  ");
        pace.append(*snapshot.timeLeftUs < 1000000 ? "almost done"
                                                   : shortDuration(*snapshot.timeLeftUs) + " left");
    }
    return pace;
}

TerminalView::TerminalView(std::ostream& out, std::ostream& err, bool drawBar, Clock& clock,
                           std::function<int()> columns, bool escapes)
    : m_out(out), m_err(err), m_drawBar(drawBar), m_clock(clock), m_columns(std::move(columns)),
      m_escapes(escapes)
{
}

void TerminalView::status(const std::string& text, bool failing)
{
    m_shown.failing = m_shown.failing || failing;
    clearBar();
    m_out << text << '\n' << std::flush;
    redraw();
}

void TerminalView::notice(const std::string& text)
{
    clearBar();
    m_out << std::flush;
    m_err << text << '\n' << std::flush;
    redraw();
}

void TerminalView::finish() { clearBar(); }

void TerminalView::draw(const RunSnapshot& snapshot, bool force)
{
    if (!m_drawBar)
        return;
    const std::int64_t now = m_clock.nowUs();
    if (!force && now - m_lastDrawUs < BAR_REDRAW_US)
        return;
    m_lastDrawUs = now;
    // The whole update's progress never goes back on screen, whatever order things are seen in.
    const double overall = std::max(m_shown.overall, snapshot.overall);
    const bool failing = m_shown.failing || snapshot.failing;
    const bool older = m_shown.step && snapshot.step && snapshot.step->step < m_shown.step->step;
    if (!older)
        m_shown = snapshot;
    m_shown.overall = overall;
    m_shown.failing = failing;
    redraw();
}

void TerminalView::enterStep(const StepInfo& step)
{
    if (m_shown.step && m_shown.step->step >= step.step)
        return;
    m_shown.phase = RunPhase::Flashing;
    m_shown.step = step;
    m_shown.overall = std::max(m_shown.overall, step.start);
    m_shown.bytesDone = 0;
    m_shown.bytesTotal = 0;
    m_shown.bytesPerSecond = 0;
    if (!m_drawBar)
        return;
    m_lastDrawUs = m_clock.nowUs();
    redraw();
}

int TerminalView::width() const
{
    const int columns = m_columns ? m_columns() : 0;
    return columns > 0 ? columns : 80;
}

void TerminalView::clearBar()
{
    if (!m_barShown)
        return;
    const int now = width();
    if (m_escapes) {
        // The cursor waits at the start of the bar's row; a terminal narrowed since the bar was
        // drawn may have spread it over the rows below.
        m_out << (now == m_barWidth ? "\033[K" : "\033[J") << std::flush;
    } else {
        const std::size_t covered = std::min(m_barLength, static_cast<std::size_t>(now - 1));
        m_out << '\r' << std::string(covered, ' ') << '\r' << std::flush;
    }
    m_barShown = false;
}

void TerminalView::redraw()
{
    if (!m_drawBar)
        return;
    // Until the job's first step there is nothing to draw; once a command has failed the lines
    // that say so follow one another without a bar between them; after the end it is gone.
    if (!m_shown.step || m_shown.failing || m_shown.phase == RunPhase::Ended) {
        clearBar();
        return;
    }
    const int columns = width();
    const std::string line = formatBarLine(m_shown.overall, barStep(m_shown), barBytes(m_shown),
                                           barPace(m_shown), columns);
    if (line.empty()) { // not even the percentage fits
        clearBar();
        return;
    }
    if (m_escapes) {
        // Written over the old bar from the start of its row, then the rest of the row cleared,
        // or, when the width has changed, every row below as well; the cursor goes back to the
        // start of the row to wait for the next redraw.
        if (!m_barShown)
            m_out << '\r';
        const bool widthChanged = m_barShown && columns != m_barWidth;
        m_out << line << (widthChanged ? "\033[J" : "\033[K") << '\r' << std::flush;
    } else {
        // Spaces cover what is left of a longer bar drawn before, up to the last column but one.
        const std::size_t covered =
            m_barShown ? std::min(m_barLength, static_cast<std::size_t>(columns - 1)) : 0;
        const std::size_t rest = covered > line.size() ? covered - line.size() : 0;
        m_out << '\r' << line << std::string(rest, ' ') << std::flush;
        m_barLength = std::max(covered, line.size());
    }
    m_barWidth = columns;
    m_barShown = true;
}

} // namespace quarvo
