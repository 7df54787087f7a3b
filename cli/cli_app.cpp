#include "cli_app.h"

#include "quarvo_version.h"

#include "cli_options.h"
#include "json_view.h"
#include "sim_summary.h"
#include "terminal_view.h"
#include "trace_file.h"

#include "frontend/history.h"
#include "frontend/update_run.h"
#include "hid/text_encoding.h"
#include "hid/tracing_backend.h"
#include "job/flash_job.h"
#include "platform/udev_rule.h"
#include "protocol/texts.h"
#include "sim/replay_backend.h"
#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

#include <filesystem>
#include <new>
#include <optional>
#include <system_error>

namespace quarvo {
namespace {

constexpr const char* VERSION = QUARVO_VERSION;

// The pace of --real-time: a full-speed USB HID device moves one report per millisecond.
constexpr std::int64_t REAL_TIME_REPORT_US = 1000;
// How often the terminal looks at the run while nothing wakes it: a redraw's interval.
constexpr int RUN_LOOK_MS = static_cast<int>(BAR_REDRAW_US / 1000);

// What the device holds after a job that did not succeed, for the technician.
const char* deviceStateLine(const DeviceState& device)
{
    if (!device.reached)
        return "Nothing was sent; the device is unchanged.\n";
    if (!device.programWhole())
        return "The device holds an incomplete update and\nhas no working program: update it again "
               "before unplugging it.\n";
    if (!device.databaseWhole())
        return "The device holds an incomplete update: its program is whole,\nits database is not: "
               "update it again.\n";
    if (!device.restartSent)
        return "Everything was written but the device was not told to restart:\nunplug it and plug "
               "it back in; if it does not start, update it again.\n";
    return "";
}

int usageError(CliEnvironment& env, const std::string& message)
{
    env.err << CLI_PROGRAM << ": " << message << "\nTry '" << CLI_PROGRAM << " --help'.\n";
    return EXIT_BAD_INPUT;
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
    // Which listing answered, where the backend has more than one (Windows: hidapi's own, or the
    // system's SetupAPI listing where hidapi's cannot list).
    if (const std::string source = backend.listingSource(); !source.empty())
        env.out << "Listed by " << printable(source) << ".\n";
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

// "Waiting up to 60 s for the bootloader (HID 0416:b500)..."
std::string waitingLine(RunEvent::Kind kind, std::int64_t waitUs)
{
    const std::int64_t seconds = (waitUs + 999999) / 1000000;
    if (kind == RunEvent::Kind::WaitingForGuard)
        return "Another updater is running; waiting up to " + std::to_string(seconds) +
               " s for it to finish...";
    return "Waiting up to " + std::to_string(seconds) + " s for the bootloader (HID 0416:b500)...";
}

// The backend a run talks to, chosen by the options: the simulated bootloader or a recording
// played back (on virtual time unless asked to keep a real device's pace) or the real one, with
// the trace around it when one is asked for (opened later, once the update files are in).
class Transport {
public:
    Transport(const Options& options, CliEnvironment& env)
        : m_sim(options.realTime ? static_cast<Clock&>(m_steadyClock) : m_virtualClock)
    {
        if (options.simulate && options.simulate->fault == Fault::Replay) {
            Recording recording;
            const auto path = pathFromUtf8(options.simulate->recording);
            if (std::string reason; !loadRecording(path, recording, reason))
                m_problem = "cannot replay " + printable(options.simulate->recording) + ": " +
                            printable(reason);
            m_recordingPath = path;
            m_replay.emplace(m_sim.clock(), std::move(recording),
                             options.realTime ? HostTime::Spent : HostTime::Recorded);
            m_backend = &*m_replay;
        } else if (options.simulate) {
            SimTiming timing;
            if (options.realTime)
                timing.reportUs = REAL_TIME_REPORT_US;
            if (options.pace)
                timing = withPace(timing, *options.pace);
            m_simDevice = &attachBootloader(m_sim, *options.simulate, timing);
            m_backend = &m_sim;
        } else {
            m_real = env.realBackend();
            m_backend = m_real.get();
        }
        if (!options.traceFile.empty()) {
            m_trace.emplace(options.traceFile);
            m_tracing.emplace(*m_backend, m_trace->stream());
            m_backend = &*m_tracing;
        }
    }

    // Opens the trace the options name, if any. Empty on success, else why it was refused.
    std::string openTrace(const Options& options)
    {
        if (!m_trace)
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
        if (std::error_code error;
            m_replay && std::filesystem::equivalent(tracePath, m_recordingPath, error) && !error)
            return "the trace file " + printable(options.traceFile) +
                   " is the recording being replayed; nothing was sent";
        if (std::string reason; !m_trace->open(reason))
            return "cannot write the trace file " + printable(options.traceFile) + ": " + reason;
        return {};
    }

    HidBackend& backend() { return *m_backend; }
    TracingBackend* tracing() { return m_tracing ? &*m_tracing : nullptr; }
    TraceFile* trace() { return m_trace ? &*m_trace : nullptr; }
    const SimDevice* simDevice() const { return m_simDevice; }
    const ReplayBackend* replay() const { return m_replay ? &*m_replay : nullptr; }
    // Why the options' backend cannot be used (a recording that cannot be read); empty when it can.
    const std::string& problem() const { return m_problem; }

    // What the trace lost, said once, on the error stream.
    void reportTrace(TerminalView& terminal)
    {
        if (m_trace)
            if (const std::string report = m_trace->takeReport(); !report.empty())
                terminal.notice(report);
    }

private:
    VirtualClock m_virtualClock;
    SteadyClock m_steadyClock;
    SimBackend m_sim;
    const SimDevice* m_simDevice = nullptr;
    std::optional<ReplayBackend> m_replay;
    std::filesystem::path m_recordingPath;
    std::string m_problem;
    std::unique_ptr<HidBackend> m_real;
    std::optional<TraceFile> m_trace;
    std::optional<TracingBackend> m_tracing;
    HidBackend* m_backend = nullptr;
};

// What the terminal shows of one of the run's events.
void render(TerminalView& terminal, const RunEvent& event)
{
    switch (event.kind) {
    case RunEvent::Kind::Status:
        terminal.status(event.text, event.failing);
        break;
    case RunEvent::Kind::Message:
        terminal.notice(event.text);
        break;
    case RunEvent::Kind::ConfirmationAsked:
        terminal.notice(std::string(CLI_PROGRAM) +
                        ": the device is being written. Stopping now leaves it\nwithout a "
                        "working program until it is updated again. Press Ctrl-C\nagain within " +
                        std::to_string(CONFIRM_STOP_MS / 1000) + " seconds to stop anyway.");
        break;
    case RunEvent::Kind::Warning:
        terminal.notice(std::string(CLI_PROGRAM) + ": " + event.text);
        break;
    case RunEvent::Kind::WaitingForGuard:
    case RunEvent::Kind::WaitingForDevice:
        terminal.status(waitingLine(event.kind, event.waitUs));
        break;
    case RunEvent::Kind::Step:
        terminal.enterStep(event.step);
        break;
    case RunEvent::Kind::Ended:
        break;
    }
}

// The simulated device's summary, after everything else: it is the least of what the user must
// see, and computing it may need memory that a run out of memory no longer has. Only for a job that
// reached the device's steps: before them there is nothing to tell of it.
void printSummary(CliEnvironment& env, Transport& transport, const JobEnd& end)
{
    if (!end.step)
        return;
    if (const SimDevice* device = transport.simDevice()) {
        try {
            printSimSummary(env.out, *device);
        } catch (const std::bad_alloc&) {
            env.out << "\n(no summary of the simulated device: out of memory)\n";
        }
    }
    if (const ReplayBackend* replay = transport.replay())
        printReplaySummary(env.out, *replay);
}

// The exit status an end gives, the same whether it is told in lines or in JSON: a stop by a
// signal says so even where an internal error came with it.
int exitStatusOf(const JobEnd& end)
{
    if (!end.refusal.empty())
        return EXIT_BAD_INPUT;
    if (end.guardRefusal != GuardRefusal::None)
        return EXIT_DEVICE_FAILED;
    if (end.stoppedBy != 0)
        return 128 + end.stoppedBy;
    if (!end.internalError.empty())
        return EXIT_DEVICE_FAILED;
    return exitStatus(end.outcome);
}

// Tells how the update ended, beyond the status lines, and gives the exit status. The lines come
// in the order the user needs them: what failed, what the device holds now, then the summary.
int reportEnd(CliEnvironment& env, const Options& options, const JobEnd& end, TraceNotes& notes,
              Transport& transport)
{
    if (!end.refusal.empty())
        return usageError(env, end.refusal);
    switch (end.guardRefusal) {
    case GuardRefusal::None:
        break;
    case GuardRefusal::AlreadyRunning:
        env.err << ALREADY_RUNNING_TEXT << '\n'
                << CLI_PROGRAM << ": another updater is running; nothing was sent\n";
        return EXIT_DEVICE_FAILED;
    case GuardRefusal::HeldByOther:
        env.err << CLI_PROGRAM << ": another program holds the updaters' lock, so nothing was "
                << "sent: " << end.detail << '\n';
        return EXIT_DEVICE_FAILED;
    case GuardRefusal::Unavailable:
        env.err << CLI_PROGRAM
                << ": cannot make sure that no other updater is running, so nothing was sent: "
                << end.detail << '\n';
        return EXIT_DEVICE_FAILED;
    }
    const char* deviceState = deviceStateLine(end.device);
    const int status = exitStatusOf(end);
    if (!end.internalError.empty()) {
        env.err << CLI_PROGRAM << ": " << end.internalError << '\n';
    } else if (end.deviceWaitExpired) {
        env.err << CLI_PROGRAM << ": no bootloader was attached within " << *options.waitSeconds
                << " s\n";
    } else if (end.outcome == JobOutcome::OutOfMemory) {
        notes.note("failed", "out of memory");
        env.err << CLI_PROGRAM << ": " << end.detail << '\n'
                << CLI_PROGRAM << ": last status: " << end.lastStatus << '\n';
    } else if (end.outcome != JobOutcome::Success && !end.detail.empty()) {
        env.err << CLI_PROGRAM << ": " << end.detail << '\n';
    }
    if (end.openFailure == HidDevice::OpenState::Refused)
        adviseAccess(env);
    if (end.stoppedBy != 0) {
        notes.note("stopped", signalName(end.stoppedBy));
        env.err << CLI_PROGRAM << ": stopped by " << signalName(end.stoppedBy)
                << (end.device.reached || end.step ? ". " : " before the update began. ");
    }
    // What the device holds now, for every end but success.
    if (status != EXIT_UPDATED)
        env.err << deviceState;
    printSummary(env, transport, end);
    // Last, the sentence the windows end with too: what happened and what to do next.
    if (status != EXIT_UPDATED)
        env.err << endLine(end).text << '\n';
    return status;
}

// Hands the update to a run and shows what it publishes until it has ended.
int update(CliEnvironment& env, const Options& options, Transport& transport)
{
    SteadyClock screenClock;
    TerminalView terminal(env.out, env.err, env.terminal && !options.json, screenClock, env.columns,
                          env.escapes);
    JsonView json(env.out, screenClock);
    TraceNotes notes(transport.tracing(), transport.trace());
    const bool real = !options.simulate;
    std::optional<History> history;
    if (!env.historyFile.empty())
        history.emplace(env.historyFile);
    RunSetup setup{transport.backend(), real ? env.guard : nullptr, real ? env.systemHold : nullptr,
                   env.stops};
    setup.history = history ? &*history : nullptr;
    setup.frontEnd = CLI_PROGRAM;
    setup.version = VERSION;
    UpdateRun run(setup);
    JobRequest request;
    request.directory = options.directory;
    request.takeGuard = real;
    if (options.waitSeconds)
        request.waitUs = std::int64_t{*options.waitSeconds} * 1000000;
    request.holdSystem = real;
    request.simulated = !real;
    // Inputs before outputs: both files are loaded before the trace file is opened.
    request.afterLoad = [&transport, &options] { return transport.openTrace(options); };
    request.tap = &notes;
    request.loadHooks = env.loadHooks;
    run.start(std::move(request));
    for (bool ended = false; !ended;) {
        // Requests are weighed here too, so that one is seen while the worker waits on the device.
        run.pollStops();
        RunSnapshot now;
        for (const RunEvent& event : run.takeEvents(now)) {
            if (options.json)
                json.event(event, now);
            else
                render(terminal, event);
            ended = ended || event.kind == RunEvent::Kind::Ended;
        }
        if (!options.json)
            transport.reportTrace(terminal);
        if (!ended) {
            if (options.json)
                json.tick(now);
            else
                terminal.draw(now, false);
            run.waitForChange(RUN_LOOK_MS);
        }
    }
    terminal.finish();
    const RunSnapshot last = run.snapshot();
    const JobEnd end = last.end.value_or(JobEnd{});
    if (options.json) {
        notes.note(end.stoppedBy != 0 ? "stopped" : "ended",
                   end.stoppedBy != 0 ? signalName(end.stoppedBy) : outcomeName(end.outcome));
        json.end(end, exitStatusOf(end), last);
        return exitStatusOf(end);
    }
    return reportEnd(env, options, end, notes, transport);
}

// --history: the records kept for this user, readable or as they are kept.
int showHistory(CliEnvironment& env, const Options& options)
{
    if (env.historyFile.empty()) {
        env.err << CLI_PROGRAM << ": this user has no folder to keep a history in\n";
        return EXIT_DEVICE_FAILED;
    }
    std::string error;
    const std::optional<std::vector<Json>> records = History(env.historyFile).read(error);
    if (!records) {
        env.err << CLI_PROGRAM << ": cannot read " << printable(utf8FromPath(env.historyFile))
                << ": " << error << '\n';
        return EXIT_DEVICE_FAILED;
    }
    for (const Json& record : *records) {
        if (options.json)
            env.out << record.dump() << '\n';
        else
            env.out << HistoryRecord::fromJson(record)->readable() << '\n';
    }
    if (records->empty() && !options.json)
        env.out << "No update is recorded in " << printable(utf8FromPath(env.historyFile)) << ".\n";
    env.out << std::flush;
    return EXIT_UPDATED;
}

// --list, after the trace is opened and the device waited for when asked.
int list(CliEnvironment& env, const Options& options, Transport& transport)
{
    if (const std::string error = transport.openTrace(options); !error.empty())
        return usageError(env, error);
    TraceNotes notes(transport.tracing(), transport.trace());
    // A wait that runs out lists all the same: the listing says that nothing is attached.
    if (options.waitSeconds) {
        const std::int64_t waitUs = std::int64_t{*options.waitSeconds} * 1000000;
        env.out << waitingLine(RunEvent::Kind::WaitingForDevice, waitUs) << '\n' << std::flush;
        UpdateRun run({transport.backend(), nullptr, nullptr, env.stops});
        if (run.waitForDevice(waitUs) == UpdateRun::DeviceWait::Stopped) {
            const int signal = run.stoppedBy();
            notes.note("stopped", signalName(signal));
            env.err << CLI_PROGRAM << ": stopped by " << signalName(signal)
                    << " while waiting for the device; nothing was sent\n";
            return 128 + signal;
        }
    }
    return listDevices(env, transport.backend());
}

int dispatch(CliEnvironment& env, const Options& options)
{
    if (!options.list)
        if (const std::string problem = directoryProblem(options.directory); !problem.empty())
            return usageError(env, problem);
    Transport transport(options, env);
    if (!transport.problem().empty())
        return usageError(env, transport.problem());
    const int status =
        options.list ? list(env, options, transport) : update(env, options, transport);
    if (TraceFile* trace = transport.trace()) {
        trace->close([&env] { return env.stops && !env.stops->take().empty(); });
        if (const std::string report = trace->takeReport(); !report.empty())
            env.err << report << '\n';
    }
    return status;
}

int run(std::span<const std::string> args, CliEnvironment& env, bool& outputChecked)
{
    Options options;
    if (const std::string error = parseOptions(args, options); !error.empty())
        return usageError(env, error);
    // Help, version, the listing and the history are what they print: a lost output is their
    // failure.
    outputChecked = options.help || options.version || options.list || options.history;
    if (options.help) {
        env.out << helpText(CLI_PROGRAM) << std::flush;
        return EXIT_UPDATED;
    }
    if (options.version) {
        env.out << CLI_PROGRAM << ' ' << VERSION << " (" << env.transportVersion << ")\n"
                << std::flush;
        return EXIT_UPDATED;
    }
    if (options.history)
        return showHistory(env, options);
    return dispatch(env, options);
}

// Writes `text` through `channel` for at most `waitMs` in all; false when not all of it went.
bool writeWithin(const QueuedWriter::Channel& channel, const std::string& text, int waitMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    std::size_t written = 0;
    while (written < text.size()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return false;
        std::string reason;
        const long count = channel(text.data() + written, text.size() - written,
                                   static_cast<int>(std::min<long long>(left, 100)), reason);
        if (count < 0)
            return false;
        written += static_cast<std::size_t>(count);
    }
    return true;
}

} // namespace

// Standard output and error are written by a thread of their own, so that a reader that stalls (a
// full pipe, a terminal on hold) never holds the run or a stop; at the end that thread gets a
// bounded time, and what a reader that did not stall still misses is written with a bound too.
int runCli(std::span<const std::string> args, CliEnvironment& env)
{
    const QueuedWriter::Channel outChannel =
        env.outChannel ? env.outChannel : streamChannel(env.out);
    const QueuedWriter::Channel errChannel =
        env.errChannel ? env.errChannel : streamChannel(env.err);
    std::unique_ptr<QueuedWriter> writer;
    try {
        writer =
            std::make_unique<QueuedWriter>(std::vector{outChannel, errChannel}, OUTPUT_QUEUE_BYTES);
    } catch (const std::system_error& error) {
        writeWithin(errChannel,
                    std::string(CLI_PROGRAM) + ": cannot start a thread (" + error.what() +
                        "); nothing was sent\n",
                    OUTPUT_LEFTOVER_MS);
        return EXIT_DEVICE_FAILED;
    }
    QueuedStreamBuf outBuffer(*writer, 0);
    QueuedStreamBuf errBuffer(*writer, 1);
    std::ostream out(&outBuffer);
    std::ostream err(&errBuffer);
    CliEnvironment queued{
        out,           err,       env.terminal, env.realBackend, env.transportVersion,
        env.columns,   env.stops, env.guard,    env.escapes,     env.installedUdevRule,
        env.systemHold};
    queued.historyFile = env.historyFile;
    queued.loadHooks = env.loadHooks;
    bool outputChecked = false;
    int status = EXIT_DEVICE_FAILED;
    try {
        status = run(args, queued, outputChecked);
    } catch (const std::bad_alloc&) {
        err << CLI_PROGRAM << ": out of memory\n";
        status = EXIT_DEVICE_FAILED;
    }
    out.flush();
    err.flush();
    // After the end nothing is at risk: a request to stop ends the wait for slow readers at once.
    const bool drained =
        writer->close(OUTPUT_DRAIN_MS, [&env] { return env.stops && !env.stops->take().empty(); });
    std::string lost;
    if (const std::string failure = writer->failure(0); !failure.empty()) {
        lost = std::string(CLI_PROGRAM) + ": standard output could not be written (" + failure +
               "): what it should have shown is lost\n";
        if (outputChecked && status == EXIT_UPDATED)
            status = EXIT_DEVICE_FAILED;
    }
    if (!drained) {
        env.outputLeftBehind = true;
        // The stream that did not stall still gets its text (how the update ended, above all),
        // unless it is the very file that stalled.
        if (!env.outputsShareFile) {
            writeWithin(errChannel, writer->takeQueued(1), OUTPUT_LEFTOVER_MS / 2);
            writeWithin(outChannel, writer->takeQueued(0), OUTPUT_LEFTOVER_MS / 2);
        }
    }
    if (!lost.empty() && writer->failure(1).empty())
        writeWithin(errChannel, lost, OUTPUT_LEFTOVER_MS / 2);
    return status;
}

} // namespace quarvo
