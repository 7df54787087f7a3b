// The progress bar on a terminal: what is left on the screen after the terminal is narrowed
// between two redraws, the percentage at every width, and the output for a terminal that takes no
// escape sequences.
#include "cli/terminal_view.h"

#include "protocol/texts.h"
#include "sim/virtual_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarvo {
namespace {

// How a terminal deals with its rows when its width changes: rewrapped into the new width, as
// tmux, VTE and most others do, or cut, as xterm does.
enum class Resize { Rewraps, Cuts };

// A terminal's screen, enough of one to replay what the view writes: text (a character of three
// or more UTF-8 bytes, CJK here, takes two cells), "\r", "\n" (with the "\r" the line discipline
// adds), ESC[K, ESC[J and ESC[nA. The screen has no bottom; rows are added as needed.
class Screen {
public:
    Screen(int width, Resize resize) : m_width(width), m_resize(resize) {}

    void write(std::string_view bytes)
    {
        for (std::size_t at = 0; at < bytes.size();) {
            const auto byte = static_cast<unsigned char>(bytes[at]);
            if (byte == 0x1b) {
                at = escape(bytes, at);
            } else if (byte == '\r') {
                m_x = 0;
                ++at;
            } else if (byte == '\n') {
                m_x = 0;
                nextRow();
                ++at;
            } else {
                const std::size_t length = byte < 0x80 ? 1 : byte < 0xe0 ? 2 : byte < 0xf0 ? 3 : 4;
                put(std::string(bytes.substr(at, length)), length >= 3 ? 2 : 1);
                at += length;
            }
        }
    }

    void resize(int width)
    {
        if (m_resize == Resize::Cuts) {
            for (Row& row : m_rows) {
                if (row.cells.size() > static_cast<std::size_t>(width))
                    row.cells.resize(static_cast<std::size_t>(width));
                row.wrapped = false;
            }
            m_width = width;
            m_x = std::min(m_x, width - 1);
            return;
        }
        // Rows joined into the lines they were written as, the cursor kept as a place in its line
        // (at the line's end when it was beyond it), then the lines wrapped at the new width.
        std::vector<std::vector<std::string>> lines;
        std::size_t cursorLine = 0;
        std::size_t cursorCell = 0;
        for (std::size_t y = 0; y < m_rows.size(); ++y) {
            if (y == 0 || !m_rows[y - 1].wrapped)
                lines.emplace_back();
            if (y == m_y) {
                cursorLine = lines.size() - 1;
                cursorCell = lines.back().size() + static_cast<std::size_t>(m_x);
            }
            lines.back().insert(lines.back().end(), m_rows[y].cells.begin(), m_rows[y].cells.end());
        }
        m_width = width;
        m_rows.clear();
        for (std::size_t line = 0; line < lines.size(); ++line) {
            m_rows.emplace_back();
            const std::vector<std::string>& cells = lines[line];
            for (std::size_t cell = 0; cell < cells.size(); ++cell) {
                if (cells[cell].empty())
                    continue; // the second half of a wide character, placed with it
                const bool wide = cell + 1 < cells.size() && cells[cell + 1].empty();
                if (m_rows.back().cells.size() + (wide ? 2 : 1) > static_cast<std::size_t>(width)) {
                    m_rows.back().wrapped = true;
                    m_rows.emplace_back();
                }
                if (line == cursorLine && cell == cursorCell) {
                    m_y = m_rows.size() - 1;
                    m_x = static_cast<int>(m_rows.back().cells.size());
                }
                m_rows.back().cells.push_back(cells[cell]);
                if (wide)
                    m_rows.back().cells.emplace_back();
            }
            if (line == cursorLine && cursorCell >= cells.size()) {
                m_y = m_rows.size() - 1;
                m_x = static_cast<int>(m_rows.back().cells.size());
            }
        }
    }

    // The rows as text, without trailing blanks or the empty rows at the end.
    std::vector<std::string> rows() const { return joined(false); }
    // The same with the rows the terminal wrapped joined again: the lines as they were written.
    std::vector<std::string> lines() const { return joined(true); }

private:
    struct Row {
        std::vector<std::string> cells; // a wide character's second cell is empty
        bool wrapped = false;           // the row goes on in the next one
    };

