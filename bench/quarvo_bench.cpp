// Benchmarks, run by hand (see the README): command framing, the database transform, a whole job
// with both files at the size limit against the simulated bootloader, and a bare loop of the same
// report writes through HidDevice on the same simulator. Prints the ratio job / bare loop.
#include "job/flash_job.h"
#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>

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

// Data reports of one job with both files at the limit: the code, the header page, the database.
constexpr std::uint64_t LIMIT_PAGES = MAX_FILE_SIZE / PAGE_SIZE + 1;
constexpr std::uint64_t DATA_REPORTS = (2 * LIMIT_PAGES + 1) * 4;

void BM_FrameCommand(benchmark::State& state)
{
    Report report;
    std::uint32_t sector = 0;
    for (auto _ : state) {
        frameCommand(CMD_ERASE, ++sector, 3, report);
        benchmark::DoNotOptimize(report);
    }
}
BENCHMARK(BM_FrameCommand);

void BM_DatabaseTransform(benchmark::State& state)
{
    std::vector<std::uint8_t> buffer(MAX_FILE_SIZE + BUFFER_SLACK, 0x5A);
    for (auto _ : state) {
        transformDatabase(buffer, MAX_FILE_SIZE);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * MAX_FILE_SIZE);
}
BENCHMARK(BM_DatabaseTransform)->Unit(benchmark::kMillisecond);

std::filesystem::path limitFiles()
{
    static const std::filesystem::path dir = [] {
        auto path = std::filesystem::temp_directory_path() / "quarvo_bench_files";
        std::filesystem::create_directories(path);
        std::vector<char> data(MAX_FILE_SIZE);
        std::iota(data.begin(), data.end(), char{0});
        for (const char* name : {CODE_FILE, DATABASE_FILE})
            std::ofstream(path / name, std::ios::binary)
                .write(data.data(), static_cast<long>(data.size()));
        return path;
    }();
    return dir;
}

void BM_WholeJob(benchmark::State& state)
{
    const auto dir = limitFiles();
    for (auto _ : state) {
        VirtualClock clock;
        SimBackend backend(clock);
        SimDevice& device = attachBootloader(backend, {});
        device.setRecordTraffic(false);
        NullSurface surface;
        CommandContext ctx{backend, surface};
        if (runFlashJob(ctx, dir) != JobOutcome::Success)
            state.SkipWithError("the job failed");
    }
}
BENCHMARK(BM_WholeJob)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same device work without the job: for each region an erase and a program command, then the
// data reports, all on one open device.
void BM_BareReportLoop(benchmark::State& state)
{
    std::vector<std::uint8_t> data(LIMIT_PAGES * PAGE_SIZE, 0x42);
    for (auto _ : state) {
        VirtualClock clock;
        SimBackend backend(clock);
        SimDevice& simDevice = attachBootloader(backend, {});
        simDevice.setRecordTraffic(false);
        HidDevice device(backend);
        device.open(VENDOR_ID, PRODUCT_ID);
        Report report;
        const std::pair<std::uint32_t, std::uint64_t> regions[] = {{CODE_ADDRESS, LIMIT_PAGES},
                                                                   {IMAGE_HEADER_ADDRESS, 1},
                                                                   {DATABASE_ADDRESS, LIMIT_PAGES}};
        for (const auto& [address, pages] : regions) {
            frameCommand(CMD_ERASE, address >> 12,
                         static_cast<std::uint32_t>((pages * 256 + 4095) / 4096), report);
            device.writeReport(report.data(), REPORT_SIZE, nullptr);
            frameCommand(CMD_PROGRAM, address >> 8, static_cast<std::uint32_t>(pages), report);
            device.writeReport(report.data(), REPORT_SIZE, nullptr);
            for (std::uint64_t offset = 0; offset < pages * PAGE_SIZE; offset += PAYLOAD_SIZE) {
                frameData(data.data() + offset, report);
                if (!device.writeReport(report.data(), REPORT_SIZE, nullptr))
                    state.SkipWithError("a report failed");
            }
        }
    }
}
BENCHMARK(BM_BareReportLoop)->Unit(benchmark::kMillisecond)->Iterations(3);

// Prints the usual table, then the comparison of the job with the bare loop.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            realTimeNs[run.benchmark_name()] = run.GetAdjustedRealTime() * 1e6; // ms to ns
    }
    std::map<std::string, double> realTimeNs;
};

} // namespace
} // namespace quarvo

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    quarvo::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto job = reporter.realTimeNs.find("BM_WholeJob/iterations:3");
    const auto bare = reporter.realTimeNs.find("BM_BareReportLoop/iterations:3");
    if (job != reporter.realTimeNs.end() && bare != reporter.realTimeNs.end()) {
        const double reports = static_cast<double>(quarvo::DATA_REPORTS);
        std::printf("\nData reports per job: %.0f\n", reports);
        std::printf(
            "Job: %.3f us per data report; bare loop: %.3f us; program's own time: %.3f us\n",
            job->second / reports / 1000, bare->second / reports / 1000,
            (job->second - bare->second) / reports / 1000);
        std::printf("Ratio job / bare loop: %.3f\n", job->second / bare->second);
    }
    benchmark::Shutdown();
    return 0;
}
