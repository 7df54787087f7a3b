// The update files on their way in: checked against a SHA256SUMS beside them, and waited for while
// they are still being written.
#include "job_fixture.h"

#include "frontend/history.h"
#include "frontend/update_run.h"
#include "job/flash_job.h"
#include "job/checksum_list.h"
#include "job/file_texts.h"
#include "job/settle_watch.h"
#include "job/sha256.h"
#include "protocol/texts.h"

#include <cctype>
#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>

namespace quarvo {
namespace {

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// ---- SHA256SUMS ----

const std::string WRONG = "9a" + std::string(62, '0');

struct SumsCase {
    const char* name;
    const char* sums; // with {code}, {CODE}, {database} and {wrong} for digests; null: no file
    JobOutcome outcome;
    const char* message; // the box; null: none
    const char* detail;  // with the same names; null: success
};
class ChecksumListBeside : public JobFixture, public ::testing::TestWithParam<SumsCase> {
protected:
    std::string withDigests(const char* text) const
    {
        std::string filled = replaced(text, "{code}", sha256Hex(code));
        filled = replaced(filled, "{CODE}", upper(sha256Hex(code)));
        filled = replaced(filled, "{database}", sha256Hex(database));
        return replaced(filled, "{wrong}", WRONG);
    }

    const std::vector<std::uint8_t> code = pattern(300, 1);
    const std::vector<std::uint8_t> database = pattern(200, 2);
};

TEST_P(ChecksumListBeside, DecidesWhetherTheFilesAreSent)
{
    const auto& c = GetParam();
    SimDevice& device = attach();
    writeFile(CODE_FILE, code);
    writeFile(DATABASE_FILE, database);
    if (c.sums)
        std::ofstream(dir / "SHA256SUMS", std::ios::binary) << withDigests(c.sums);

    UpdateFiles files;
    JobOutcome outcome = loadUpdateFiles(ctx, dir, files, settledLoadHooks());
    if (outcome == JobOutcome::Success)
        outcome = flashUpdate(ctx, files);

    EXPECT_EQ(outcome, c.outcome) << ctx.detail;
    EXPECT_EQ(out.messages(),
              c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    if (c.detail) {
        EXPECT_EQ(ctx.detail, withDigests(c.detail));
        EXPECT_EQ(device.linksOpened(), 0u);
        return;
    }
    EXPECT_TRUE(device.restarted());
    // What was checked and sent is what is recorded.
    EXPECT_EQ(files.code.sha256, sha256Hex(code));
    EXPECT_EQ(files.database.sha256, sha256Hex(database));
    EXPECT_EQ(files.code.checked, c.sums != nullptr);
    EXPECT_EQ(files.database.checked, c.sums != nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChecksumListBeside,
    ::testing::Values(
        SumsCase{"absent", nullptr, JobOutcome::Success, nullptr, nullptr},
        SumsCase{"matching", "{code}  code_data.bin\n{database}  car_data.bin\n",
                 JobOutcome::Success, nullptr, nullptr},
        SumsCase{
            "matching_from_windows_among_others",
            "{wrong} *readme.txt\r\n\r\n{database} *car_data.bin\r\n{CODE} *./code_data.bin\r\n",
            JobOutcome::Success, nullptr, nullptr},
        SumsCase{"database_differs", "{code}  code_data.bin\n{wrong}  car_data.bin\n",
                 JobOutcome::InputRefused, text::MISSING_DATABASE,
                 "car_data.bin: its SHA-256 is {database}, SHA256SUMS says {wrong}"},
        SumsCase{"code_differs", "{wrong}  code_data.bin\n{database}  car_data.bin\n",
                 JobOutcome::InputRefused, text::MISSING_CODE,
                 "code_data.bin: its SHA-256 is {code}, SHA256SUMS says {wrong}"},
        SumsCase{"code_also_listed_wrongly",
                 "{code}  code_data.bin\n{database}  car_data.bin\n"
                 "{wrong}  code_data.bin\n",
                 JobOutcome::InputRefused, text::MISSING_CODE,
                 "code_data.bin: its SHA-256 is {code}, SHA256SUMS says {wrong}"},
        SumsCase{"code_not_listed", "{database}  car_data.bin\n", JobOutcome::InputRefused,
                 text::MISSING_CODE, "SHA256SUMS does not list code_data.bin"},
        SumsCase{"database_not_listed", "{code}  code_data.bin\n{database}  old/car_data.bin\n",
                 JobOutcome::InputRefused, text::MISSING_DATABASE,
                 "SHA256SUMS does not list car_data.bin"},
        SumsCase{"empty", "", JobOutcome::InputRefused, text::MISSING_CODE,
                 "SHA256SUMS does not list code_data.bin"},
        SumsCase{"malformed", "{code}  code_data.bin\n{database}  car_data.bin\nnot a checksum\n",
                 JobOutcome::InputRefused, text::CHECKSUM_LIST_UNUSABLE,
                 "SHA256SUMS line 3: not a checksum line"}),
    [](const auto& row) { return std::string(row.param.name); });

class UnusableChecksumList : public JobFixture, public ::testing::Test {};

TEST_F(UnusableChecksumList, ThatCannotBeReadOrIsTooLargeIsRefusedWithNothingSent)
{
    SimDevice& device = attach();
    writeFile(CODE_FILE, pattern(300, 1));
    writeFile(DATABASE_FILE, pattern(200, 2));
    const auto sums = dir / "SHA256SUMS";
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { std::filesystem::create_directory(sums); }, "SHA256SUMS: is a directory"},
        {[&] {
             std::filesystem::remove_all(sums);
             std::ofstream(sums, std::ios::binary) << std::string(MAX_CHECKSUM_LIST_SIZE + 1, '\n');
         },
         "SHA256SUMS is larger than 1048576 bytes, too large for a list of checksums"},
    };
    for (const auto& [make, detail] : cases) {
        make();
        out.calls.clear();
        UpdateFiles files;
        EXPECT_EQ(loadUpdateFiles(ctx, dir, files, settledLoadHooks()), JobOutcome::InputRefused);
        EXPECT_EQ(ctx.detail, detail);
        EXPECT_EQ(out.messages(), std::vector<std::string>{text::CHECKSUM_LIST_UNUSABLE});
    }
    EXPECT_EQ(device.linksOpened(), 0u);
}

// A download cut short is refused by its checksum, not flashed.
TEST_F(UnusableChecksumList, ATruncatedDownloadIsRefusedByItsChecksum)
{
    SimDevice& device = attach();
    const auto database = pattern(5000, 2);
    writeFile(CODE_FILE, pattern(300, 1));
    writeFile(DATABASE_FILE, {database.begin(), database.begin() + 4096});
    std::ofstream(dir / "SHA256SUMS") << sha256Hex(pattern(300, 1)) << "  code_data.bin\n"
                                      << sha256Hex(database) << "  car_data.bin\n";
    UpdateFiles files;
    EXPECT_EQ(loadUpdateFiles(ctx, dir, files, settledLoadHooks()), JobOutcome::InputRefused);
    EXPECT_NE(ctx.detail.find("car_data.bin: its SHA-256 is "), std::string::npos) << ctx.detail;
    EXPECT_EQ(device.linksOpened(), 0u);
}

// The record of an update keeps each file's checksum, and whether a SHA256SUMS vouched for them.
TEST_F(UnusableChecksumList, TheUpdatesRecordSaysWhatWasCheckedAndEachFilesChecksum)
{
    attach();
    const auto code = pattern(300, 1);
    const auto database = pattern(200, 2);
    writeFile(CODE_FILE, code);
    writeFile(DATABASE_FILE, database);
    const History history(dir / "state" / "history.jsonl");
    RunSetup setup{backend};
    setup.history = &history;
    UpdateRun run(setup);
    for (const bool listed : {false, true}) {
        if (listed)
            std::ofstream(dir / "SHA256SUMS") << sha256Hex(code) << "  code_data.bin\n"
                                              << sha256Hex(database) << "  car_data.bin\n";
        JobRequest request;
        request.directory = dir;
        request.holdSystem = false;
        request.loadHooks = settledLoadHooks();
        ASSERT_TRUE(run.start(std::move(request)));
        while (!run.snapshot().end)
            run.waitForChange(100);
        EXPECT_EQ(run.snapshot().end->outcome, JobOutcome::Success);
    }
    std::string error;
    const auto records = history.read(error);
    ASSERT_TRUE(records) << error;
    ASSERT_EQ(records->size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const HistoryRecord record = HistoryRecord::fromJson((*records)[i]).value();
        EXPECT_EQ(record.checked, i == 0 ? "unchecked" : "SHA256SUMS");
        ASSERT_EQ(record.files.size(), 2u);
        EXPECT_EQ(record.files[0].name, CODE_FILE);
        EXPECT_EQ(record.files[0].sha256, sha256Hex(code));
        EXPECT_EQ(record.files[1].sha256, sha256Hex(database));
    }
}

// ---- files still being written ----

// A virtual clock that lets a test act each time the job sleeps, that is between two of its looks
// at the files: a writer that goes on writing, a file renamed into place.
class SteppingClock final : public Clock {
public:
    std::int64_t nowUs() override { return m_time.nowUs(); }
    void sleepUntilUs(std::int64_t timeUs) override
    {
        m_time.sleepUntilUs(timeUs);
        ++sleeps;
        if (step)
            step(sleeps);
    }