    std::size_t escape(std::string_view bytes, std::size_t at)
    {
        std::size_t end = at + 1;
        if (end >= bytes.size() || bytes[end] != '[') {
            ADD_FAILURE() << "an escape that is not a control sequence";
            return bytes.size();
        }
        int count = 0;
        while (++end < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[end])))
            count = count * 10 + (bytes[end] - '0');
        const char final = end < bytes.size() ? bytes[end] : '\0';
        Row& row = m_rows[m_y];
        // Erasing starts at the cursor, or at the last column while a wrap is pending.
        const auto from = static_cast<std::size_t>(std::min(m_x, m_width - 1));
        switch (final) {
        case 'K':
            if (row.cells.size() > from)
                row.cells.resize(from);
            break;
        case 'J':
            if (row.cells.size() > from)
                row.cells.resize(from);
            row.wrapped = false;
            m_rows.resize(m_y + 1);
            break;
        case 'A':
            m_y -= std::min(m_y, static_cast<std::size_t>(std::max(count, 1)));
            m_x = std::min(m_x, m_width - 1);
            break;
        default:
            ADD_FAILURE() << "a control sequence the bar has no use for: " << final;
        }
        return end + 1;
    }

    void put(std::string glyph, int cells)
    {
        if (m_x + cells > m_width) {
            m_rows[m_y].wrapped = true;
            m_x = 0;
            nextRow();
        }
        std::vector<std::string>& row = m_rows[m_y].cells;
        const auto end = static_cast<std::size_t>(m_x + cells);
        if (row.size() < end)
            row.resize(end, " ");
        row[static_cast<std::size_t>(m_x)] = std::move(glyph);
        if (cells == 2)
            row[end - 1].clear();
        m_x += cells;
    }

    void nextRow()
    {
        if (++m_y == m_rows.size())
            m_rows.emplace_back();
    }

    std::vector<std::string> joined(bool wrappedRows) const
    {
        std::vector<std::string> texts;
        bool goesOn = false;
        for (const Row& row : m_rows) {
            if (!goesOn)
                texts.emplace_back();
            for (const std::string& cell : row.cells)
                texts.back() += cell;
            goesOn = wrappedRows && row.wrapped;
        }
        for (std::string& text : texts)
            text.erase(text.find_last_not_of(' ') + 1);
        while (!texts.empty() && texts.back().empty())
            texts.pop_back();
        return texts;
    }

    std::vector<Row> m_rows = std::vector<Row>(1);
    std::size_t m_y = 0;
    int m_x = 0; // m_width: the last column is written and the wrap is pending
    int m_width;
    Resize m_resize;
};

// A view that writes to a terminal of `width` columns, its output and error streams both shown
// on the screen as they are written.
struct Session {
    Session(int columns, Resize resize, bool escapes)
        : width(columns), screen(columns, resize),
          view(
              written, written, true, clock, [this] { return width; }, escapes)
    {
    }

    void resize(int columns)
    {
        width = columns;
        screen.resize(columns);
    }
    // The run at `page` of 100 pages of code, all of the update, with its pace once measured.
    RunSnapshot at(std::uint32_t page)
    {
        RunSnapshot snapshot;
        snapshot.phase = RunPhase::Flashing;
        snapshot.step = StepInfo{UpdateStep::CodeWrite, 0, 1};
        snapshot.overall = page / 100.0;
        snapshot.barMaximum = 100;
        snapshot.barPosition = page;
        snapshot.bytesDone = page * 256u;
        snapshot.bytesTotal = 100 * 256u;
        if (++draws > 1) {
            snapshot.bytesPerSecond = 15000;
            snapshot.timeLeftUs = 45 * 1000000;
        }
        return snapshot;
    }
    // The bar at `page` of 100, a redraw's interval after the last one.
    void advance(std::uint32_t page)
    {
        clock.sleepUntilUs(clock.nowUs() + BAR_REDRAW_US);
        view.draw(at(page), false);
        show();
    }
    // What was written since the last call, to the screen; returned for a look at the bytes.
    std::string show()
    {
        const std::string all = written.str();
        std::string fresh = all.substr(shownBytes);
        shownBytes = all.size();
        screen.write(fresh);
        return fresh;
    }

    int width;
    Screen screen;
    std::ostringstream written;
    std::size_t shownBytes = 0;
    VirtualClock clock;
    TerminalView view;
    int draws = 0;
};

// ---- a terminal narrowed or widened between redraws ----

struct ResizeCase {
    const char* name;
    Resize resize;
    std::vector<int> redrawWidths; // the bar is drawn at the first, then after each change
    int statusWidth;               // the width for the status line that ends the phase
};

