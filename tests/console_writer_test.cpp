// The Windows console's text path, on a recording sink: whole lines of UTF-16, never a character
// cut in two; and the bar without escape sequences for a console that has no VT processing.
#include "cli/console_writer.h"
#include "cli/terminal_view.h"

#include "hid/text_encoding.h"
#include "sim/virtual_clock.h"

#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace quarvo {
namespace {

class ConsoleWriterTest : public ::testing::Test {
protected:
    std::vector<std::u16string> written;
    ConsoleLineBuffer buffer{[this](std::u16string_view text) {
        written.emplace_back(text);
        return true;
    }};
    std::ostream stream{&buffer};
};

TEST_F(ConsoleWriterTest, HandsOverWholeLinesAsUtf16)
{
    stream << "正在"
           << "清除" << '.' << "..\n";
    stream << "更新成功!" << '\n';
    EXPECT_EQ(written, (std::vector<std::u16string>{u"正在清除...\n", u"更新成功!\n"}));
}

TEST_F(ConsoleWriterTest, AFlushHandsOverWhatIsThereButNeverHalfACharacter)
{
    const std::string text = "設備";           // two characters of three bytes each
    stream << text.substr(0, 4) << std::flush; // the second character cut after its first byte
    ASSERT_EQ(written, std::vector<std::u16string>{u"設"});
    stream << text.substr(4) << std::flush;
    EXPECT_EQ(written, (std::vector<std::u16string>{u"設", u"備"}));
}

TEST_F(ConsoleWriterTest, AConsoleThatRefusesTheTextFailsTheStream)
{
    ConsoleLineBuffer refusing([](std::u16string_view) { return false; });
    std::ostream failing(&refusing);
    failing << "line\n";
    EXPECT_TRUE(failing.bad());
}

TEST(TextEncoding, RoundTripsAndReplacesWhatIsBroken)
{
    EXPECT_EQ(utf16FromUtf8("a更😀"), u"a更😀");
    EXPECT_EQ(utf8FromUtf16(u"a更😀"), "a更😀");
    // A byte that leads nothing, and each byte of a cut sequence, stand for one U+FFFD each; an
    // overlong form for one in all.
    EXPECT_EQ(utf16FromUtf8("\xff"
                            "a\xe6\x9b"),
              u"\uFFFDa\uFFFD\uFFFD");
    EXPECT_EQ(utf16FromUtf8("\xc0\xaf"), u"\uFFFD");
    EXPECT_EQ(utf8FromUtf16(std::u16string(1, char16_t{0xD800})), "\xef\xbf\xbd");
    EXPECT_EQ(utf8FromWide(L"更新檔"), "更新檔");
    EXPECT_EQ(utf8FromPath(pathFromUtf8("更新檔/code_data.bin")), "更新檔/code_data.bin");
}

// A console without virtual-terminal processing gets the bar as plain text, erased with spaces.
TEST(BarWithoutEscapes, IsDrawnAndClearedWithoutAnEscapeSequence)
{
    std::ostringstream out;
    std::ostringstream err;
    VirtualClock clock;
    TerminalView view(
        out, err, true, clock, [] { return 80; }, false);
    view.status("正在寫入資料庫...");
    for (std::uint32_t page = 1; page <= 10; ++page) {
        clock.sleepUntilUs(clock.nowUs() + BAR_REDRAW_US);
        RunSnapshot snapshot;
        snapshot.phase = RunPhase::Flashing;
        snapshot.step = StepInfo{UpdateStep::CodeWrite, 0, 1};
        snapshot.overall = page / 10.0;
        view.draw(snapshot, false);
    }
    view.status("資料庫寫入成功!");
    view.finish();
    const std::string text = out.str();
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_NE(text.find("\r["), std::string::npos);
    EXPECT_NE(text.find("資料庫寫入成功!\n"), std::string::npos);
}

} // namespace
} // namespace quarvo