    std::function<void(unsigned)> step;
    unsigned sleeps = 0;

private:
    VirtualClock m_time;
};

class SettleWait : public JobFixture, public ::testing::Test {
protected:
    // Hooks under which both files were last changed `ageMs` before the wait begins.
    LoadHooks changedAgo(std::int64_t ageMs) const
    {
        std::int64_t latestUs = 0;
        for (const char* name : {CODE_FILE, DATABASE_FILE}) {
            FileStamp stamp;
            std::string reason;
            EXPECT_TRUE(stampPath(dir / name, stamp, reason)) << reason;
            latestUs = std::max({latestUs, fileTimeUs(stamp.modified), fileTimeUs(stamp.changed)});
        }
        const std::int64_t nowUs = latestUs + ageMs * 1000;
        LoadHooks hooks;
        hooks.fileClock = [nowUs] { return FileTime{nowUs / 1000000, nowUs % 1000000 * 1000}; };
        return hooks;
    }

    void append(const char* name, const std::vector<std::uint8_t>& data) const
    {
        std::ofstream(dir / name, std::ios::binary | std::ios::app)
            .write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
    }

    JobOutcome update(const LoadHooks& hooks)
    {
        const JobOutcome loaded = loadUpdateFiles(job, dir, files, hooks);
        return loaded == JobOutcome::Success ? flashUpdate(job, files) : loaded;
    }

