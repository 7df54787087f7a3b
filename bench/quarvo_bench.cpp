// Benchmarks, run by hand and once by CI (see the README): command framing, the database
// transform, and with both update files at their size limits: loading them, the whole job against
// the simulated bootloader, and a bare loop of the same reports through HidDevice on the same
// simulator. Prints the ratio job / bare loop. Exits 1 when a benchmark reports an error or the
// ratio cannot be given.
#include "job/flash_job.h"
#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace quarvo {
namespace {

class NullSurface final : public OutputSurface {
public:
    void setStatus(const std::string&) override {}
    void setProgressRange(std::uint32_t) override {}
    void setProgressPos(std::uint32_t) override {}
    void showMessage(const std::string&) override {}
    void beginStep(const StepInfo&) override {}
};

// The largest update the job takes: the code up to where the database begins, the database at
// the file limit.
constexpr std::uint32_t CODE_BYTES = MAX_CODE_SIZE;
constexpr std::uint32_t DATABASE_BYTES = MAX_FILE_SIZE;
constexpr std::uint64_t CODE_PAGES = CODE_BYTES / PAGE_SIZE + 1;
constexpr std::uint64_t DATABASE_PAGES = DATABASE_BYTES / PAGE_SIZE + 1;
// Data reports of that job: the code, the header page, the database.
constexpr std::uint64_t DATA_REPORTS = (CODE_PAGES + 1 + DATABASE_PAGES) * 4;

// The update files at their limits, in a folder of this run's own, removed at the end.
class LimitFiles {
public:
    LimitFiles()
    {
        std::error_code error;
        m_dir = std::filesystem::temp_directory_path(error) /
                ("quarvo_bench_" + std::to_string(std::random_device{}()));
        if (error || !std::filesystem::create_directories(m_dir, error)) {
            m_problem = "cannot make a folder for the update files: " + error.message();
            return;
        }
        std::vector<char> data(DATABASE_BYTES);
        std::iota(data.begin(), data.end(), char{0});
        for (const auto& [name, size] :
             {std::pair{CODE_FILE, CODE_BYTES}, std::pair{DATABASE_FILE, DATABASE_BYTES}}) {
            std::ofstream file(m_dir / name, std::ios::binary);
            if (!file.write(data.data(), static_cast<std::streamsize>(size)).flush())
                m_problem = "cannot write " + (m_dir / name).string();
        }
    }
    ~LimitFiles()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    LimitFiles(const LimitFiles&) = delete;
    LimitFiles& operator=(const LimitFiles&) = delete;