void PrintTo(const ResizeCase& tested, std::ostream* out) { *out << tested.name; }

class BarAfterResize : public ::testing::TestWithParam<ResizeCase> {};

TEST_P(BarAfterResize, LeavesNoPieceOfTheOldBarAndKeepsTheLinesAboveIt)
{
    const ResizeCase& param = GetParam();
    Session session(param.redrawWidths.front(), param.resize, true);
    session.view.status(text::ERASING);
    session.view.status(text::WRITING);
    std::uint32_t page = 0;
    for (std::size_t step = 0; step < param.redrawWidths.size(); ++step) {
        if (step > 0)
            session.resize(param.redrawWidths[step]);
        // A few redraws at the first width, so that the bar has its rate and time left.
        for (int redraw = 0; redraw < (step == 0 ? 4 : 1); ++redraw)
            session.advance(page += 11);

        const int width = param.redrawWidths[step];
        SCOPED_TRACE("redrawn at " + std::to_string(width) + " columns");
        const std::vector<std::string> lines = session.screen.lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[0], text::ERASING);
        EXPECT_EQ(lines[1], text::WRITING);
        const std::string percent = std::to_string(page) + "%";
        if (width < BAR_MIN_COLUMNS) {
            const std::string alone = formatBarLine(page / 100.0, "", "", "", width);
            EXPECT_EQ(lines.size(), alone.empty() ? 2u : 3u);
            if (!alone.empty()) {
                EXPECT_EQ(lines.back(), alone);
            }
        } else {
            ASSERT_EQ(lines.size(), 3u);
            EXPECT_EQ(lines.back().front(), '[');
            EXPECT_NE(lines.back().find(percent), std::string::npos) << lines.back();
        }
        // The bar on one row of its own: nothing of an earlier one wrapped before it.
        if (lines.size() == 3) {
            EXPECT_EQ(session.screen.rows().back(), lines.back());
        }
    }

    session.resize(param.statusWidth);
    session.view.status(text::REGION_WRITE_OK);
    session.view.finish();
    session.show();
    EXPECT_EQ(session.screen.lines(),
              (std::vector<std::string>{text::ERASING, text::WRITING, text::REGION_WRITE_OK}));
}

INSTANTIATE_TEST_SUITE_P(
    Widths, BarAfterResize,
    ::testing::Values(ResizeCase{"RewrappedFrom80To40To25", Resize::Rewraps, {80, 40, 25}, 25},
                      ResizeCase{"CutFrom80To40To25", Resize::Cuts, {80, 40, 25}, 25},
                      ResizeCase{"RewrappedFrom80To25", Resize::Rewraps, {80, 25}, 25},
                      ResizeCase{"RewrappedThenAStatusLine", Resize::Rewraps, {80}, 30},
                      ResizeCase{"CutThenAStatusLine", Resize::Cuts, {80}, 30},
                      ResizeCase{"Widened", Resize::Rewraps, {40, 80}, 100},
                      ResizeCase{"RewrappedTo4", Resize::Rewraps, {80, 4}, 3},
                      ResizeCase{"RewrappedTo3", Resize::Rewraps, {80, 3}, 3}),
    [](const auto& tested) { return std::string(tested.param.name); });

// ---- the percentage at every width ----

struct NarrowCase {
    double fraction;
    int columns;
    const char* expected;
};
void PrintTo(const NarrowCase& tested, std::ostream* out)
{
    *out << tested.fraction << " at " << tested.columns << " columns";
}

class NarrowBars : public ::testing::TestWithParam<NarrowCase> {};

TEST_P(NarrowBars, ShowTheWholePercentageWhereverItFitsAndNothingElse)
{
    const std::string line =
        formatBarLine(GetParam().fraction, "2/6 code write", "1.2 MiB / 3.0 MiB",
                      "15.0 KiB/s  0:45 left", GetParam().columns);
    EXPECT_EQ(line, GetParam().expected);
    EXPECT_LT(line.size(), static_cast<std::size_t>(GetParam().columns)); // last column free
}