    SteppingClock steps;
    SimBackend steppedBackend{steps};
    SimDevice& device = attachBootloader(steppedBackend, {});
    CommandContext job{steppedBackend, out};
    UpdateFiles files;
    const std::vector<std::uint8_t> code = pattern(3000, 1);
    const std::vector<std::uint8_t> database = pattern(700, 2);
};

TEST_F(SettleWait, FilesChangedLessThanTwoSecondsAgoAreReadOnceTheyAreTwoSecondsOld)
{
    writeFile(CODE_FILE, code);
    writeFile(DATABASE_FILE, database);
    ASSERT_EQ(loadUpdateFiles(job, dir, files, changedAgo(500)), JobOutcome::Success) << job.detail;
    EXPECT_EQ(steps.nowUs(), (SETTLE_AGE_MS - 500) * 1000);
    EXPECT_EQ(out.statuses(), (std::vector<std::string>{text::SETTLE_WAIT, text::SETTLE_DONE}));
    EXPECT_EQ(flashUpdate(job, files), JobOutcome::Success);
    EXPECT_TRUE(device.restarted());
}

TEST_F(SettleWait, FilesLongSettledAreReadAtOnceWithoutAsking)
{
    writeFile(CODE_FILE, code);
    writeFile(DATABASE_FILE, database);
    unsigned asked = 0;
    job.stopRequested = [&asked] { return ++asked, false; };
    ASSERT_EQ(loadUpdateFiles(job, dir, files, changedAgo(SETTLE_AGE_MS)), JobOutcome::Success);
    EXPECT_EQ(steps.nowUs(), 0);
    EXPECT_EQ(asked, 0u);
    EXPECT_TRUE(out.statuses().empty());
}

// A copy in progress: empty at first, then written in pieces. Read at once it would have been
// refused as empty, or sent cut short.
TEST_F(SettleWait, ACopyInProgressIsReadWholeOnceItHasEnded)
{
    writeFile(CODE_FILE, {});
    writeFile(DATABASE_FILE, database);
    const LoadHooks hooks = changedAgo(0);
    steps.step = [this](unsigned sleep) {
        if (sleep <= 5)
            append(CODE_FILE, {code.begin() + (sleep - 1) * 600, code.begin() + sleep * 600});
    };
    ASSERT_EQ(update(hooks), JobOutcome::Success) << job.detail;
    EXPECT_EQ(out.statuses()[0], text::SETTLE_WAIT);
    EXPECT_EQ(out.statuses()[1], text::SETTLE_DONE);
    EXPECT_EQ(files.code.size, code.size());
    EXPECT_EQ(files.code.sha256, sha256Hex(code));
    EXPECT_EQ(device.flash(CODE_ADDRESS, code.size()), code);
    // Settled two seconds after the look that saw the last piece, at the earliest.
    EXPECT_GE(steps.sleeps, 5u + SETTLE_AGE_MS / SETTLE_LOOK_MS);
}

TEST_F(SettleWait, AFileThatKeepsChangingIsRefusedAfterTheBoundWithNothingSent)
{
    writeFile(CODE_FILE, code);
    writeFile(DATABASE_FILE, database);
    steps.step = [this](unsigned) { append(DATABASE_FILE, {0x5A}); };
    EXPECT_EQ(update(changedAgo(0)), JobOutcome::MissingFile);
    EXPECT_EQ(steps.nowUs(), SETTLE_WAIT_MS * 1000);
    EXPECT_EQ(out.statuses(),
              (std::vector<std::string>{text::SETTLE_WAIT, text::SETTLE_TIMED_OUT}));
    EXPECT_EQ(out.messages(), std::vector<std::string>{text::MISSING_DATABASE});
    EXPECT_NE(job.detail.find("car_data.bin: still being written after 10 s of waiting: its size "
                              "went from "),
              std::string::npos)
        << job.detail;
    EXPECT_EQ(device.linksOpened(), 0u);
}

TEST_F(SettleWait, AStopWhileWaitingEndsTheLoadWithNothingSentAndNoBox)
{
    writeFile(CODE_FILE, code);
    writeFile(DATABASE_FILE, database);
    unsigned asked = 0;
    job.stopRequested = [&asked] { return ++asked == 3; };
    EXPECT_EQ(update(changedAgo(0)), JobOutcome::InputRefused);
    EXPECT_EQ(asked, 3u);
    EXPECT_EQ(steps.nowUs(), 2 * SETTLE_LOOK_MS * 1000);
    EXPECT_EQ(job.detail, "waiting for the update files to be written: stopped on request");
    EXPECT_EQ(out.statuses(), std::vector<std::string>{text::SETTLE_WAIT});
    EXPECT_TRUE(out.messages().empty());
    EXPECT_EQ(device.linksOpened(), 0u);
}

// Times ahead of the clock (a server's clock, an archive's times) cannot age: two seconds of
// seeing the file unchanged stand for them, well within the bound.
TEST_F(SettleWait, AFileDatedAheadOfTheClockIsReadOnceSeenUnchangedForTwoSeconds)
{
    writeFile(CODE_FILE, code);
    writeFile(DATABASE_FILE, database);
    // Old enough by then, but for the code's time an hour ahead.
    const LoadHooks hooks = changedAgo(SETTLE_AGE_MS + 1000);
    std::filesystem::last_write_time(
        dir / CODE_FILE, std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
    ASSERT_EQ(loadUpdateFiles(job, dir, files, hooks), JobOutcome::Success) << job.detail;
    EXPECT_EQ(steps.nowUs(), SETTLE_AGE_MS * 1000);
    EXPECT_EQ(out.statuses(), (std::vector<std::string>{text::SETTLE_WAIT, text::SETTLE_DONE}));
}

#if !defined(_WIN32) // there an open file cannot be renamed over
TEST_F(SettleWait, AFileRenamedIntoPlaceWhileWaitingIsTheOneRead)
{
    writeFile(CODE_FILE, pattern(100, 9));
    writeFile(DATABASE_FILE, database);
    steps.step = [this](unsigned sleep) {
        if (sleep != 3)
            return;
        writeFile("code.part", code);
        std::filesystem::rename(dir / "code.part", dir / CODE_FILE);
    };
    ASSERT_EQ(update(changedAgo(0)), JobOutcome::Success) << job.detail;
    EXPECT_EQ(files.code.sha256, sha256Hex(code));
    EXPECT_EQ(device.flash(CODE_ADDRESS, code.size()), code);
}
#endif

// Under the update run a stop while the files settle finds nothing at risk: it ends the job at
// once, never asking for a second interrupt as it does once the device is being written.
TEST_F(SettleWait, UnderTheUpdateRunAnInterruptWhileWaitingStopsAtOnce)
{
    writeFile(CODE_FILE, code);
    writeFile(DATABASE_FILE, database);
    struct InterruptOnce final : StopSource {
        std::vector<StopRequest> take() override
        {
            const std::lock_guard lock(mutex);
            if (std::exchange(given, true))
                return {};
            return {StopRequest{interruptSignal(), monotonicMs()}};
        }
        void post(int) override {}
        std::mutex mutex;
        bool given = false;
    } interrupt;
    UpdateRun run({steppedBackend, nullptr, nullptr, &interrupt});
    JobRequest request;
    request.directory = dir;
    request.holdSystem = false;
    request.loadHooks = changedAgo(0);
    std::vector<RunEvent::Kind> kinds;
    ASSERT_TRUE(run.start(std::move(request)));
    for (bool ended = false; !ended; run.waitForChange(100))
        for (const RunEvent& event : run.takeEvents()) {
            kinds.push_back(event.kind);
            ended = ended || event.kind == RunEvent::Kind::Ended;
        }
    const JobEnd end = run.snapshot().end.value();
    EXPECT_EQ(end.stoppedBy, interruptSignal());
    EXPECT_EQ(end.outcome, JobOutcome::InputRefused);
    EXPECT_FALSE(end.device.reached);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), RunEvent::Kind::ConfirmationAsked), 0);
    EXPECT_EQ(device.linksOpened(), 0u);
}

