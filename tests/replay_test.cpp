// Recordings played back as the device: the kept recordings (tests/recordings) replay to their
// outcome through the job and through quarvo-flash; every scenario of the simulator, recorded by
// quarvo-flash --trace, replays to the same end; a changed update file or a changed recording
// fails its replay with the difference named; the recorded pace holds the host's waits.
#include "job_fixture.h"
#include "settled_files.h"

#include "cli/cli_app.h"
#include "protocol/commands.h"
#include "protocol/texts.h"
#include "sim/replay_backend.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <sstream>

namespace quarvo {
namespace {

const std::filesystem::path RECORDINGS = QUARVO_RECORDINGS_DIR;
constexpr const char* TRACE_NAME = "recording.trace";

// What a replay through the job came to.
struct Played {
    JobOutcome outcome;
    std::vector<std::string> statuses;
    std::vector<std::string> messages;
    std::string detail;
    std::string violation;
    std::string unplayed;
    unsigned matched;
    unsigned recorded;
    std::int64_t endUs; // on the replay's virtual clock
};

class ReplayTest : public JobFixture, public ::testing::Test {
protected:
    static Recording load(const std::filesystem::path& path)
    {
        Recording recording;
        std::string error;
        EXPECT_TRUE(loadRecording(path, recording, error)) << path << ": " << error;
        return recording;
    }
    static Recording kept(const std::string& name) { return load(RECORDINGS / name / TRACE_NAME); }

    // The update job from the files in `files`, against `recording` played back.
    static Played play(Recording recording, const std::filesystem::path& files)
    {
        VirtualClock clock;
        ReplayBackend replay(clock, std::move(recording));
        RecordingSurface surface;
        CommandContext context{replay, surface};
        // Files long settled, so that the replay's clock starts with the device's first report.
        const JobOutcome outcome = runSettled(context, files);
        return {outcome,
                surface.statuses(),
                surface.messages(),
                context.detail,
                replay.violation(),
                replay.unplayed(),
                replay.reportsMatched(),
                replay.reportsRecorded(),
                clock.nowUs()};
    }

    // quarvo-flash in-process; its standard output and error land in `out` and `err`.
    int flash(const std::vector<std::string>& args)
    {
        out.str("");
        err.str("");
        CliEnvironment env{out, err, false, [] { return std::unique_ptr<HidBackend>(); },
                           "test transport"};
        // The files a test has just written count as settled, so that no run waits for them
        // and a recording and its replay print the same lines however long lies between them.
        env.loadHooks = settledLoadHooks();
        return runCli(args, env);
    }

    // The lines quarvo-flash printed before the device's summary.
    std::vector<std::string> printedLines() const
    {
        const std::string text = out.str();
        std::istringstream lines(text.substr(
            0, std::min(text.find("\nReplayed recording"), text.find("\nSimulated device"))));
        std::vector<std::string> printed;
        for (std::string line; std::getline(lines, line);)
            printed.push_back(line);
        return printed;
    }

    void writeSmallUpdate() const
    {
        writeFile(CODE_FILE, pattern(700, 1));
        writeFile(DATABASE_FILE, pattern(300, 2));
    }