INSTANTIATE_TEST_SUITE_P(
    Widths, NarrowBars,
    ::testing::Values(
        NarrowCase{0.42, 1, ""}, NarrowCase{0.42, 2, ""}, NarrowCase{0.42, 3, ""},
        NarrowCase{0.42, 4, "42%"}, NarrowCase{0.42, 5, " 42%"}, NarrowCase{0.42, 6, " 42%"},
        NarrowCase{0.42, 7, " 42%"}, NarrowCase{0.42, 8, " 42%"}, NarrowCase{0.42, 9, " 42%"},
        NarrowCase{0.42, 10, " 42%"}, NarrowCase{0.42, 11, " 42%"}, NarrowCase{0.42, 12, " 42%"},
        NarrowCase{0.42, 29, " 42%"}, NarrowCase{0.42, 30, "[########------------]  42%"},
        NarrowCase{0.09, 2, ""}, NarrowCase{0.09, 3, "9%"}, NarrowCase{0.09, 4, "9%"},
        NarrowCase{0.09, 5, "  9%"}, NarrowCase{1.0, 4, ""}, NarrowCase{1.0, 5, "100%"},
        NarrowCase{1.0, 12, "100%"}, NarrowCase{0.0, 3, "0%"}, NarrowCase{0.0, 5, "  0%"}));

// ---- terminals without escape sequences ----

struct TermCase {
    const char* term; // nullptr: TERM is not set
    bool escapes;
};
void PrintTo(const TermCase& tested, std::ostream* out)
{
    *out << (tested.term ? tested.term : "(unset)");
}

class TermNames : public ::testing::TestWithParam<TermCase> {};

TEST_P(TermNames, DecideWhetherTheBarMayUseEscapeSequences)
{
    EXPECT_EQ(termUnderstandsEscapes(GetParam().term), GetParam().escapes);
}

INSTANTIATE_TEST_SUITE_P(Terms, TermNames,
                         ::testing::Values(TermCase{nullptr, false}, TermCase{"", false},
                                           TermCase{"dumb", false}, TermCase{"xterm", true},
                                           TermCase{"xterm-256color", true},
                                           TermCase{"tmux-256color", true},
                                           TermCase{"screen", true}, TermCase{"linux", true},
                                           TermCase{"vt100", true}));

class BarWithoutEscapesAtWidths : public ::testing::TestWithParam<std::vector<int>> {};

// Every redraw, erasure and line, through a resize and at widths too narrow for the percentage:
// no ESC byte, and nothing written over the last column, which would wrap.
TEST_P(BarWithoutEscapesAtWidths, WritesNoEscapeAndNeverWraps)
{
    const std::vector<int>& widths = GetParam();
    Session session(widths.front(), Resize::Cuts, false);
    std::string output = session.show();
    const auto checkBars = [&](const std::string& fresh) {
        output += fresh;
        std::size_t start = 0;
        for (std::size_t at = 0; at <= fresh.size(); ++at) {
            if (at < fresh.size() && fresh[at] != '\r' && fresh[at] != '\n')
                continue;
            // Segments that end a line are the texts, shown whole; the others are bars and the
            // spaces that erase them.
            if (at == fresh.size() || fresh[at] == '\r') {
                EXPECT_LT(at - start, static_cast<std::size_t>(session.width))
                    << "a bar as wide as the terminal: " << fresh.substr(start, at - start);
            }
            start = at + 1;
        }
    };
    session.view.status(text::WRITING);
    std::uint32_t page = 0;
    for (const int width : widths) {
        session.resize(width);
        for (int redraw = 0; redraw < 4; ++redraw) {
            session.clock.sleepUntilUs(session.clock.nowUs() + BAR_REDRAW_US);
            session.view.draw(session.at(page += 5), false);
            checkBars(session.show());
        }
    }
    session.view.notice("quarvo-flash: a notice");
    checkBars(session.show());
    session.view.notice(text::MISSING_DATABASE);
    checkBars(session.show());
    session.view.status(text::REGION_WRITE_OK);
    session.view.finish();
    checkBars(session.show());

    EXPECT_EQ(output.find('\x1b'), std::string::npos);
    for (const char* line :
         {text::WRITING, "quarvo-flash: a notice", text::MISSING_DATABASE, text::REGION_WRITE_OK})
        EXPECT_NE(output.find(std::string(line) + "\n"), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(Widths, BarWithoutEscapesAtWidths,
                         ::testing::Values(std::vector<int>{80}, std::vector<int>{80, 25},
                                           std::vector<int>{80, 40, 25, 4}, std::vector<int>{3},
                                           std::vector<int>{1}));

} // namespace
} // namespace quarvo