// ---- the rule itself ----

FileStamp stampAt(std::int64_t timeUs, std::uint64_t size = 100)
{
    FileStamp stamp;
    stamp.volume = 1;
    stamp.index = 2;
    stamp.size = size;
    stamp.modified = {timeUs / 1000000, timeUs % 1000000 * 1000};
    return stamp;
}

TEST(SettleWatchRule, CountsTheQuietFromTheFilesTimesOrFromWhenItWasFirstSeenUnchanged)
{
    constexpr std::int64_t NOW = 1700000000LL * 1000000;
    constexpr std::int64_t AGE = SETTLE_AGE_MS * 1000;
    {
        SettleWatch watch; // written long ago
        EXPECT_TRUE(watch.look(stampAt(NOW - AGE), NOW));
    }
    {
        SettleWatch watch; // written a second ago: settled a second later
        EXPECT_FALSE(watch.look(stampAt(NOW - AGE / 2), NOW));
        EXPECT_FALSE(watch.look(stampAt(NOW - AGE / 2), NOW + AGE / 2 - 1));
        EXPECT_TRUE(watch.look(stampAt(NOW - AGE / 2), NOW + AGE / 2));
    }
    {
        SettleWatch watch; // dated an hour ahead: two seconds of the same stamp
        const std::int64_t ahead = NOW + 3600LL * 1000000;
        EXPECT_FALSE(watch.look(stampAt(ahead), NOW));
        EXPECT_FALSE(watch.look(stampAt(ahead), NOW + AGE - 1));
        EXPECT_TRUE(watch.look(stampAt(ahead), NOW + AGE));
    }
    {
        SettleWatch watch; // grown while dated ahead: the two seconds start again
        const std::int64_t ahead = NOW + 3600LL * 1000000;
        EXPECT_FALSE(watch.look(stampAt(ahead, 100), NOW));
        EXPECT_FALSE(watch.look(stampAt(ahead, 200), NOW + AGE));
        EXPECT_EQ(watch.lastChange(), "its size went from 100 to 200 bytes");
        EXPECT_TRUE(watch.look(stampAt(ahead, 200), NOW + 2 * AGE));
    }
    {
        SettleWatch watch; // changed between two looks, its time set back to long ago
        EXPECT_FALSE(watch.look(stampAt(NOW - AGE / 2, 100), NOW));
        EXPECT_FALSE(watch.look(stampAt(NOW - 10 * AGE, 200), NOW + AGE));
        EXPECT_FALSE(watch.look(stampAt(NOW - 10 * AGE, 200), NOW + 2 * AGE - 1));
        EXPECT_TRUE(watch.look(stampAt(NOW - 10 * AGE, 200), NOW + 2 * AGE));
    }
    {
        SettleWatch watch; // a system without change times gives 0 for them
        FileStamp stamp = stampAt(NOW - AGE);
        stamp.changed = {};
        EXPECT_TRUE(watch.look(stamp, NOW));
    }
}

} // namespace
} // namespace quarvo