    std::ostringstream out;
    std::ostringstream err;
};

struct KeptCase {
    const char* name; // its folder under tests/recordings
    JobOutcome outcome;
    int exitStatus;
};
const KeptCase KEPT[] = {
    {"healthy", JobOutcome::Success, 0},           // on virtual time, as all but the next
    {"healthy-real-time", JobOutcome::Success, 0}, // on the system clock, as a real device's
    {"write-fail", JobOutcome::DeviceFailed, 1},   // output report 5, in the code's data
    {"silent", JobOutcome::DeviceFailed, 1},       // no erase record within 30 s
    {"open-refused", JobOutcome::DeviceFailed, 1}, // "open ... failed: Permission denied"
};

class KeptRecordings : public ReplayTest, public ::testing::WithParamInterface<KeptCase> {};

TEST_P(KeptRecordings, ReplayThroughTheJobToTheirOutcomeAtTheirPace)
{
    const Recording recording = kept(GetParam().name);
    ASSERT_FALSE(recording.events.empty());
    const std::vector<std::string> statuses = recording.noteTexts("status");
    ASSERT_FALSE(statuses.empty());
    const Played played = play(recording, RECORDINGS / GetParam().name);
    EXPECT_EQ(played.outcome, GetParam().outcome);
    EXPECT_EQ(played.statuses, statuses);
    EXPECT_EQ(played.messages, recording.noteTexts("message"));
    EXPECT_EQ(played.violation, "");
    EXPECT_EQ(played.unplayed, "");
    EXPECT_EQ(played.matched, played.recorded);
    // At the recorded pace: within a millisecond, for the host's own waits may end a little
    // later than a real device's recording has them.
    EXPECT_LE(std::abs(played.endUs - recording.events.back().timeUs), 1000)
        << played.endUs << " us, recorded " << recording.events.back().timeUs << " us";
}

TEST_P(KeptRecordings, ReplayThroughQuarvoFlashToTheirExitStatus)
{
    const std::filesystem::path folder = RECORDINGS / GetParam().name;
    EXPECT_EQ(flash({"-C", folder.string(), "--simulate=replay:" + (folder / TRACE_NAME).string()}),
              GetParam().exitStatus)
        << err.str();
    EXPECT_EQ(printedLines(), kept(GetParam().name).noteTexts("status"));
    EXPECT_NE(out.str().find("played to its end: yes"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("protocol violations: none"), std::string::npos) << out.str();
}

INSTANTIATE_TEST_SUITE_P(Kept, KeptRecordings, ::testing::ValuesIn(KEPT), [](const auto& row) {
    std::string name = row.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

TEST(KeptRecordingsTable, NamesEveryFolderOfRecordings)
{
    for (const auto& entry : std::filesystem::directory_iterator(RECORDINGS)) {
        if (!entry.is_directory())
            continue;
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(std::any_of(std::begin(KEPT), std::end(KEPT),
                                [&](const KeptCase& c) { return name == c.name; }))
            << "tests/recordings/" << name << " has no row in KEPT";
        EXPECT_TRUE(std::filesystem::exists(entry.path() / TRACE_NAME)) << name;
    }
}

// One byte of an update file changed: the report that carries it is named, with the byte.
struct AlteredCase {
    const char* name;
    const char* file;
    std::size_t offset;  // in the file
    unsigned report;     // the output report that carries it (1 erase, 2 program, 3.. data)
    std::size_t byte;    // its place in that report, the report id being byte 0
    const char* context; // where the job says it failed
};

class AlteredUpdateFile : public ReplayTest, public ::testing::WithParamInterface<AlteredCase> {};

TEST_P(AlteredUpdateFile, FailsItsReplayNamingTheFirstDifferingReport)
{
    const AlteredCase& c = GetParam();
    for (const char* name : {CODE_FILE, DATABASE_FILE})
        std::filesystem::copy_file(RECORDINGS / "healthy" / name, dir / name);
    std::vector<std::uint8_t> bytes(std::filesystem::file_size(dir / c.file));
    std::ifstream(dir / c.file, std::ios::binary)
        .read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.at(c.offset) ^= 0xFF;
    writeFile(c.file, bytes);

    const Recording recording = kept("healthy");
    const auto sent = std::find_if(recording.events.begin(), recording.events.end(), [&](auto& e) {
        return e.kind == RecordedEvent::Kind::Out && e.number == c.report;
    });
    ASSERT_NE(sent, recording.events.end());
    const std::uint8_t expected = recording.reportBytes(*sent)[c.byte];
    const auto hex = [](unsigned value) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02x", value);
        return std::string(text);
    };
    const std::string named = "protocol violation: output report " + std::to_string(c.report) +
                              " differs from the recording at byte " + std::to_string(c.byte) +
                              ": expected " + hex(expected) + ", got " + hex(expected ^ 0xFFu) +
                              " (trace line " + std::to_string(sent->line) + ")";

    const Played played = play(recording, dir);
    EXPECT_EQ(played.outcome, JobOutcome::DeviceFailed);
    EXPECT_EQ(played.violation, named);
    EXPECT_EQ(played.detail.find(c.context), 0u) << played.detail;
    EXPECT_NE(played.detail.find(std::string("write failed: ") + named), std::string::npos)
        << played.detail;
    EXPECT_EQ(played.matched, c.report - 1);
    ASSERT_FALSE(played.statuses.empty());
    EXPECT_EQ(played.statuses.back(), text::REGION_WRITE_FAILED);

    // quarvo-flash fails with it on its technical line and lists it in the summary.
    const std::string trace = (RECORDINGS / "healthy" / TRACE_NAME).string();
    EXPECT_EQ(flash({"-C", dir.string(), "--simulate=replay:" + trace}), 1);
    EXPECT_NE(err.str().find(named), std::string::npos) << err.str();
    const std::string listed = "protocol violations: \n    " +
                               named.substr(std::string_view("protocol violation: ").size());
    EXPECT_NE(out.str().find(listed), std::string::npos) << out.str();
}

INSTANTIATE_TEST_SUITE_P(
    Files, AlteredUpdateFile,
    ::testing::Values(AlteredCase{"code", CODE_FILE, 100, 4, 37, "code at 0xA000: data report 2"},
                      // The database goes out transformed; a changed byte still changes its report.
                      AlteredCase{"database", DATABASE_FILE, 200, 26, 9,
                                  "database at 0x640000: data report 4"}),
    [](const auto& row) { return std::string(row.param.name); });

// The recording changed instead of the host: what the host does otherwise is named, or, where it
// stops before the recording does, what of the recording it left unplayed.
struct ChangedCase {
    const char* name;
    std::function<void(Recording&)> change;
    JobOutcome outcome;
    const char* violation; // how it starts; empty: none
    const char* unplayed;  // how it starts; empty: played to the end
};

class ChangedRecording : public ReplayTest, public ::testing::WithParamInterface<ChangedCase> {};

TEST_P(ChangedRecording, EndsTheReplayWhereTheHostDiffers)
{
    writeSmallUpdate();
    Recording recording = kept("healthy");
    GetParam().change(recording);
    const Played played = play(std::move(recording), dir);
    EXPECT_EQ(played.outcome, GetParam().outcome);
    EXPECT_EQ(played.violation.rfind(GetParam().violation, 0), 0u) << played.violation;
    if (*GetParam().violation) {
        EXPECT_NE(played.detail.find(played.violation), std::string::npos) << played.detail;
    }
    EXPECT_EQ(played.unplayed.rfind(GetParam().unplayed, 0), 0u) << played.unplayed;
    EXPECT_EQ(played.unplayed.empty(), *GetParam().unplayed == '\0') << played.unplayed;
}

// The events of `recording` of one kind, in order.
std::vector<RecordedEvent*> eventsOf(Recording& recording, RecordedEvent::Kind kind)
{
    std::vector<RecordedEvent*> found;
    for (RecordedEvent& event : recording.events)
        if (event.kind == kind)
            found.push_back(&event);
    return found;
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ChangedRecording,
    ::testing::Values(
        ChangedCase{
            "cut_after_report_10",
            [](Recording& r) {
                const RecordedEvent* tenth = eventsOf(r, RecordedEvent::Kind::Out)[9];
                r.events.erase(r.events.begin() + (tenth - r.events.data()) + 1, r.events.end());
            },
            JobOutcome::DeviceFailed,
            "protocol violation: the host sent output report 11 after the recording's end", ""},
        ChangedCase{"device_back_under_another_path",
                    [](Recording& r) {
                        const auto opens = eventsOf(r, RecordedEvent::Kind::Open);
                        for (std::size_t i = 2; i < opens.size(); ++i)
                            opens[i]->path = "/dev/hidraw" + std::to_string(i);
                    },
                    JobOutcome::Success, "", ""},
        ChangedCase{"link_kept_for_the_program",
                    [](Recording& r) {
                        // The recorded host sent the program command on the erase's link.
                        RecordedEvent* close = eventsOf(r, RecordedEvent::Kind::Close)[0];
                        RecordedEvent* open = eventsOf(r, RecordedEvent::Kind::Open)[1];
                        RecordedEvent* e = open;
                        for (; e->kind != RecordedEvent::Kind::Close; ++e)
                            e->link = close->link;
                        e->link = close->link;
                        r.events.erase(r.events.begin() + (open - r.events.data()));
                        r.events.erase(r.events.begin() + (close - r.events.data()));
                    },
                    JobOutcome::DeviceFailed,
                    "protocol violation: the host closed link 1 where the recording has output "
                    "report 2 (trace line ",
                    "the recording goes on with output report 2"},
        ChangedCase{"record_left_unread",
                    [](Recording& r) {
                        // The recorded host read one more record after "over".
                        const RecordedEvent* over = eventsOf(r, RecordedEvent::Kind::In)[1];
                        RecordedEvent more = *over;
                        more.number = 3;
                        r.events.insert(r.events.begin() + (over - r.events.data()) + 1, more);
                    },
                    JobOutcome::DeviceFailed,
                    "protocol violation: the host closed link 1 where the recording has input "
                    "report 3 (trace line ",
                    "the recording goes on with input report 3"},
        ChangedCase{"erase_never_ends",
                    [](Recording& r) {
                        // Without "over" the host waits out its bound, fails and stops there.
                        const RecordedEvent* over = eventsOf(r, RecordedEvent::Kind::In)[1];
                        r.events.erase(r.events.begin() + (over - r.events.data()));
                    },
                    JobOutcome::DeviceFailed, "", "the recording goes on with the open of sim:0"}),
    [](const auto& row) { return std::string(row.param.name); });

// The device's first erase record delayed: the host waits for it up to its bound and no longer.
struct PaceCase {
    const char* name;
    std::int64_t delayUs;
    JobOutcome outcome;
};

class RecordedPace : public ReplayTest, public ::testing::WithParamInterface<PaceCase> {};

TEST_P(RecordedPace, HoldsTheHostsWaitsToTheirBounds)
{
    writeSmallUpdate();
    Recording recording = kept("healthy");
    const auto first = eventsOf(recording, RecordedEvent::Kind::In)[0];
    for (auto it = recording.events.begin() + (first - recording.events.data());
         it != recording.events.end(); ++it)
        it->timeUs += GetParam().delayUs;
    const std::int64_t recordedEndUs = recording.events.back().timeUs;
    const Played played = play(std::move(recording), dir);
    EXPECT_EQ(played.outcome, GetParam().outcome);
    if (GetParam().outcome == JobOutcome::Success) {
        EXPECT_EQ(played.endUs, recordedEndUs);
        EXPECT_EQ(played.violation, "");
    } else {
        // Given up after one record's bound; the record it did not wait for is named.
        EXPECT_EQ(played.endUs, std::int64_t{ERASE_RECORD_TIMEOUT_MS} * 1000);
        EXPECT_EQ(played.statuses.at(1), text::ERASE_READ_ERROR);
        EXPECT_EQ(played.violation.rfind("protocol violation: the host closed link 1 where the "
                                         "recording has input report 1",
                                         0),
                  0u)
            << played.violation;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Delays, RecordedPace,
    ::testing::Values(PaceCase{"within_the_bound", 29000000, JobOutcome::Success},
                      PaceCase{"past_the_bound", 31000000, JobOutcome::DeviceFailed}),
    [](const auto& row) { return std::string(row.param.name); });

// Every scenario of the device model, recorded by quarvo-flash and replayed by it: the same exit
// status, the same lines on both streams, the whole recording played and nothing that differs.
class RecordedScenarios : public ReplayTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(RecordedScenarios, ReplayToTheSameEnd)
{
    const ScenarioInfo& info = scenarioCatalogue()[GetParam()];
    writeSmallUpdate();
    const std::string scenario = std::string(info.name) + (info.takesCount ? ":3" : "");
    const std::string trace = (dir / "scenario.trace").string();
    // With a wait, so that the device's coming (late:3) and the listings are played too.
    const int recorded =
        flash({"-C", dir.string(), "--wait=5", "--simulate=" + scenario, "--trace", trace});
    const std::vector<std::string> lines = printedLines();
    const std::string errors = err.str();
    // A run that never reached the device's steps (no device within the wait) has no summary.
    const bool summed = out.str().find("\nSimulated device:") != std::string::npos;
    ASSERT_FALSE(lines.empty());

    EXPECT_EQ(flash({"-C", dir.string(), "--wait=5", "--simulate=replay:" + trace}), recorded)
        << scenario;
    EXPECT_EQ(printedLines(), lines);
    EXPECT_EQ(err.str(), errors);
    if (summed) {
        EXPECT_NE(out.str().find("played to its end: yes"), std::string::npos) << out.str();
        EXPECT_NE(out.str().find("protocol violations: none"), std::string::npos) << out.str();
    }
}

INSTANTIATE_TEST_SUITE_P(All, RecordedScenarios,
                         ::testing::Range(std::size_t{0}, scenarioCatalogue().size()),
                         [](const auto& row) {
                             std::string name = scenarioCatalogue()[row.param].name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// What quarvo-flash refuses before anything is sent, with exit status 2.
struct RefusalCase {
    const char* name;
    const char* trace; // the recording's file, in the test's folder ("" : the folder itself)
    const char* contents;
    bool traceIntoIt; // --trace names the recording too
    const char* said;
    // Writes the recording in place of `contents` (one too large to compare afterwards).
    std::function<void(const std::filesystem::path&)> make = {};
};

class ReplayRefusals : public ReplayTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(ReplayRefusals, AreUsageErrors)
{
    const RefusalCase& c = GetParam();
    writeSmallUpdate();
    const std::filesystem::path trace = dir / c.trace;
    if (c.make)
        c.make(trace);
    else if (*c.contents)
        std::ofstream(trace, std::ios::binary) << c.contents;
    std::vector<std::string> args = {"-C", dir.string(), "--simulate=replay:" + trace.string()};
    if (c.traceIntoIt)
        args.insert(args.end(), {"--trace", trace.string()});
    EXPECT_EQ(flash(args), 2);
    EXPECT_NE(err.str().find(c.said), std::string::npos) << err.str();
    EXPECT_EQ(out.str().find(text::ERASING), std::string::npos);
    if (*c.contents) {
        // The recording is left as it was.
        std::ostringstream kept;
        kept << std::ifstream(trace, std::ios::binary).rdbuf();
        EXPECT_EQ(kept.str(), c.contents);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplayRefusals,
    ::testing::Values(RefusalCase{"missing", "none.trace", "", false, "cannot replay "},
                      RefusalCase{"folder", "", "", false, "cannot replay "},
                      RefusalCase{"unreadable_line", "bad.trace",
                                  "0.000000 enumerate 1 interfaces\nopen sim:0\n", false,
                                  ": line 2: no time stamp"},
                      RefusalCase{"traced_into", "good.trace", "0.000000 enumerate 0 interfaces\n",
                                  true, "is the recording being replayed; nothing was sent"},
                      // Refused by its size, before it is read (the file holds no data).
                      RefusalCase{"too_large", "large.trace", "", false,
                                  "536870913 bytes, larger than 512 MiB, the most a recording "
                                  "may hold",
                                  [](const std::filesystem::path& path) {
                                      std::ofstream(path, std::ios::binary).close();
                                      std::filesystem::resize_file(path,
                                                                   RECORDING_SIZE_LIMIT_BYTES + 1);
                                  }},
                      // One line without an end: refused once it has passed the line's limit.
                      RefusalCase{"endless_line", "line.trace", "", false,
                                  ": line 1: longer than 64 KiB, the most a trace line may hold",
                                  [](const std::filesystem::path& path) {
                                      std::ofstream(path, std::ios::binary)
                                          << std::string(RECORDING_SIZE_LIMIT_BYTES / 64, '0');
                                  }}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(ReplayTest, HelpAndUsageErrorsNameTheReplay)
{
    EXPECT_EQ(flash({"--help"}), 0);
    EXPECT_NE(out.str().find("  replay:TRACE      "), std::string::npos) << out.str();
    EXPECT_EQ(flash({"--simulate=replay"}), 2);
    EXPECT_NE(err.str().find("scenario 'replay' needs :TRACE"), std::string::npos) << err.str();
    EXPECT_EQ(flash({"--simulate=replay:x.trace", "--pace=20,1"}), 2);
    EXPECT_NE(err.str().find("the recording keeps its own pace"), std::string::npos) << err.str();
}

TEST(ReplayBackendOpens, APathTheRecordingDidNotOpenFailsTheLinksTransfers)
{
    std::istringstream trace("0.000000 enumerate 1 interfaces\n"
                             "0.000000 open /dev/a\n"
                             "0.000000 close\n");
    Recording recording;
    std::string error;
    ASSERT_TRUE(parseRecording(trace, recording, error)) << error;
    VirtualClock clock;
    ReplayBackend replay(clock, std::move(recording));
    const auto listed = replay.enumerate(VENDOR_ID, PRODUCT_ID);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].path, "/dev/a");
    const auto link = replay.open("/dev/b", error);
    ASSERT_NE(link, nullptr);
    const std::string named =
        "protocol violation: the host opened /dev/b where the recording has the open of /dev/a "
        "(trace line 2)";
    Report report{};
    EXPECT_EQ(link->write(report.data(), report.size()), -1);
    EXPECT_EQ(link->error(), named);
    EXPECT_EQ(link->read(report.data(), report.size(), 1000), -1);
    EXPECT_EQ(link->error(), named);
    EXPECT_EQ(replay.violation(), named);
    EXPECT_EQ(clock.nowUs(), 0); // nothing waited for
}

TEST(ReplayBackendPace, PlaysADamagedRecordingsGapAtMostAnHourLater)
{
    std::istringstream trace("0.000000 open a\n"
                             "0.000000 out [1] 00\n"
                             "999999999.000000 out [1] 01\n");
    Recording recording;
    std::string error;
    ASSERT_TRUE(parseRecording(trace, recording, error)) << error;
    VirtualClock clock;
    ReplayBackend replay(clock, std::move(recording));
    const auto link = replay.open("a", error);
    ASSERT_NE(link, nullptr);
    for (std::uint8_t byte : {std::uint8_t{0}, std::uint8_t{1}}) {
        EXPECT_EQ(link->write(&byte, 1), 1) << link->error();
    }
    EXPECT_EQ(clock.nowUs(), REPLAY_GAP_LIMIT_US);
}

// An hour in a recording before one of the host's calls, replayed to a host that spends its own
// time (as on the system clock; here on a virtual one, to see how long each call held it). A
// listing, an open or a close is done when the host makes it; a write waits for a busy device at
// most as long as a transport holds a report, a read at most its time-out. What the device does
// keeps its time: a device that appears, an answer that comes, comes that long after the host's
// last call.
struct HeldCase {
    const char* name;
    const char* trace;
    // The host's calls, the one after the gap among them; checks what each returned.
    std::function<void(ReplayBackend&, Clock&)> host;
    std::int64_t endUs; // the virtual clock after them, the host's own waits included
};

class ReplayBackendHolds : public ::testing::TestWithParam<HeldCase> {};

TEST_P(ReplayBackendHolds, TheHostNoLongerThanItsOwnCallWould)
{
    std::istringstream trace(GetParam().trace);
    Recording recording;
    std::string error;
    ASSERT_TRUE(parseRecording(trace, recording, error)) << error;
    VirtualClock clock;
    ReplayBackend replay(clock, std::move(recording), HostTime::Spent);
    GetParam().host(replay, clock);
    EXPECT_EQ(clock.nowUs(), GetParam().endUs);
    EXPECT_EQ(replay.violation(), "");
}

constexpr std::int64_t HOUR_US = std::int64_t{3600} * 1000000;

std::unique_ptr<HidConnection> openAs(ReplayBackend& replay, const std::string& path)
{
    std::string error;
    auto link = replay.open(path, error);
    EXPECT_NE(link, nullptr) << error;
    return link;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ReplayBackendHolds,
    ::testing::Values(
        HeldCase{"first_listing", "3600.000000 enumerate 1 interfaces\n3600.000000 open a\n",
                 [](ReplayBackend& r, Clock&) {
                     EXPECT_EQ(r.enumerate(VENDOR_ID, PRODUCT_ID).size(), 1u);
                     openAs(r, "a");
                 },
                 0},
        HeldCase{"device_that_appears",
                 "0.000000 enumerate 0 interfaces\n"
                 "0.000000 enumerate 0 interfaces\n"
                 "3600.000000 enumerate 1 interfaces\n"
                 "3600.000000 open a\n",
                 [](ReplayBackend& r, Clock& clock) {
                     EXPECT_EQ(r.enumerate(VENDOR_ID, PRODUCT_ID).size(), 0u);
                     EXPECT_EQ(r.enumerate(VENDOR_ID, PRODUCT_ID).size(), 0u);
                     EXPECT_EQ(r.enumerate(VENDOR_ID, PRODUCT_ID).size(), 0u);
                     clock.sleepUntilUs(HOUR_US); // the host's own wait
                     EXPECT_EQ(r.enumerate(VENDOR_ID, PRODUCT_ID).size(), 1u);
                     openAs(r, "a");
                 },
                 HOUR_US},
        HeldCase{"open", "0.000000 enumerate 1 interfaces\n3600.000000 open a\n",
                 [](ReplayBackend& r, Clock&) {
                     r.enumerate(VENDOR_ID, PRODUCT_ID);
                     openAs(r, "a");
                 },
                 0},
        HeldCase{"failed_open",
                 "0.000000 enumerate 1 interfaces\n3600.000000 open a failed: Permission denied\n",
                 [](ReplayBackend& r, Clock&) {
                     r.enumerate(VENDOR_ID, PRODUCT_ID);
                     std::string error;
                     EXPECT_EQ(r.open("a", error), nullptr);
                     EXPECT_EQ(error, "Permission denied");
                 },
                 0},
        HeldCase{"close", "0.000000 open a\n3600.000000 close\n",
                 [](ReplayBackend& r, Clock&) { openAs(r, "a").reset(); }, 0},
        HeldCase{"write_to_a_busy_device", "0.000000 open a\n3600.000000 out [1] 00\n",
                 [](ReplayBackend& r, Clock&) {
                     const std::uint8_t byte = 0;
                     EXPECT_EQ(openAs(r, "a")->write(&byte, 1), 1);
                 },
                 std::int64_t{DEVICE_WRITE_BOUND_MS} * 1000},
        // A gap no device could take, nor a clock hold: still the transport's bound.
        HeldCase{"write_after_a_damaged_gap",
                 "0.000000 open a\n0.000000 out [1] 00\n999999999.000000 out [1] 01\n",
                 [](ReplayBackend& r, Clock&) {
                     const auto link = openAs(r, "a");
                     for (std::uint8_t byte : {std::uint8_t{0}, std::uint8_t{1}}) {
                         EXPECT_EQ(link->write(&byte, 1), 1) << link->error();
                     }
                 },
                 std::int64_t{DEVICE_WRITE_BOUND_MS} * 1000},
        HeldCase{"answer_an_hour_later",
                 "0.000000 open a\n0.000000 out [1] 00\n3600.000000 in [1] 00\n",
                 [](ReplayBackend& r, Clock& clock) {
                     const auto link = openAs(r, "a");
                     std::uint8_t byte = 0;
                     EXPECT_EQ(link->write(&byte, 1), 1);
                     EXPECT_EQ(link->read(&byte, 1, 50), 0); // nothing within the time-out
                     clock.sleepUntilUs(HOUR_US);
                     EXPECT_EQ(link->read(&byte, 1, 50), 1) << link->error();
                 },
                 HOUR_US}),
    [](const auto& row) { return std::string(row.param.name); });

// The tester's case on the system clock: a recording made on virtual time, an hour put before its
// first listing, replayed at real pace, runs at once to its end.
TEST_F(ReplayTest, AtRealPaceAnHourBeforeTheFirstListingHoldsNothing)
{
    for (const char* name : {CODE_FILE, DATABASE_FILE})
        std::filesystem::copy_file(RECORDINGS / "healthy" / name, dir / name);
    std::ifstream kept(RECORDINGS / "healthy" / TRACE_NAME, std::ios::binary);
    std::ofstream shifted(dir / TRACE_NAME, std::ios::binary);
    bool listed = false;
    for (std::string line; std::getline(kept, line);) {
        listed = listed || line.find(" enumerate ") != std::string::npos;
        if (listed && !line.empty() && line.front() != '#') {
            const auto dot = line.find('.');
            line = std::to_string(std::stoll(line.substr(0, dot)) + 3600) + line.substr(dot);
        }
        shifted << line << '\n';
    }
    shifted.close();
    ASSERT_TRUE(listed);
    EXPECT_EQ(flash({"-C", dir.string(), "--real-time",
                     "--simulate=replay:" + (dir / TRACE_NAME).string()}),
              0)
        << err.str();
    EXPECT_NE(out.str().find("played to its end: yes"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("protocol violations: none"), std::string::npos) << out.str();
}

TEST(RecordingParser, ReadsEveryKindOfLine)
{
    std::istringstream trace("# made by hand\r\n"
                             "\n"
                             "0.000000 step 1 of 6: code erase\n"
                             "0.000000 enumerate 2 interfaces\r\n"
                             "0.000001 open /dev/a failed: Permission denied\n"
                             "0.000002 open sim:1\n"
                             "0.000003 out [3] 00 01 ff\n"
                             "0.000004 out failed (write failed (simulated)) 00 02\n"
                             "0.000005 out [0] 00 03\n"
                             "0.000006 in [2] 00 64\n"
                             "0.000007 in failed (device disconnected)\n"
                             "12.500000 status done\n"
                             "12.500000 close\n");
    Recording r;
    std::string error;
    ASSERT_TRUE(parseRecording(trace, r, error)) << error;
    using Kind = RecordedEvent::Kind;
    ASSERT_EQ(r.events.size(), 9u);
    EXPECT_EQ(r.events[0].kind, Kind::Enumerate);
    EXPECT_EQ(r.events[0].count, 2);
    EXPECT_EQ(r.events[0].line, 4u);
    EXPECT_EQ(r.events[1].path, "/dev/a");
    EXPECT_EQ(r.events[1].count, -1);
    EXPECT_EQ(r.events[1].reason, "Permission denied");
    EXPECT_EQ(r.events[2].link, 1u);
    EXPECT_EQ(r.events[3].count, 3);
    EXPECT_EQ(r.events[3].number, 1u);
    EXPECT_EQ(std::vector(r.reportBytes(r.events[3]).begin(), r.reportBytes(r.events[3]).end()),
              (std::vector<std::uint8_t>{0x00, 0x01, 0xFF}));
    EXPECT_EQ(r.events[4].count, -1);
    EXPECT_EQ(r.events[4].reason, "write failed (simulated)");
    EXPECT_EQ(r.reportBytes(r.events[4]).size(), 2u);
    EXPECT_EQ(r.events[5].count, 0);
    EXPECT_EQ(r.events[6].kind, Kind::In);
    EXPECT_EQ(r.events[7].reason, "device disconnected");
    EXPECT_EQ(r.events[8].kind, Kind::Close);
    EXPECT_EQ(r.events[8].timeUs, 12500000);
    EXPECT_EQ(r.noteTexts("status"), std::vector<std::string>{"done"});
    EXPECT_EQ(r.noteTexts("step"), std::vector<std::string>{"1 of 6: code erase"});
}

// Lines as long as a line may be, with and without a line end, and a recording as large as
// one may be, are read.
TEST(RecordingParser, TakesLinesAndRecordingsUpToTheirLimits)
{
    // Built by appending: GCC 12 warns wrongly (-Wrestrict) about operator+ on a literal.
    std::string comment(RECORDING_LINE_LIMIT_BYTES, 'x');
    comment.front() = '#';
    const std::string withoutLastEnd =
        std::string(comment).append("\n0.000000 open a\n").append(comment);
    const std::string withCrLf = std::string(comment).append("\r\n0.000000 open a\n");
    for (const std::string& text : {withoutLastEnd, withCrLf}) {
        std::istringstream trace(text);
        Recording recording;
        std::string error;
        EXPECT_TRUE(parseRecording(trace, recording, error, text.size())) << error;
        EXPECT_EQ(recording.events.size(), 1u);
    }
}

struct BadLineCase {
    const char* name;
    std::string trace;
    const char* error;
    std::uintmax_t sizeLimit = RECORDING_SIZE_LIMIT_BYTES;
};

class RecordingParserRefuses : public ::testing::TestWithParam<BadLineCase> {};

TEST_P(RecordingParserRefuses, NamesTheLineAndWhy)
{
    std::istringstream trace(GetParam().trace);
    Recording recording;
    std::string error;
    EXPECT_FALSE(parseRecording(trace, recording, error, GetParam().sizeLimit));
    EXPECT_EQ(error.rfind(GetParam().error, 0), 0u) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RecordingParserRefuses,
    ::testing::Values(
        BadLineCase{"no_stamp", "open sim:0\n", "line 1: no time stamp"},
        BadLineCase{"short_stamp", "0.0001 close\n", "line 1: no time stamp"},
        BadLineCase{"negative_stamp", "-1.000000 close\n", "line 1: no time stamp"},
        BadLineCase{"listing", "0.000000 enumerate some interfaces\n", "line 1: a listing"},
        BadLineCase{"report_off_link", "0.000000 out [1] 00\n", "line 1: a report while no link"},
        BadLineCase{"close_off_link", "0.000000 close\n", "line 1: a close while no link"},
        BadLineCase{"hex", "0.000000 open a\n0.000000 out [2] 00 0g\n", "line 2: a report's bytes"},
        BadLineCase{"hex_spacing", "0.000000 open a\n0.000000 in [2] 00  01\n",
                    "line 2: a report's bytes"},
        BadLineCase{"input_count", "0.000000 open a\n0.000000 in [3] 00 01\n",
                    "line 2: an input report's count"},
        BadLineCase{"empty_input", "0.000000 open a\n0.000000 in [0]\n",
                    "line 2: an input report's count"},
        BadLineCase{"count", "0.000000 open a\n0.000000 out 65 00\n", "line 2: a report's byte"},
        BadLineCase{"failed_input", "0.000000 open a\n0.000000 in failed (x) 00\n",
                    "line 2: a failed input report"},
        BadLineCase{"open_without_path", "0.000000 open\n", "line 1: an open without a path"},
        // A path or reason the replay would print: no escape sequences for the terminal.
        BadLineCase{"escape", "0.000000 open \x1b[2J\n", "line 1: byte 15 is not printable"},
        BadLineCase{"c1_control",
                    "0.000000 open \xc2\x9b"
                    "2J\n",
                    "line 1: byte 15 is not printable"},
        BadLineCase{"not_utf8", "0.000000 open \xff\n", "line 1: byte 15 is not printable"},
        BadLineCase{"long_line",
                    "0.000000 open a\n0.000000 out [1] 00" +
                        std::string(RECORDING_LINE_LIMIT_BYTES, ' ') + "\n",
                    "line 2: longer than 64 KiB, the most a trace line may hold"},
        BadLineCase{"long_last_line",
                    "0.000000 open a\n#" + std::string(RECORDING_LINE_LIMIT_BYTES, 'x'),
                    "line 2: longer than 64 KiB, the most a trace line may hold"},
        // A stream that goes on past the size a recording may have (a file still growing).
        BadLineCase{"too_much", "0.000000 open a\n0.000000 close\n0.000000 open a\n",
                    "larger than 32 bytes, the most a recording may hold", 32}),
    [](const auto& row) { return std::string(row.param.name); });

struct ReplayParseCase {
    const char* name;
    const char* text;
    ScenarioSet set;
    bool parses;
    const char* recording;
};

class ReplayScenarioParsing : public ::testing::TestWithParam<ReplayParseCase> {};

TEST_P(ReplayScenarioParsing, CarriesThePath)
{
    const auto parsed = parseScenario(GetParam().text, GetParam().set);
    ASSERT_EQ(parsed.has_value(), GetParam().parses);
    if (parsed) {
        EXPECT_EQ(parsed->fault, Fault::Replay);
        EXPECT_EQ(parsed->recording, GetParam().recording);
        EXPECT_EQ(parsed->name(), GetParam().text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReplayScenarioParsing,
    ::testing::Values(
        ReplayParseCase{"path", "replay:a.trace", ScenarioSet::WithReplay, true, "a.trace"},
        ReplayParseCase{"drive_path", "replay:C:\\t\\a.trace", ScenarioSet::WithReplay, true,
                        "C:\\t\\a.trace"},
        ReplayParseCase{"no_path", "replay", ScenarioSet::WithReplay, false, ""},
        ReplayParseCase{"empty_path", "replay:", ScenarioSet::WithReplay, false, ""},
        // A front end that runs only the device model does not take it for a healthy device.
        ReplayParseCase{"device_model", "replay:a.trace", ScenarioSet::DeviceModel, false, ""}),
    [](const auto& row) { return std::string(row.param.name); });

} // namespace
} // namespace quarvo
