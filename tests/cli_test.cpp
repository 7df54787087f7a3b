#include "failure_kinds.h"
#include "job_fixture.h"
#if !defined(_WIN32)
#include "fake_logind.h"
#endif

#include "quarvo_version.h"

#include "cli/cli_app.h"
#include "cli/terminal_view.h"
#include "frontend/history.h"
#include "job/flash_job.h"
#include "platform/instance_guard.h"
#include "protocol/texts.h"

#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <utility>

namespace quarvo {
namespace {

// Signals as a test scripts them: `signal` comes as the update's worker looks at the requests for
// the time numbered `afterChecks` (0: its first look), stamped `ageMs` before that look. Looks
// from the test's own thread (the front end's) see nothing, so that the count does not depend on
// how often the front end happens to look.
class ScriptedStops final : public StopSource {
public:
    std::vector<StopRequest> take() override
    {
        const std::lock_guard lock(m_mutex);
        if (std::this_thread::get_id() == m_frontEnd)
            return {};
        if (checks++ != afterChecks || signal == 0)
            return {};
        return std::vector<StopRequest>(times, StopRequest{signal, monotonicMs() - ageMs});
    }
    void post(int) override {}
    void reset()
    {
        const std::lock_guard lock(m_mutex);
        signal = 0;
        afterChecks = 0;
        ageMs = 0;
        times = 1;
        checks = 0;
    }

    int signal = 0;
    unsigned afterChecks = 0;
    std::int64_t ageMs = 0;
    std::size_t times = 1; // how many of it come at once (two interrupts: "stop anyway")
    unsigned checks = 0;

private:
    std::mutex m_mutex;
    std::thread::id m_frontEnd = std::this_thread::get_id();
};

// The guard's name in tests: apart from a real updater's and every other test process's.
std::string testGuardName() { return "quarvo_cli_test_guard"; }

// The "real" device of a test: a simulated bootloader that counts the links opened to it, in a
// count that outlives the backend.
class CountingBackend final : public HidBackend {
public:
    CountingBackend(Clock& clock, std::optional<SimScenario> scenario,
                    std::shared_ptr<unsigned> opens)
        : m_sim(clock), m_opens(std::move(opens))
    {
        if (scenario)
            attachBootloader(m_sim, *scenario);
    }
    std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId, std::uint16_t productId) override
    {
        return m_sim.enumerate(vendorId, productId);
    }
    std::unique_ptr<HidConnection> open(const std::string& path, std::string& error) override
    {
        ++*m_opens;
        return m_sim.open(path, error);
    }
    Clock& clock() override { return m_sim.clock(); }

private:
    SimBackend m_sim;
    std::shared_ptr<unsigned> m_opens;
};

// A backend with two listings, as the hidapi backend on Windows: the simulated device, with the
// name of the listing that answered.
class TwoListingBackend final : public HidBackend {
public:
    TwoListingBackend(std::unique_ptr<HidBackend> inner, std::string source)
        : m_inner(std::move(inner)), m_source(std::move(source))
    {
    }
    std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId, std::uint16_t productId) override
    {
        return m_inner->enumerate(vendorId, productId);
    }
    std::unique_ptr<HidConnection> open(const std::string& path, std::string& error) override
    {
        return m_inner->open(path, error);
    }
    Clock& clock() override { return m_inner->clock(); }
    std::string listingSource() const override { return m_source; }

private:
    std::unique_ptr<HidBackend> m_inner;
    std::string m_source;
};

// Runs quarvo-flash in-process. The "real device" is a simulated backend the test controls.
class CliTest : public JobFixture, public ::testing::Test {
protected:
    std::ostringstream out;
    std::ostringstream err;
    bool terminal = false;
    int columns = 0;
    ScriptedStops stops;
    std::optional<InstanceGuard> guard{std::in_place, testGuardName(), dir.string()};
#if !defined(_WIN32)
    FakeLogind logind;
    SystemHold hold{&logind};
#else
    SystemHold hold;
#endif
    std::string installedRule;
    std::filesystem::path historyFile; // empty: no history kept
    // How many links were opened to the "real" device, over all runs.
    std::shared_ptr<unsigned> realOpens = std::make_shared<unsigned>(0);

    int run(std::vector<std::string> args)
    {
        CliEnvironment env{out,
                           err,
                           terminal,
                           [this] { return realBackend(); },
                           "test transport",
                           [this] { return columns; },
                           &stops,
                           guard ? &*guard : nullptr,
                           true,
                           installedRule,
                           &hold};
        env.historyFile = historyFile;
        env.loadHooks = loadHooks;
        return runCli(args, env);
    }

    void writeSamples()
    {
        writeFile(CODE_FILE, pattern(3000, 1));
        writeFile(DATABASE_FILE, pattern(1000, 2));
    }

    std::optional<SimScenario> realScenario;
    std::string realListingSource; // empty: the real backend has a single listing

