#include "cli_app.h"

#include "quarvo_version.h"

#include "cli_options.h"
#include "queued_writer.h"
#include "sim_summary.h"
#include "stop_gate.h"
#include "terminal_surface.h"
#include "trace_file.h"

#include "hid/text_encoding.h"
#include "hid/tracing_backend.h"
#include "job/flash_job.h"
#include "platform/instance_guard.h"
#include "platform/udev_rule.h"
#include "protocol/texts.h"
#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

#include <filesystem>
#include <new>
#include <optional>
#include <system_error>

namespace quarvo {
namespace {

constexpr const char* VERSION = QUARVO_VERSION;

// How often --wait looks for the device.
constexpr std::int64_t WAIT_POLL_US = 250000;
// The pace of --real-time: a full-speed USB HID device moves one report per millisecond.
constexpr std::int64_t REAL_TIME_REPORT_US = 1000;
// Most text queued for standard output and error, and how long the end of a run waits for a
// slow reader to take it.
constexpr std::size_t OUTPUT_QUEUE_BYTES = 1u << 20;
constexpr int OUTPUT_DRAIN_MS = 2000;

constexpr const char* INCOMPLETE_UPDATE =
    "The device holds an incomplete update and\nhas no working program: update it again before "
    "unplugging it.\n";

int usageError(CliEnvironment& env, const std::string& message)
{
    env.err << CLI_PROGRAM << ": " << message << "\nTry '" << CLI_PROGRAM << " --help'.\n";
    return EXIT_BAD_INPUT;
}

int printTo(CliEnvironment& env, const std::string& text)
{
    env.out << text << std::flush;
    if (env.out)
        return EXIT_UPDATED;
    env.err << CLI_PROGRAM << ": the output could not be written\n";
    return EXIT_DEVICE_FAILED;
}

// Why `directory` cannot be the update files' folder, in the system's words; empty when it can.
std::string directoryProblem(const std::filesystem::path& directory)
{
    std::error_code error;
    const auto status = std::filesystem::status(directory, error);
    const std::string shown = printable(utf8FromPath(directory));
    if (error)
        return shown + ": " + error.message();
    if (!std::filesystem::is_directory(status))
        return shown + ": " + std::make_error_code(std::errc::not_a_directory).message();
    return {};
}

void adviseAccess(CliEnvironment& env)
{
    env.err << "The device is attached but this user may not open it.\n";
#if defined(__linux__)
    if (!env.installedUdevRule.empty())
        env.err << "The udev rule that allows it is installed (" << env.installedUdevRule
                << ").\nHave udev apply it, then unplug and replug the device:\n";
    else
        env.err << "On Linux, install the udev rule from the source tree, then unplug and replug "
                   "the device:\n"
                << "  sudo cp " << SOURCE_UDEV_RULE << " /etc/udev/rules.d/\n";
    env.err << "  sudo udevadm control --reload-rules && sudo udevadm trigger\n";
#elif defined(_WIN32)
    env.err << "Close any other program that uses the device, then try again.\n";
#else
    env.err << "Check that no other program holds the device and that this user may use it.\n";
#endif
}

int listDevices(CliEnvironment& env, HidBackend& backend)
{
    int usable = 0;
    int found = 0;
    for (const HidDeviceInfo& info : backend.enumerate(VENDOR_ID, PRODUCT_ID)) {
        if (info.vendorId != VENDOR_ID || info.productId != PRODUCT_ID)
            continue;
        ++found;
        std::string error;
        const bool opens = backend.open(info.path, error) != nullptr;
        env.out << printable(info.path) << "  "
                << (info.product.empty() ? "(no name)" : printable(info.product));
        if (!info.serial.empty())
            env.out << "  serial " << printable(info.serial);
        env.out << "  " << (opens ? "can be opened" : "cannot be opened: " + error) << '\n';
        usable += opens;
    }
    if (found == 0) {
        env.out << "No bootloader (HID 0416:b500) is attached.\n";
        if (const std::string reason = backend.unavailableReason(); !reason.empty())
            env.err << CLI_PROGRAM << ": " << reason << '\n';
    }
    if (found > usable)
        adviseAccess(env);
    env.out << std::flush;
    return usable > 0 ? EXIT_UPDATED : EXIT_DEVICE_FAILED;
}

int exitStatus(JobOutcome outcome)
{
    switch (outcome) {
    case JobOutcome::Success:
        return EXIT_UPDATED;
    case JobOutcome::MissingFile:
    case JobOutcome::InputRefused:
        return EXIT_BAD_INPUT;
    case JobOutcome::OutOfMemory:
    case JobOutcome::DeviceFailed:
        break;
    }
    return EXIT_DEVICE_FAILED;
}

// The backend a run talks to, chosen by the options: the simulated bootloader (on virtual time
// unless asked to keep a real device's pace) or the real one, with the trace around it when one
// is asked for.
class Transport {
public:
    Transport(const Options& options, CliEnvironment& env)
        : m_sim(options.realTime ? static_cast<Clock&>(m_steadyClock) : m_virtualClock)
    {
        if (options.simulate) {
            SimTiming timing;
            if (options.realTime)
                timing.reportUs = REAL_TIME_REPORT_US;
            m_simDevice = &attachBootloader(m_sim, *options.simulate, timing);
            m_backend = &m_sim;
        } else {
            m_real = env.realBackend();
            m_backend = m_real.get();
        }
    }

