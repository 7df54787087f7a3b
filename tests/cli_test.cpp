#include "job_fixture.h"

#include "cli/cli_app.h"
#include "protocol/texts.h"

#include <regex>
#include <sstream>

namespace quarvo {
namespace {

// Runs quarvo-flash in-process. The "real device" is a simulated backend the test controls.
class CliTest : public JobFixture, public ::testing::Test {
protected:
    std::ostringstream out;
    std::ostringstream err;
    bool terminal = false;

    int run(std::vector<std::string> args)
    {
        CliEnvironment env{out, err, terminal,
                           [this] {
                               auto real = std::make_unique<SimBackend>(clock);
                               if (realScenario)
                                   attachBootloader(*real, *realScenario);
                               return real;
                           },
                           "test transport"};
        return runCli(args, env);
    }

    void writeSamples()
    {
        writeFile(CODE_FILE, pattern(3000, 1));
        writeFile(DATABASE_FILE, pattern(1000, 2));
    }

    std::optional<SimScenario> realScenario;
};

TEST_F(CliTest, SimulatedUpdateSucceedsAndDescribesTheDevice)
{
    writeSamples();
    EXPECT_EQ(run({"-C", dir.string(), "--simulate"}), 0);
    const std::string text = out.str();
    EXPECT_NE(text.find(std::string(text::UPDATE_OK) + "\n"), std::string::npos);
    EXPECT_NE(text.find("restarted: yes"), std::string::npos);
    EXPECT_NE(text.find("(code length 3000)"), std::string::npos);
    EXPECT_NE(text.find("written  0x0000a000  3072 bytes"), std::string::npos);
    EXPECT_NE(text.find("protocol violations: none"), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);   // no bar outside a terminal
    EXPECT_TRUE(err.str().empty());
}

TEST_F(CliTest, OnATerminalTheBarLeavesNoMarkInTheStatusLines)
{
    writeSamples();
    ASSERT_EQ(run({"-C", dir.string(), "--simulate"}), 0);
    const std::string plain = out.str();

    out.str("");
    terminal = true;
    ASSERT_EQ(run({"-C", dir.string(), "--simulate"}), 0);
    const std::string drawn = out.str();
    EXPECT_NE(drawn.find("\r["), std::string::npos);
    // Without its bars (drawn from "\r[" to "\033[K") and their erasures, the output is the plain one.
    const std::string stripped = std::regex_replace(drawn, std::regex("\r(\\[[^\n]*?)?\x1b\\[K"), "");
    EXPECT_EQ(stripped, plain);
}

struct ScenarioCase {
    const char* scenario;
    int exitStatus;
};
class CliScenarios : public CliTest, public ::testing::WithParamInterface<ScenarioCase> {};

TEST_P(CliScenarios, EndWithTheirExitStatusAndNeverClaimSuccessWhenFailing)
{
    writeSamples();
    EXPECT_EQ(run({"-C", dir.string(), std::string("--simulate=") + GetParam().scenario}),
              GetParam().exitStatus);
    const bool claimed = out.str().find(text::UPDATE_OK) != std::string::npos;
    const bool restarted = out.str().find("restarted: yes") != std::string::npos;
    if (GetParam().exitStatus == 0) {
        EXPECT_TRUE(claimed && restarted);
    } else {
        EXPECT_FALSE(claimed || restarted);
        EXPECT_NE(err.str().find("quarvo-flash: "), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, CliScenarios,
    ::testing::Values(ScenarioCase{"healthy", 0}, ScenarioCase{"absent", 1},
                      ScenarioCase{"open-refused", 1}, ScenarioCase{"write-fail:3", 1},
                      ScenarioCase{"read-fail:1", 1}, ScenarioCase{"short-write:3", 1},
                      ScenarioCase{"zero-write:3", 1}, ScenarioCase{"empty-read:1", 0},
                      ScenarioCase{"silent", 1}, ScenarioCase{"stall:5", 1},
                      ScenarioCase{"endless", 1}, ScenarioCase{"split32", 0},
                      ScenarioCase{"split40", 0}, ScenarioCase{"disconnect:20", 1},
                      ScenarioCase{"second-device", 0}),
    [](const auto& row) {
        std::string name = row.param.scenario;
        for (char& c : name)
            if (c == '-' || c == ':')
                c = '_';
        return name;
    });

TEST_F(CliTest, NoDeviceAttachedFailsWithTheConnectionText)
{
    writeSamples();
    EXPECT_EQ(run({"-C", dir.string()}), 1);
    EXPECT_NE(out.str().find(text::CONNECT_FAILED), std::string::npos);
    EXPECT_NE(err.str().find("no HID device"), std::string::npos);
}

TEST_F(CliTest, ARefusedDeviceIsExplainedWithTheUdevRule)
{
    writeSamples();
    realScenario = SimScenario{Fault::OpenRefused, 0};
    EXPECT_EQ(run({"-C", dir.string()}), 1);
    EXPECT_NE(err.str().find("Permission denied"), std::string::npos);
    EXPECT_NE(err.str().find("70-quarvo-bootloader.rules"), std::string::npos);
}

TEST_F(CliTest, ListTellsWhetherEachBootloaderCanBeOpened)
{
    realScenario = SimScenario{Fault::OpenRefused, 0};
    EXPECT_EQ(run({"--list"}), 1);
    EXPECT_NE(out.str().find("cannot be opened: Permission denied"), std::string::npos);
    EXPECT_NE(err.str().find("udev"), std::string::npos);

    out.str("");
    realScenario = SimScenario{};
    EXPECT_EQ(run({"--list"}), 0);
    EXPECT_NE(out.str().find("can be opened"), std::string::npos);

    out.str("");
    realScenario.reset();
    EXPECT_EQ(run({"--list"}), 1);
    EXPECT_NE(out.str().find("No bootloader"), std::string::npos);
}

struct InputCase {
    const char* name;
    bool code;
    std::uintmax_t databaseSize;
    const char* stream;   // "out" or "err"
    const char* text;
};
class CliInputs : public CliTest, public ::testing::WithParamInterface<InputCase> {};

TEST_P(CliInputs, UnusableInputExitsWithTwoAndSendsNothing)
{
    const auto& c = GetParam();
    if (c.code)
        writeFile(CODE_FILE, pattern(100, 1));
    sizedFile(DATABASE_FILE, c.databaseSize);
    EXPECT_EQ(run({"-C", dir.string(), "--simulate"}), 2);
    EXPECT_NE((std::string(c.stream) == "err" ? err : out).str().find(c.text), std::string::npos);
    EXPECT_NE(out.str().find("restarted: no"), std::string::npos);
    EXPECT_EQ(out.str().find("written"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliInputs,
    ::testing::Values(InputCase{"missing_code", false, 100, "err", text::MISSING_CODE},
                      InputCase{"oversize_database", true, MAX_FILE_SIZE + 1, "out", text::TOO_LARGE}),
    [](const auto& row) { return std::string(row.param.name); });

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    const char* complaint;
};
class CliUsage : public CliTest, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(CliUsage, ErrorsExitWithTwo)
{
    EXPECT_EQ(run(GetParam().args), 2);
    EXPECT_NE(err.str().find(GetParam().complaint), std::string::npos) << err.str();
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliUsage,
    ::testing::Values(UsageCase{"unknown_option", {"--frobnicate"}, "unknown argument"},
                      UsageCase{"directory_missing_argument", {"-C"}, "needs an argument"},
                      UsageCase{"no_such_directory", {"-C", "/nonexistent/quarvo"}, "no such directory"},
                      UsageCase{"unknown_scenario", {"--simulate=flaky"}, "unknown scenario"},
                      UsageCase{"scenario_without_count", {"--simulate=write-fail"}, "unknown scenario"},
                      UsageCase{"trace_unwritable", {"--simulate", "--trace", "/nonexistent/t.txt"}, "trace file"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(CliTest, HelpDocumentsExitStatusesAndScenarios)
{
    EXPECT_EQ(run({"--help"}), 0);
    for (const char* needle : {"Exit status", "  0  ", "  1  ", "  2  ", "write-fail:N", "--trace FILE", "-C DIR"})
        EXPECT_NE(out.str().find(needle), std::string::npos) << needle;
    out.str("");
    EXPECT_EQ(run({"--version"}), 0);
    EXPECT_NE(out.str().find("2.0.0.1"), std::string::npos);
}

TEST_F(CliTest, TraceRecordsEveryReportWithATimestamp)
{
    writeSamples();
    const auto trace = dir / "trace.txt";
    EXPECT_EQ(run({"-C", dir.string(), "--simulate", "--trace", trace.string()}), 0);
    std::ifstream in(trace);
    std::string line;
    int outLines = 0;
    int inLines = 0;
    std::string firstOut;
    while (std::getline(in, line)) {
        if (line.find(" out ") != std::string::npos) {
            if (!outLines)
                firstOut = line;
            ++outLines;
        }
        inLines += line.find(" in ") != std::string::npos;
    }
    // 3000 bytes of code: 12 pages; header 1 page; 1000 bytes of database: 4 pages.
    EXPECT_EQ(outLines, (1 + 1 + 48) + (1 + 1 + 4) + (1 + 1 + 16) + 1);
    EXPECT_GT(inLines, 0);
    EXPECT_NE(firstOut.find("out [65] 00 71 0e 0a 00"), std::string::npos) << firstOut;
}

} // namespace
} // namespace quarvo