    std::unique_ptr<HidBackend> realBackend()
    {
        auto real = std::make_unique<CountingBackend>(clock, realScenario, realOpens);
        if (realListingSource.empty())
            return real;
        return std::make_unique<TwoListingBackend>(std::move(real), realListingSource);
    }
    LoadHooks loadHooks = settledLoadHooks();
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
    EXPECT_EQ(text.find('\r'), std::string::npos); // no bar outside a terminal
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
    // Without its bars (drawn from "\r[" to "\033[K") and their erasures, the output is the plain
    // one.
    const std::string stripped =
        std::regex_replace(drawn, std::regex("\r(\\[[^\n]*?)?\x1b\\[K"), "");
    EXPECT_EQ(stripped, plain);
    // The bar is the whole update's: it names the steps as they come, and its percentage only
    // grows from the first erase to the restart.
    for (const char* step : {"1/6 code erase", "2/6 code write", "5/6 database write"})
        EXPECT_NE(drawn.find(step), std::string::npos) << step;
    const std::regex percent("\\] +([0-9]+)%");
    int before = 0;
    for (auto it = std::sregex_iterator(drawn.begin(), drawn.end(), percent);
         it != std::sregex_iterator(); ++it) {
        const int shown = std::stoi((*it)[1]);
        EXPECT_GE(shown, before);
        before = shown;
    }
    EXPECT_GE(before, 90);
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

// Every kind of failure: the exit status, the last status line, and the same end sentence the
// windows show, last on standard error, after a line of what the device holds.
class CliFailureKinds : public CliTest, public ::testing::WithParamInterface<FailureKindCase> {};

TEST_P(CliFailureKinds, EndWithWhatTheDeviceHoldsAndTheWindowsSentence)
{
    const FailureKindCase& c = GetParam();
    writeSamples();
    const int status = run({"-C", dir.string(), "--simulate=" + c.scenario.name()});
    EXPECT_EQ(status, c.outcome == JobOutcome::Success ? 0 : 1);
    const std::string lines = out.str();
    EXPECT_NE(lines.find(std::string(c.lastStatus) + "\n\nSimulated device"), std::string::npos)
        << lines;
    if (c.outcome == JobOutcome::Success) {
        EXPECT_TRUE(err.str().empty()) << err.str();
        return;
    }
    const std::string errors = err.str();
    const std::string last = errors.substr(errors.rfind('\n', errors.size() - 2) + 1);
    EXPECT_EQ(last, std::string(c.endSentence) + "\n") << errors;
    const char* held = !c.reached                           ? "the device is unchanged"
                       : c.program != RegionState::Written  ? "has no working program"
                       : c.header != RegionState::Written   ? "has no working program"
                       : c.database != RegionState::Written ? "its program is whole"
                                                            : "was not told to restart";
    EXPECT_NE(errors.find(held), std::string::npos) << errors;
}

INSTANTIATE_TEST_SUITE_P(Table, CliFailureKinds, ::testing::ValuesIn(failureKindCases()),
                         [](const auto& row) { return std::string(row.param.name); });

// Every update leaves one record in the history with what the device holds and why it ended; and
// --json gives the same end as one line of the documented fields.
class CliRecords : public CliTest, public ::testing::WithParamInterface<FailureKindCase> {};

TEST_P(CliRecords, KeepWhatTheDeviceHoldsAndTheJsonEndSaysTheSame)
{
    const FailureKindCase& c = GetParam();
    writeSamples();
    historyFile = dir / "state" / "history.jsonl";
    const std::string scenario = "--simulate=" + c.scenario.name();
    const int status = run({"-C", dir.string(), scenario, "--json"});

    // The JSON lines: every one parses, each has its event and time, the end comes last.
    std::vector<Json> lines;
    std::istringstream stream(out.str());
    for (std::string line; std::getline(stream, line);) {
        const std::optional<Json> json = Json::parse(line);
        ASSERT_TRUE(json) << line;
        EXPECT_FALSE((*json)["event"].text().empty()) << line;
        EXPECT_FALSE((*json)["t"].isNull()) << line;
        lines.push_back(*json);
    }
    ASSERT_FALSE(lines.empty());
    const Json& end = lines.back();
    EXPECT_EQ(end["event"].text(), "end");
    EXPECT_EQ(end["exitStatus"].number(), status);
    EXPECT_EQ(end["sentence"].text(), c.endSentence);
    EXPECT_EQ(end["deviceState"]["reached"].boolean(), c.reached);
    EXPECT_EQ(end["deviceState"]["restartSent"].boolean(), c.restartSent);
    EXPECT_TRUE(err.str().empty()) << err.str(); // the human lines are not printed
    const auto steps = std::count_if(lines.begin(), lines.end(), [](const Json& line) {
        return line["event"].text() == "step";
    });
    EXPECT_EQ(steps, c.stepsShown);

    std::string error;
    const auto records = History(historyFile).read(error);
    ASSERT_TRUE(records) << error;
    ASSERT_EQ(records->size(), 1u);
    const HistoryRecord record = HistoryRecord::fromJson(records->front()).value();
    EXPECT_EQ(record.frontEnd, "quarvo-flash");
    EXPECT_TRUE(record.simulated);
    EXPECT_EQ(record.outcome, outcomeName(c.outcome));
    EXPECT_EQ(record.device.reached, c.reached);
    EXPECT_EQ(record.device[DeviceRegion::Program], c.program);
    EXPECT_EQ(record.device[DeviceRegion::Header], c.header);
    EXPECT_EQ(record.device[DeviceRegion::Database], c.database);
    EXPECT_EQ(record.device.failure, c.failure);
    EXPECT_EQ(record.steps.size(), static_cast<std::size_t>(c.stepsShown));
    EXPECT_EQ(record.files.size(), 2u);
    EXPECT_EQ(record.files[0].size, 3000u);
    EXPECT_EQ(record.detail.empty(), c.outcome == JobOutcome::Success) << record.detail;
    EXPECT_EQ(end["detail"].text(), record.detail);
}

INSTANTIATE_TEST_SUITE_P(Table, CliRecords, ::testing::ValuesIn(failureKindCases()),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(CliTest, HistoryPrintsTheRecordsNewestLastAndAsTheyAreKeptWithJson)
{
    writeSamples();
    historyFile = dir / "state" / "history.jsonl";
    EXPECT_EQ(run({"--history"}), 0);
    EXPECT_NE(out.str().find("No update is recorded"), std::string::npos) << out.str();
    ASSERT_EQ(run({"-C", dir.string(), "--simulate"}), 0);
    ASSERT_EQ(run({"-C", dir.string(), "--simulate=write-fail:5"}), 1);
    out.str("");
    EXPECT_EQ(run({"--history"}), 0);
    const std::string text = out.str();
    const auto success = text.find("outcome: success");
    const auto failure = text.find("outcome: device failed");
    ASSERT_NE(success, std::string::npos) << text;
    ASSERT_NE(failure, std::string::npos) << text;
    EXPECT_LT(success, failure);
    EXPECT_NE(text.find("data report 3 of 48"), std::string::npos) << text;
    out.str("");
    EXPECT_EQ(run({"--history", "--json"}), 0);
    std::istringstream lines(out.str());
    int records = 0;
    for (std::string line; std::getline(lines, line); ++records)
        EXPECT_TRUE(HistoryRecord::fromJson(Json::parse(line).value())) << line;
    EXPECT_EQ(records, 2);
}

// A history that cannot take the record (its name taken by a folder): the update's own result
// stands, and the run says that its record was not kept; --history says what is in the way.
TEST_F(CliTest, ARecordThatCannotBeKeptIsToldAndTheHistoryNamesWhatIsInTheWay)
{
    writeSamples();
    historyFile = dir / "state" / "history.jsonl";
    std::filesystem::create_directories(historyFile);
    EXPECT_EQ(run({"-C", dir.string(), "--simulate"}), 0);
    EXPECT_NE(err.str().find("record could not be kept"), std::string::npos) << err.str();
    err.str("");
    EXPECT_EQ(run({"-C", dir.string(), "--simulate", "--json"}), 0);
    EXPECT_NE(out.str().find("record could not be kept"), std::string::npos) << out.str();
    err.str("");
    out.str("");
    EXPECT_NE(run({"--history"}), 0);
    EXPECT_NE(err.str().find("not a regular file"), std::string::npos) << err.str();
}

TEST_F(CliTest, NoDeviceAttachedFailsWithTheConnectionText)
{
    writeSamples();
    EXPECT_EQ(run({"-C", dir.string()}), 1);
    EXPECT_NE(out.str().find(text::CONNECT_FAILED), std::string::npos);
    EXPECT_NE(err.str().find("no HID device"), std::string::npos);
}

// What the access advice names: the udev rule on Linux, other programs on Windows.
#if defined(_WIN32)
constexpr const char* ACCESS_ADVICE = "Close any other program";
constexpr const char* ACCESS_FIX = "Close any other program";
#else
constexpr const char* ACCESS_ADVICE = "udev";
constexpr const char* ACCESS_FIX = "70-quarvo-bootloader.rules";
#endif

TEST_F(CliTest, ARefusedDeviceIsExplainedWithTheAccessAdvice)
{
    writeSamples();
    realScenario = SimScenario{Fault::OpenRefused, 0};
    EXPECT_EQ(run({"-C", dir.string()}), 1);
    EXPECT_NE(err.str().find("Permission denied"), std::string::npos);
    EXPECT_NE(err.str().find(ACCESS_FIX), std::string::npos);
}

#if defined(__linux__)
TEST_F(CliTest, TheAdviceNamesTheInstalledRuleWhenThereIsOne)
{
    writeSamples();
    realScenario = SimScenario{Fault::OpenRefused, 0};
    installedRule = "/usr/lib/udev/rules.d/70-quarvo-bootloader.rules";
    EXPECT_EQ(run({"-C", dir.string()}), 1);
    EXPECT_NE(err.str().find("is installed (/usr/lib/udev/rules.d/70-quarvo-bootloader.rules)"),
              std::string::npos)
        << err.str();
    EXPECT_EQ(err.str().find("sudo cp"), std::string::npos);
}
#endif

TEST_F(CliTest, ListTellsWhetherEachBootloaderCanBeOpened)
{
    realScenario = SimScenario{Fault::OpenRefused, 0};
    EXPECT_EQ(run({"--list"}), 1);
    EXPECT_NE(out.str().find("cannot be opened: Permission denied"), std::string::npos);
    EXPECT_NE(err.str().find(ACCESS_ADVICE), std::string::npos);

    out.str("");
    realScenario = SimScenario{};
    EXPECT_EQ(run({"--list"}), 0);
    EXPECT_NE(out.str().find("can be opened"), std::string::npos);

    out.str("");
    realScenario.reset();
    EXPECT_EQ(run({"--list"}), 1);
    EXPECT_NE(out.str().find("No bootloader"), std::string::npos);
}

TEST_F(CliTest, ListAndTraceNameTheListingThatAnswered)
{
    realScenario = SimScenario{};
    realListingSource = "SetupAPI (hidapi's listing failed: not implemented)";
    const auto trace = dir / "trace.txt";
    EXPECT_EQ(run({"--list", "--trace", trace.string()}), 0);
    EXPECT_NE(out.str().find("Listed by SetupAPI (hidapi's listing failed: not implemented).\n"),
              std::string::npos)
        << out.str();
    std::ifstream in(trace);
    const std::string traced{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(traced.find(" enumerate 1 interfaces, listed by SetupAPI (hidapi's listing failed: "
                          "not implemented)\n"),
              std::string::npos)
        << traced;

    // A backend with a single listing has none to name.
    out.str("");
    realListingSource.clear();
    EXPECT_EQ(run({"--list"}), 0);
    EXPECT_EQ(out.str().find("Listed by"), std::string::npos) << out.str();
}

struct InputCase {
    const char* name;
    bool code;
    std::uintmax_t databaseSize;
    const char* stream; // "out" or "err"
    const char* text;
    const char* detail; // in the technical line
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
    EXPECT_NE(err.str().find(c.detail), std::string::npos) << err.str();
    // Nothing was sent, so there is no device to describe.
    EXPECT_EQ(out.str().find("Simulated device"), std::string::npos);
    EXPECT_EQ(out.str().find(text::ERASING), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliInputs,
    ::testing::Values(
        InputCase{"missing_code", false, 100, "err", text::MISSING_CODE, "No such file"},
        InputCase{"oversize_database", true, MAX_FILE_SIZE + 1, "out", text::TOO_LARGE, "limit"},
        InputCase{"empty_database", true, 0, "err", text::EMPTY_DATABASE, "car_data.bin is empty"}),
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
    ::testing::Values(
        UsageCase{"unknown_option", {"--frobnicate"}, "unknown argument"},
        UsageCase{"directory_missing_argument", {"-C"}, "needs an argument"},
        UsageCase{"no_such_directory", {"-C", "/nonexistent/quarvo"}, "No such file or directory"},
        UsageCase{"unknown_scenario", {"--simulate=flaky"}, "unknown scenario"},
        UsageCase{"scenario_without_count", {"--simulate=write-fail"}, "needs :N"},
        UsageCase{"scenario_with_count_zero", {"--simulate=write-fail:0"}, "needs :N"},
        UsageCase{"scenario_with_stray_count", {"--simulate=silent:3"}, "takes no :N"},
        UsageCase{"wait_zero", {"--wait=0"}, "--wait takes"},
        UsageCase{"wait_words", {"--wait=soon"}, "--wait takes"},
        UsageCase{"real_time_alone", {"--real-time"}, "goes with --simulate"},
        UsageCase{"pace_alone", {"--pace=20,1"}, "--pace goes with --simulate"},
        UsageCase{"pace_of_one_number", {"--simulate", "--pace=20"}, "--pace takes two numbers"},
        UsageCase{"pace_below_zero", {"--simulate", "--pace=-1,1"}, "--pace takes two numbers"},
        UsageCase{"wait_value_apart", {"--wait", "5"}, "did you mean --wait=5?"},
        UsageCase{"scenario_apart", {"--simulate", "silent"}, "did you mean --simulate=silent?"},
        UsageCase{"escaped_directory", {"-C", "/nonexistent/\x1b[2J"}, "\\x1B[2J"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(CliTest, HelpDocumentsExitStatusesAndScenarios)
{
    EXPECT_EQ(run({"--help"}), 0);
    for (const char* needle :
         {"Exit status", "  0  ", "  1  ", "  2  ", "write-fail:N", "--trace FILE", "-C DIR"})
        EXPECT_NE(out.str().find(needle), std::string::npos) << needle;
    out.str("");
    EXPECT_EQ(run({"--version"}), 0);
    EXPECT_NE(out.str().find(QUARVO_VERSION), std::string::npos);
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

struct PlaceCase {
    const char* name;
    const char* scenario;
    const char* detail;
};
class CliFailurePlaces : public CliTest, public ::testing::WithParamInterface<PlaceCase> {};

// With samples of 3000 and 1000 bytes: reports 1 to 50 write the code, 51 to 56 the image header,
// 57 to 74 the database, 75 restarts.
TEST_P(CliFailurePlaces, TheTechnicalLineSaysWhichHalfFailed)
{
    writeSamples();
    EXPECT_EQ(run({"-C", dir.string(), std::string("--simulate=") + GetParam().scenario}), 1);
    EXPECT_NE(err.str().find(GetParam().detail), std::string::npos) << err.str();
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliFailurePlaces,
    ::testing::Values(
        PlaceCase{"code_data", "write-fail:3", "code at 0xA000: data report 1 of 48: write failed"},
        PlaceCase{"header_erase", "write-fail:51", "image header at 0x8000: erase command"},
        PlaceCase{"database_erase", "write-fail:57", "database at 0x640000: erase command"},
        PlaceCase{"database_data", "write-fail:60", "database at 0x640000: data report 2 of 16"},
        PlaceCase{"restart", "write-fail:75", "restart command: write failed"}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- hostile and unlucky use ----

struct TraceTargetCase {
    const char* name;
    const char* file;
    const char* spelling; // how the trace path names it, relative to the directory
};
class CliTraceTargets : public CliTest, public ::testing::WithParamInterface<TraceTargetCase> {};

TEST_P(CliTraceTargets, ATracePathThatIsAnUpdateFileIsRefusedAndTheFileKept)
{
    writeSamples();
    const auto path = dir / GetParam().file;
    std::ifstream before(path, std::ios::binary);
    const std::string original{std::istreambuf_iterator<char>(before), {}};
    if (std::string(GetParam().spelling) != GetParam().file)
        std::filesystem::create_symlink(GetParam().file, dir / GetParam().spelling);
    const std::string trace = (dir / GetParam().spelling).string();
    EXPECT_EQ(run({"-C", dir.string(), "--simulate", "--trace", trace}), 2);
    EXPECT_NE(err.str().find("is the update file"), std::string::npos) << err.str();
    std::ifstream after(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(after), {}), original);
    EXPECT_EQ(out.str().find(text::ERASING), std::string::npos);
}

const TraceTargetCase TRACE_TARGETS[] = {
    {"database", DATABASE_FILE, DATABASE_FILE},
#if !defined(_WIN32) // symbolic links need privileges there
    {"code_through_a_link", CODE_FILE, "link.bin"},
#endif
};
INSTANTIATE_TEST_SUITE_P(Table, CliTraceTargets, ::testing::ValuesIn(TRACE_TARGETS),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(CliTest, AnUnwritableTraceIsAUsageErrorBeforeAnythingIsSent)
{
    writeSamples();
    EXPECT_EQ(run({"-C", dir.string(), "--simulate", "--trace", "/nonexistent/t.txt"}), 2);
    EXPECT_NE(err.str().find("cannot write the trace file"), std::string::npos);
    EXPECT_EQ(out.str().find(text::ERASING), std::string::npos);
}

TEST_F(CliTest, ListingReadsNoUpdateFilesSoAMissingDirectoryDoesNotMatter)
{
    realScenario = SimScenario{};
    EXPECT_EQ(run({"--list", "-C", "/nonexistent/quarvo"}), 0);
}

TEST_F(CliTest, HelpAndVersionFailWhenTheOutputCannotBeWritten)
{
    for (const char* option : {"--help", "--version"}) {
        out.setstate(std::ios::badbit);
        EXPECT_EQ(run({option}), 1) << option;
        EXPECT_NE(err.str().find("could not be written"), std::string::npos);
        out.clear();
    }
}

struct StopCase {
    const char* name;
    int signal;
    unsigned afterChecks;
    bool atRisk; // whether anything had been sent when the stop came
};
class CliStops : public CliTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(CliStops, EndWithTheSignalsStatusATellingMessageAndACompleteTrace)
{
    const auto& c = GetParam();
    writeSamples();
    stops.signal = c.signal;
    stops.afterChecks = c.afterChecks;
    // A stop that came before anything was sent came a while before the first look; once the
    // device is at risk an interrupt stops only when a second one follows it.
    stops.ageMs = c.atRisk ? 0 : 1000;
    stops.times = c.atRisk && c.signal == 2 ? 2 : 1;
    const auto trace = dir / "trace.txt";
    EXPECT_EQ(run({"-C", dir.string(), "--simulate", "--trace", trace.string()}), 128 + c.signal);
    EXPECT_EQ(out.str().find(text::UPDATE_OK), std::string::npos);
    EXPECT_NE(out.str().find("restarted: no"), std::string::npos);
    EXPECT_EQ(out.str().find("  erased ") != std::string::npos, c.atRisk) << out.str();
    EXPECT_NE(err.str().find(c.atRisk ? "incomplete update" : "Nothing was sent"),
              std::string::npos)
        << err.str();
    std::ifstream in(trace);
    const std::string traced{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(traced.find(" stopped SIG"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Table, CliStops,
                         ::testing::Values(StopCase{"interrupt_before_anything", 2, 0, false},
                                           StopCase{"interrupt_in_code_data", 2, 20, true},
                                           StopCase{"terminate_in_erase_wait", 15, 2, true},
                                           StopCase{"terminate_in_database", 15, 60, true}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(CliTest, AFirstInterruptIsAnsweredWithAWarningAndTheUpdateGoesOn)
{
    writeSamples();
    stops.signal = 2;
    stops.afterChecks = 10;
    EXPECT_EQ(run({"-C", dir.string(), "--simulate"}), 0);
    EXPECT_NE(err.str().find("again within 5 seconds to stop anyway"), std::string::npos)
        << err.str();
    EXPECT_NE(out.str().find("restarted: yes"), std::string::npos);
}

TEST_F(CliTest, AStopAfterTheLastDataLetsTheRestartGoOut)
{
    writeSamples();
    EXPECT_EQ(run({"-C", dir.string(), "--simulate"}), 0);
    const unsigned checks = stops.checks;
    out.str("");
    stops.reset();
    stops.signal = 15;
    stops.afterChecks = checks; // every check of the update said go; the stop comes after
    EXPECT_EQ(run({"-C", dir.string(), "--simulate"}), 0);
    EXPECT_NE(out.str().find("restarted: yes"), std::string::npos);
}

// A stop that arrives while a wait or a failing report is ending the job is still the stop: its
// status and its message, never the failure's alone.
struct StopMeetsFailureCase {
    const char* name;
    const char* scenario;
    int signal;
    unsigned afterChecks;
};
class CliStopsMeetingFailures : public CliTest,
                                public ::testing::WithParamInterface<StopMeetsFailureCase> {};

TEST_P(CliStopsMeetingFailures, EndWithTheStopsStatusAndTheIncompleteUpdateText)
{
    const auto& c = GetParam();
    writeSamples();
    stops.signal = c.signal;
    stops.afterChecks = c.afterChecks;
    stops.times = c.signal == 2 ? 2 : 1; // an interrupt and the one that confirms it
    EXPECT_EQ(run({"-C", dir.string(), std::string("--simulate=") + c.scenario}), 128 + c.signal);
    EXPECT_NE(err.str().find("stopped by"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("incomplete update"), std::string::npos) << err.str();
    EXPECT_EQ(out.str().find(text::UPDATE_OK), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CliStopsMeetingFailures,
    ::testing::Values(
        // The silent device's erase wait is asked between slices: the stop ends it, not its bound.
        StopMeetsFailureCase{"terminate_in_silent_erase_wait", "silent", 15, 3},
        // The stop comes after the check that let report 5 go, which then fails.
        StopMeetsFailureCase{"terminate_as_a_write_fails", "write-fail:5", 15, 5},
        StopMeetsFailureCase{"interrupts_as_the_device_stalls", "stall:5", 2, 5}),
    [](const auto& row) { return std::string(row.param.name); });

// An interrupt that arrives as the first report is about to go out: the device is then at risk,
// so it only asks for confirmation.
TEST_F(CliTest, AnInterruptAsTheFirstReportGoesOutAsksForConfirmationInsteadOfStopping)
{
    writeSamples();
    stops.signal = 2;
    stops.afterChecks = 0; // the first look, which the first report's check makes
    EXPECT_EQ(run({"-C", dir.string(), "--simulate"}), 0) << err.str();
    EXPECT_NE(err.str().find("again within 5 seconds to stop anyway"), std::string::npos)
        << err.str();
    EXPECT_NE(out.str().find("restarted: yes"), std::string::npos);
}

// A backend whose connections run out of memory at one output report, as an allocation half way
// through an update can.
class MemoryFailingBackend final : public HidBackend {
public:
    MemoryFailingBackend(std::unique_ptr<HidBackend> inner, int failAt)
        : m_inner(std::move(inner)), m_failAt(failAt)
    {
    }
    std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId, std::uint16_t productId) override
    {
        return m_inner->enumerate(vendorId, productId);
    }
    std::unique_ptr<HidConnection> open(const std::string& path, std::string& error) override
    {
        auto connection = m_inner->open(path, error);
        if (!connection)
            return nullptr;
        return std::make_unique<Connection>(std::move(connection), *this);
    }
    Clock& clock() override { return m_inner->clock(); }

private:
    class Connection final : public HidConnection {
    public:
        Connection(std::unique_ptr<HidConnection> inner, MemoryFailingBackend& owner)
            : m_inner(std::move(inner)), m_owner(owner)
        {
        }
        int write(const std::uint8_t* data, std::size_t length) override
        {
            if (++m_owner.m_writes == m_owner.m_failAt)
                throw std::bad_alloc();
            return m_inner->write(data, length);
        }
        int read(std::uint8_t* data, std::size_t length, int timeoutMs) override
        {
            return m_inner->read(data, length, timeoutMs);
        }
        std::string error() const override { return m_inner->error(); }

    private:
        std::unique_ptr<HidConnection> m_inner;
        MemoryFailingBackend& m_owner;
    };

    std::unique_ptr<HidBackend> m_inner;
    int m_failAt;
    int m_writes = 0;
};

TEST_F(CliTest, RunningOutOfMemoryMidUpdateTellsTheLastStatusTheDeviceStateAndEndsTheTrace)
{
    writeSamples();
    const auto trace = dir / "trace.txt";
    CliEnvironment env{out, err, false,
                       [this] {
                           auto real = std::make_unique<SimBackend>(clock);
                           attachBootloader(*real, SimScenario{});
                           return std::make_unique<MemoryFailingBackend>(std::move(real), 20);
                       },
                       "test transport"};
    const std::vector<std::string> args{"-C", dir.string(), "--trace", trace.string()};
    EXPECT_EQ(runCli(args, env), 1);
    EXPECT_NE(err.str().find("out of memory"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find(std::string("last status: ") + text::WRITING), std::string::npos)
        << err.str();
    EXPECT_NE(err.str().find("incomplete update"), std::string::npos) << err.str();
    EXPECT_EQ(out.str().find(text::UPDATE_OK), std::string::npos);
    std::ifstream in(trace);
    std::string line;
    std::string last;
    while (std::getline(in, line))
        last = line;
    EXPECT_NE(last.find(" failed out of memory"), std::string::npos) << last;
}

TEST_F(CliTest, ASecondUpdaterIsRefusedBeforeItTouchesAnyDevice)
{
    writeSamples();
    realScenario = SimScenario{};
    InstanceGuard other(testGuardName(), dir.string());
    ASSERT_EQ(other.acquire(), InstanceGuard::Result::Acquired);
    EXPECT_EQ(run({"-C", dir.string()}), 1);
    EXPECT_NE(err.str().find(ALREADY_RUNNING_TEXT), std::string::npos);
    EXPECT_EQ(*realOpens, 0u);
    // Listing and the simulator take no guard.
    EXPECT_EQ(run({"--list"}), 0);
    EXPECT_EQ(run({"-C", dir.string(), "--simulate"}), 0);
}

TEST_F(CliTest, WaitWaitsForTheGuardAsWellAsForTheDevice)
{
    writeSamples();
    realScenario = SimScenario{};
    InstanceGuard other(testGuardName(), dir.string());
    ASSERT_EQ(other.acquire(), InstanceGuard::Result::Acquired);
    // The other updater keeps the guard through the whole wait: the wait ends as refused.
    EXPECT_EQ(run({"-C", dir.string(), "--wait=3"}), 1);
    EXPECT_NE(out.str().find("Another updater is running; waiting up to 3 s"), std::string::npos)
        << out.str();
    EXPECT_NE(err.str().find(ALREADY_RUNNING_TEXT), std::string::npos);
    EXPECT_EQ(*realOpens, 0u);
}

#if !defined(_WIN32) // the lock file is a named mutex there
TEST_F(CliTest, AGuardThatCannotBeTakenRefusesTheUpdateAndNamesTheObstacle)
{
    writeSamples();
    realScenario = SimScenario{};
    const auto lock = dir / (testGuardName() + ".lock");
    std::filesystem::create_symlink("/etc/passwd", lock);
    EXPECT_EQ(run({"-C", dir.string()}), 1);
    EXPECT_NE(err.str().find("nothing was sent: " + lock.string()), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("symbolic link"), std::string::npos) << err.str();
    EXPECT_EQ(*realOpens, 0u);
}
#endif

#if !defined(_WIN32)
struct HoldCase {
    const char* name;
    std::optional<SimScenario> realDevice; // none: --simulate
    int stopSignal;
    int exitStatus;
};
class CliHolds : public CliTest, public ::testing::WithParamInterface<HoldCase> {};

// The system is held back for a job on a real device, whatever its end, and never for the
// simulator.
TEST_P(CliHolds, AreTakenForARealDevicesJobAndGivenBackWhateverTheEnd)
{
    const auto& c = GetParam();
    writeSamples();
    realScenario = c.realDevice;
    stops.signal = c.stopSignal;
    stops.afterChecks = 20;
    std::vector<std::string> args{"-C", dir.string()};
    if (!c.realDevice)
        args.push_back("--simulate");
    EXPECT_EQ(run(args), c.exitStatus) << err.str();
    if (!c.realDevice) {
        EXPECT_TRUE(logind.calls.empty());
        return;
    }
    EXPECT_EQ(logind.calls, std::vector<std::string>{FULL_INHIBIT_CALL});
    EXPECT_FALSE(logind.holding(0));
    EXPECT_FALSE(hold.held());
}

INSTANTIATE_TEST_SUITE_P(Table, CliHolds,
                         ::testing::Values(HoldCase{"success", SimScenario{}, 0, 0},
                                           HoldCase{"failure", SimScenario{Fault::WriteFail, 3}, 0,
                                                    1},
                                           HoldCase{"stop", SimScenario{}, 15, 143},
                                           HoldCase{"simulated", std::nullopt, 0, 0}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(CliTest, WithoutLogindTheUpdateGoesOnAfterOneLine)
{
    writeSamples();
    realScenario = SimScenario{};
    struct NoBus final : InhibitorBus {
        int inhibit(const std::string&, const std::string&, const std::string&, const std::string&,
                    std::string& error, const std::function<bool()>&) override
        {
            error = "no system bus";
            return -1;
        }
    } noBus;
    SystemHold noHold(&noBus);
    CliEnvironment env{out, err, false,
                       [this] {
                           auto real = std::make_unique<SimBackend>(clock);
                           attachBootloader(*real, SimScenario{});
                           return real;
                       },
                       "test transport"};
    env.systemHold = &noHold;
    const std::vector<std::string> args{"-C", dir.string()};
    EXPECT_EQ(runCli(args, env), 0);
    EXPECT_NE(err.str().find("may sleep or shut down during this update: no system bus"),
              std::string::npos)
        << err.str();
    EXPECT_NE(out.str().find(text::UPDATE_OK), std::string::npos);
}
#endif

TEST_F(CliTest, WaitUpdatesOnceTheDeviceIsAttached)
{
    writeSamples();
    EXPECT_EQ(run({"-C", dir.string(), "--simulate=late:5", "--wait=10"}), 0);
    EXPECT_NE(out.str().find("Waiting up to 10 s"), std::string::npos);
    EXPECT_NE(out.str().find(text::UPDATE_OK), std::string::npos);
}

TEST_F(CliTest, WaitGivesUpAfterItsTimeWithTheConnectionText)
{
    writeSamples();
    EXPECT_EQ(run({"-C", dir.string(), "--simulate=late:20", "--wait=10"}), 1);
    EXPECT_NE(out.str().find(text::CONNECT_FAILED), std::string::npos);
    EXPECT_NE(err.str().find("within 10 s"), std::string::npos);
    EXPECT_EQ(out.str().find(text::ERASING), std::string::npos);
}

TEST_F(CliTest, AnInterruptEndsTheWaitAtOnceWithNothingSent)
{
    writeSamples();
    stops.signal = 2;
    EXPECT_EQ(run({"-C", dir.string(), "--simulate=absent", "--wait"}), 130);
    EXPECT_NE(err.str().find("stopped by SIGINT before the update began"), std::string::npos)
        << err.str();
    EXPECT_NE(err.str().find("Nothing was sent"), std::string::npos) << err.str();
}

TEST_F(CliTest, ASignalDuringTheWaitEndsTheTraceWithStopped)
{
    writeSamples();
    stops.signal = 15;
    const auto trace = dir / "trace.txt";
    EXPECT_EQ(run({"-C", dir.string(), "--simulate=absent", "--wait", "--trace", trace.string()}),
              143);
    std::ifstream in(trace);
    const std::string traced{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(traced.find(" stopped SIGTERM"), std::string::npos) << traced;
}

TEST_F(CliTest, ListWaitsForTheBootloaderAndTracesWhatItAsked)
{
    const auto trace = dir / "trace.txt";
    EXPECT_EQ(run({"--list", "--simulate=late:5", "--wait=10", "--trace", trace.string()}), 0);
    EXPECT_NE(out.str().find("Waiting up to 10 s"), std::string::npos);
    EXPECT_NE(out.str().find("can be opened"), std::string::npos) << out.str();
    std::ifstream in(trace);
    const std::string traced{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(traced.find(" open sim"), std::string::npos) << traced;
    // A wait that runs out still lists, and says that nothing is attached.
    out.str("");
    EXPECT_EQ(run({"--list", "--simulate=late:20", "--wait=10"}), 1);
    EXPECT_NE(out.str().find("No bootloader"), std::string::npos) << out.str();
}

TEST_F(CliTest, ADirectoryThatIsAFileIsRefusedWithTheSystemsReason)
{
    writeSamples();
    EXPECT_EQ(run({"-C", (dir / CODE_FILE).string(), "--simulate"}), 2);
    EXPECT_NE(err.str().find("Not a directory"), std::string::npos) << err.str();
}

// ---- the bar ----

struct BarCase {
    const char* pace;
    int columns;
    const char* expected;
};
class BarLines : public ::testing::TestWithParam<BarCase> {};
constexpr const char* RATE = "15.0 KiB/s  0:45 left";
constexpr const char* WAIT = "waiting for the device, at most 27 s more";

// The bytes go first, then the step; the pace (the time left, or a wait's limit) stays longest.
TEST_P(BarLines, FitTheTerminalDroppingTheLeastImportantFieldsFirst)
{
    const std::string line = formatBarLine(0.42, "2/6 code write", "1.2 MiB / 3.0 MiB",
                                           GetParam().pace, GetParam().columns);
    EXPECT_EQ(line, GetParam().expected);
    EXPECT_LT(line.size(),
              static_cast<std::size_t>(GetParam().columns > 0 ? GetParam().columns : 80));
    if (GetParam().columns >= BAR_MIN_COLUMNS) { // room for an echoed "^C"
        EXPECT_LE(line.size() + 3, static_cast<std::size_t>(GetParam().columns));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Widths, BarLines,
    ::testing::Values(
        BarCase{RATE, 0,
                "[############------------------]  42%  2/6 code write  15.0 KiB/s  0:45 left"},
        BarCase{RATE, 100,
                "[############------------------]  42%  2/6 code write  1.2 MiB / 3.0 MiB  15.0 "
                "KiB/s  0:45 left"},
        BarCase{RATE, 80,
                "[############------------------]  42%  2/6 code write  15.0 KiB/s  0:45 left"},
        BarCase{RATE, 75,
                "[##########----------------]  42%  2/6 code write  15.0 KiB/s  0:45 left"},
        BarCase{RATE, 60, "[###########----------------]  42%  15.0 KiB/s  0:45 left"},
        BarCase{RATE, 40, "[############------------------]  42%"},
        BarCase{RATE, 30, "[########------------]  42%"}, BarCase{RATE, 29, " 42%"},
        BarCase{RATE, 20, " 42%"}, BarCase{RATE, 3, ""},
        BarCase{WAIT, 100,
                "[############------------------]  42%  2/6 code write  waiting for the device, at "
                "most 27 s more"},
        BarCase{WAIT, 80,
                "[###########----------------]  42%  waiting for the device, at most 27 s more"},
        BarCase{WAIT, 75,
                "[#########-------------]  42%  waiting for the device, at most 27 s more"},
        BarCase{WAIT, 60, "[############------------------]  42%"}));

TEST_F(CliTest, OnANarrowTerminalEveryBarFitsOnItsLine)
{
    writeFile(CODE_FILE, pattern(60000, 1));
    writeFile(DATABASE_FILE, pattern(30000, 2));
    terminal = true;
    for (int width : {80, 40, 20}) {
        columns = width;
        out.str("");
        ASSERT_EQ(run({"-C", dir.string(), "--simulate"}), 0);
        const std::string text = out.str();
        std::size_t bars = 0;
        for (std::size_t at = text.find('\r'); at != std::string::npos;
             at = text.find('\r', at + 1)) {
            const std::size_t end = text.find("\x1b[K", at);
            ASSERT_NE(end, std::string::npos);
            EXPECT_LT(end - at - 1, static_cast<std::size_t>(width)) << "at width " << width;
            bars += end > at + 1;
        }
        EXPECT_GT(bars, 0u) << "at width " << width;
    }
}

} // namespace
} // namespace quarvo