    // Opens the trace the options name, if any. Empty on success, else why it was refused.
    std::string openTrace(const Options& options, CliEnvironment& env)
    {
        if (options.traceFile.empty())
            return {};
        const std::filesystem::path tracePath = pathFromUtf8(options.traceFile);
        // An update file, by identity rather than spelling: the trace would overwrite it.
        for (const char* name : {CODE_FILE, DATABASE_FILE}) {
            std::error_code error;
            const auto file = options.directory / name;
            if (std::filesystem::equivalent(tracePath, file, error) && !error)
                return "the trace file " + printable(options.traceFile) + " is the update file " +
                       printable(utf8FromPath(file)) + "; nothing was sent";
        }
        m_trace.emplace(env.err, options.traceFile);
        if (std::string reason; !m_trace->open(reason))
            return "cannot write the trace file " + printable(options.traceFile) + ": " + reason;
        m_tracing.emplace(*m_backend, m_trace->stream());
        m_backend = &*m_tracing;
        return {};
    }

    HidBackend& backend() { return *m_backend; }
    TracingBackend* tracing() { return m_tracing ? &*m_tracing : nullptr; }
    TraceFile* trace() { return m_trace ? &*m_trace : nullptr; }
    const SimDevice* simDevice() const { return m_simDevice; }

private:
    VirtualClock m_virtualClock;
    SteadyClock m_steadyClock;
    SimBackend m_sim;
    const SimDevice* m_simDevice = nullptr;
    std::unique_ptr<HidBackend> m_real;
    std::optional<TraceFile> m_trace;
    std::optional<TracingBackend> m_tracing;
    HidBackend* m_backend = nullptr;
};

// Waits until a bootloader is attached: 0 when one is, the signal that ended the wait, or -1
// when the time ran out (the caller says so).
int waitForDevice(CliEnvironment& env, HidBackend& backend, unsigned seconds)
{
    env.out << "Waiting up to " << seconds << " s for the bootloader (HID 0416:b500)...\n"
            << std::flush;
    Clock& clock = backend.clock();
    const std::int64_t deadlineUs = clock.nowUs() + std::int64_t{seconds} * 1000000;
    for (;;) {
        for (const HidDeviceInfo& info : backend.enumerate(VENDOR_ID, PRODUCT_ID))
            if (info.vendorId == VENDOR_ID && info.productId == PRODUCT_ID)
                return 0;
        if (env.stops)
            if (const int signal = env.stops->requested())
                return signal;
        const std::int64_t now = clock.nowUs();
        if (now >= deadlineUs)
            return -1;
        clock.sleepUntilUs(std::min(now + WAIT_POLL_US, deadlineUs));
    }
}

// A signal ended --wait: the trace and the user are told, and nothing was sent.
int stoppedWhileWaiting(CliEnvironment& env, TracedSurface& surface, int signal)
{
    surface.note("stopped", signalName(signal));
    env.err << CLI_PROGRAM << ": stopped by " << signalName(signal)
            << " while waiting for the device; nothing was sent\n";
    return 128 + signal;
}

// --wait before an update, when asked for: 0 once the device is there, else the exit status,
// with the user told why.
int waitIfAsked(CliEnvironment& env, const Options& options, Transport& transport,
                TracedSurface& surface, TerminalSurface& terminal)
{
    if (!options.waitSeconds)
        return 0;
    const int waited = waitForDevice(env, transport.backend(), *options.waitSeconds);
    if (waited > 0)
        return stoppedWhileWaiting(env, surface, waited);
    if (waited < 0) {
        surface.setStatus(text::CONNECT_FAILED);
        terminal.finish();
        env.err << CLI_PROGRAM << ": no bootloader was attached within " << *options.waitSeconds
                << " s\n";
        return EXIT_DEVICE_FAILED;
    }
    return 0;
}

// The job itself, with running out of memory half way through turned into an outcome, so that
// the user still hears what state the device was left in.
JobOutcome flashWithin(CommandContext& ctx, UpdateFiles& files)
{
    try {
        return flashUpdate(ctx, files);
    } catch (const std::bad_alloc&) {
        ctx.detail = "out of memory while the device was being written";
        return JobOutcome::OutOfMemory;
    }
}

// The job with the system held back from sleeping, shutting down and the like, for a real device:
// a cut write leaves it without a working program. What cannot be held is said in one line.
JobOutcome flashHeld(CliEnvironment& env, const Options& options, CommandContext& ctx,
                     UpdateFiles& files)
{
    SystemHold* hold = options.simulate ? nullptr : env.systemHold;
    if (hold)
        if (const std::string warning = hold->take(); !warning.empty())
            env.err << CLI_PROGRAM << ": " << warning << '\n';
    const JobOutcome outcome = flashWithin(ctx, files);
    if (hold)
        hold->release();
    return outcome;
}

// Tells how the update ended, beyond the status lines, and gives the exit status.
int reportOutcome(CliEnvironment& env, JobOutcome outcome, const CommandContext& ctx,
                  StopGate& gate, TracedSurface& surface, Transport& transport)
{
    if (outcome != JobOutcome::Success && !ctx.detail.empty())
        env.err << CLI_PROGRAM << ": " << ctx.detail << '\n';
    if (ctx.openFailure == HidDevice::OpenState::Refused)
        adviseAccess(env);
    if (const SimDevice* device = transport.simDevice())
        printSimSummary(env.out, *device);
    const int stoppedBy = outcome == JobOutcome::Success ? 0 : gate.stoppedBy();
    if (stoppedBy != 0) {
        surface.note("stopped", signalName(stoppedBy));
        env.err << CLI_PROGRAM << ": stopped by " << signalName(stoppedBy) << ". "
                << (gate.deviceTouched() ? INCOMPLETE_UPDATE
                                         : "Nothing was sent; the device is unchanged.\n");
        return 128 + stoppedBy;
    }
    if (outcome == JobOutcome::OutOfMemory) {
        surface.note("failed", "out of memory");
        env.err << CLI_PROGRAM << ": last status: " << surface.lastStatus() << '\n'
                << (gate.deviceTouched() ? INCOMPLETE_UPDATE : "The device is unchanged.\n");
    }
    return exitStatus(outcome);
}

// Loads the files, opens the trace, waits when asked, writes the device and tells how it went.
int update(CliEnvironment& env, const Options& options, Transport& transport)
{
    SteadyClock screenClock;
    TerminalSurface terminal(env.out, env.err, env.terminal, screenClock, env.columns, env.escapes);

    // Inputs before outputs: both files are loaded before the trace file is opened.
    UpdateFiles files;
    CommandContext loading{transport.backend(), terminal};
    if (const JobOutcome loaded = loadUpdateFiles(loading, options.directory, files);
        loaded != JobOutcome::Success) {
        terminal.finish();
        env.err << CLI_PROGRAM << ": " << loading.detail << '\n';
        return exitStatus(loaded);
    }
    if (const std::string error = transport.openTrace(options, env); !error.empty())
        return usageError(env, error);

    TracedSurface surface(terminal, transport.tracing(), transport.trace());
    if (const int waited = waitIfAsked(env, options, transport, surface, terminal))
        return waited;

    StopGate gate(env.stops, terminal);
    CommandContext ctx{transport.backend(), surface};
    ctx.stopRequested = [&gate] { return gate.shouldStop(); };
    const JobOutcome outcome = flashHeld(env, options, ctx, files);
    terminal.finish();
    return reportOutcome(env, outcome, ctx, gate, surface, transport);
}

// --list, after the trace is opened and the device waited for when asked.
int list(CliEnvironment& env, const Options& options, Transport& transport)
{
    if (const std::string error = transport.openTrace(options, env); !error.empty())
        return usageError(env, error);
    SteadyClock screenClock;
    TerminalSurface terminal(env.out, env.err, false, screenClock);
    TracedSurface surface(terminal, transport.tracing(), transport.trace());
    // A wait that runs out lists all the same: the listing says that nothing is attached.
    if (options.waitSeconds)
        if (const int waited = waitForDevice(env, transport.backend(), *options.waitSeconds);
            waited > 0)
            return stoppedWhileWaiting(env, surface, waited);
    return listDevices(env, transport.backend());
}

// The guard, the backend, then the listing or the update.
int dispatch(CliEnvironment& env, const Options& options)
{
    if (!options.list)
        if (const std::string problem = directoryProblem(options.directory); !problem.empty())
            return usageError(env, problem);

    // One updater at a time on the whole machine: the window takes the same guard. Listing
    // changes nothing, and the simulator touches no device.
    if (!options.list && !options.simulate && env.acquireUpdateGuard) {
        std::string obstacle;
        switch (env.acquireUpdateGuard(obstacle)) {
        case UpdateGuard::Acquired:
            break;
        case UpdateGuard::AlreadyRunning:
            env.err << ALREADY_RUNNING_TEXT << '\n'
                    << CLI_PROGRAM << ": another updater is running; nothing was sent\n";
            return EXIT_DEVICE_FAILED;
        case UpdateGuard::Unavailable:
            env.err << CLI_PROGRAM
                    << ": cannot make sure that no other updater is running, so nothing was "
                       "sent: "
                    << obstacle << '\n';
            return EXIT_DEVICE_FAILED;
        }
    }

    Transport transport(options, env);
    return options.list ? list(env, options, transport) : update(env, options, transport);
}

// dispatch with standard output and error written by a thread of their own, so that a reader
// that stalls (a full pipe, a terminal on hold) never holds a report or a stop.
int dispatchQueued(CliEnvironment& env, const Options& options)
{
    QueuedWriter writer({streamChannel(env.out), streamChannel(env.err)}, OUTPUT_QUEUE_BYTES);
    QueuedStreamBuf outBuffer(writer, 0);
    QueuedStreamBuf errBuffer(writer, 1);
    std::ostream out(&outBuffer);
    std::ostream err(&errBuffer);
    CliEnvironment queued = env.withStreams(out, err);
    const int status = dispatch(queued, options);
    out.flush();
    err.flush();
    if (!writer.close(OUTPUT_DRAIN_MS)) {
        env.outputLeftBehind = true;
        // The stream that did not stall still gets its text: how the update ended, above all.
        // Neither is tied to the other here, as a tie would flush the stalled one first.
        for (auto [stream, channel] :
             {std::pair{&env.err, std::size_t{1}}, std::pair{&env.out, std::size_t{0}}}) {
            if (const std::string text = writer.takeQueued(channel); !text.empty()) {
                stream->tie(nullptr);
                *stream << text << std::flush;
            }
        }
    }
    return status;
}

int run(std::span<const std::string> args, CliEnvironment& env)
{
    Options options;
    if (const std::string error = parseOptions(args, options); !error.empty())
        return usageError(env, error);
    // Help and version are written directly, so that a failed write is their exit status.
    if (options.help)
        return printTo(env, helpText(CLI_PROGRAM));
    if (options.version)
        return printTo(env, std::string(CLI_PROGRAM) + ' ' + VERSION + " (" + env.transportVersion +
                                ")\n");
    return dispatchQueued(env, options);
}

} // namespace

int runCli(std::span<const std::string> args, CliEnvironment& env)
{
    try {
        return run(args, env);
    } catch (const std::bad_alloc&) {
        env.err << CLI_PROGRAM << ": out of memory\n";
        return EXIT_DEVICE_FAILED;
    }
}

} // namespace quarvo