    const std::filesystem::path& dir() const { return m_dir; }
    const std::string& problem() const { return m_problem; }

private:
    std::filesystem::path m_dir;
    std::string m_problem;
};

void BM_FrameCommand(benchmark::State& state)
{
    Report report;
    std::uint32_t sector = 0;
    for (auto _ : state) {
        frameCommand(CMD_ERASE, ++sector, 3, report);
        benchmark::DoNotOptimize(report);
    }
}

void BM_DatabaseTransform(benchmark::State& state)
{
    std::vector<std::uint8_t> buffer(DATABASE_BYTES + BUFFER_SLACK, 0x5A);
    for (auto _ : state) {
        transformDatabase(buffer, DATABASE_BYTES);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * DATABASE_BYTES);
}

// `files` are made by the first run that needs them; false, with the benchmark skipped and the
// reason given, when they could not be.
bool readyFiles(benchmark::State& state, std::optional<LimitFiles>& files)
{
    if (!files)
        files.emplace();
    if (files->problem().empty())
        return true;
    state.SkipWithError(files->problem().c_str());
    return false;
}

void BM_WholeJob(benchmark::State& state, std::optional<LimitFiles>& files)
{
    if (!readyFiles(state, files))
        return;
    for (auto _ : state) {
        VirtualClock clock;
        SimBackend backend(clock);
        SimDevice& device = attachBootloader(backend, {});
        device.setRecordTraffic(false);
        NullSurface surface;
        CommandContext ctx{backend, surface};
        if (runFlashJob(ctx, files->dir()) != JobOutcome::Success) {
            state.SkipWithError(("the job failed: " + ctx.detail).c_str());
            break;
        }
    }
}

// The job's first part alone: both files opened, checked and read twice.
void BM_LoadUpdateFiles(benchmark::State& state, std::optional<LimitFiles>& files)
{
    if (!readyFiles(state, files))
        return;
    for (auto _ : state) {
        VirtualClock clock;
        SimBackend backend(clock);
        NullSurface surface;
        CommandContext ctx{backend, surface};
        UpdateFiles loaded;
        if (loadUpdateFiles(ctx, files->dir(), loaded) != JobOutcome::Success) {
            state.SkipWithError(("the files were refused: " + ctx.detail).c_str());
            break;
        }
        benchmark::DoNotOptimize(loaded.database.data.get());
    }
}

// Reads erase status records until "over", as the job waits for an erase before it programs (a
// device still erasing takes no report). False when one does not come within its bound.
bool awaitErase(HidDevice& device)
{
    Report report;
    for (unsigned count = 0;
         device.readReport(report.data(), REPORT_SIZE, &count, ERASE_RECORD_TIMEOUT_MS) == 1;)
        if (count > 4 && std::memcmp(report.data() + 1, "over", 4) == 0)
            return true;
    return false;
}

// The same device work without the job: for each region an erase, its status records, a program
// command, then the data reports, all on one open device.
void BM_BareReportLoop(benchmark::State& state)
{
    std::vector<std::uint8_t> data(DATABASE_PAGES * PAGE_SIZE, 0x42);
    const std::pair<std::uint32_t, std::uint64_t> regions[] = {
        {CODE_ADDRESS, CODE_PAGES}, {IMAGE_HEADER_ADDRESS, 1}, {DATABASE_ADDRESS, DATABASE_PAGES}};
    for (auto _ : state) {
        VirtualClock clock;
        SimBackend backend(clock);
        SimDevice& simDevice = attachBootloader(backend, {});
        simDevice.setRecordTraffic(false);
        HidDevice device(backend);
        bool sent = device.open(VENDOR_ID, PRODUCT_ID) == 1;
        Report report;
        for (const auto& [address, pages] : regions) {
            frameCommand(CMD_ERASE, address >> 12,
                         static_cast<std::uint32_t>((pages * 256 + 4095) / 4096), report);
            sent = sent && device.writeReport(report.data(), REPORT_SIZE, nullptr) &&
                   awaitErase(device);
            frameCommand(CMD_PROGRAM, address >> 8, static_cast<std::uint32_t>(pages), report);
            sent = sent && device.writeReport(report.data(), REPORT_SIZE, nullptr);
            for (std::uint64_t offset = 0; sent && offset < pages * PAGE_SIZE;
                 offset += PAYLOAD_SIZE) {
                frameData(data.data() + offset, report);
                sent = device.writeReport(report.data(), REPORT_SIZE, nullptr);
            }
        }
        if (!sent) {
            state.SkipWithError(("a report failed: " + device.lastError()).c_str());
            break;
        }
    }
}

bool stdoutIsTerminal()
{
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
#endif
}

// Whether a run ended in an error, and its message, in the library's spelling of either: 1.7
// has error_occurred, later versions say that the run was skipped.
template <typename Run> bool failed(const Run& run)
{
    if constexpr (requires { run.error_occurred; })
        return run.error_occurred;
    else
        return run.skipped != decltype(run.skipped){};
}
template <typename Run> std::string failure(const Run& run)
{
    if constexpr (requires { run.error_message; })
        return run.error_message;
    else
        return run.skip_message;
}

// Prints the usual table (in colour on a terminal only), keeps each benchmark's real time per
// iteration in seconds and every error reported.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(bool colour) : ConsoleReporter(colour ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (failed(run)) {
                errors.push_back(run.benchmark_name() + ": " + failure(run));
                continue;
            }
            if (run.run_type == Run::RT_Iteration)
                realSeconds[run.run_name.function_name] =
                    run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
    }
    std::map<std::string, double> realSeconds;
    std::vector<std::string> errors;
};

// The comparison of the job with the bare loop; false, with the reason, when it cannot be made.
bool printRatio(const RatioReporter& reporter)
{
    const auto job = reporter.realSeconds.find("BM_WholeJob");
    const auto bare = reporter.realSeconds.find("BM_BareReportLoop");
    if (job == reporter.realSeconds.end() || bare == reporter.realSeconds.end()) {
        std::fprintf(stderr, "quarvo_bench: no ratio: BM_WholeJob and BM_BareReportLoop must "
                             "both run without an error\n");
        return false;
    }
    if (!std::isfinite(job->second) || !std::isfinite(bare->second) || job->second <= 0 ||
        bare->second <= 0) {
        std::fprintf(stderr, "quarvo_bench: no ratio: times of %g s and %g s\n", job->second,
                     bare->second);
        return false;
    }
    const double reports = static_cast<double>(DATA_REPORTS);
    std::printf("\nData reports per job: %.0f (code %u bytes, database %u bytes)\n", reports,
                CODE_BYTES, DATABASE_BYTES);
    std::printf("Job: %.3f us per data report; bare loop: %.3f us; program's own time: %.3f us\n",
                job->second / reports * 1e6, bare->second / reports * 1e6,
                (job->second - bare->second) / reports * 1e6);
    std::printf("Ratio job / bare loop: %.3f\n", job->second / bare->second);
    return true;
}

} // namespace
} // namespace quarvo

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    std::optional<quarvo::LimitFiles> files;
    benchmark::RegisterBenchmark("BM_FrameCommand", quarvo::BM_FrameCommand);
    benchmark::RegisterBenchmark("BM_DatabaseTransform", quarvo::BM_DatabaseTransform)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(
        "BM_LoadUpdateFiles",
        [&files](benchmark::State& state) { quarvo::BM_LoadUpdateFiles(state, files); })
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
    benchmark::RegisterBenchmark(
        "BM_WholeJob", [&files](benchmark::State& state) { quarvo::BM_WholeJob(state, files); })
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
    benchmark::RegisterBenchmark("BM_BareReportLoop", quarvo::BM_BareReportLoop)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3);
    quarvo::RatioReporter reporter(quarvo::stdoutIsTerminal());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const std::string& error : reporter.errors)
        std::fprintf(stderr, "quarvo_bench: %s\n", error.c_str());
    const bool ratio = quarvo::printRatio(reporter);
    return reporter.errors.empty() && ratio ? 0 : 1;
}
