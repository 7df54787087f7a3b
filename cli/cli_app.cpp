#include "cli_app.h"

#include "quarvo_version.h"

#include "terminal_surface.h"

#include "hid/text_encoding.h"
#include "hid/tracing_backend.h"
#include "job/flash_job.h"
#include "platform/instance_guard.h"
#include "platform/udev_rule.h"
#include "protocol/texts.h"
#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <system_error>

namespace quarvo {
namespace {

constexpr const char* PROGRAM = "quarvo-flash";
constexpr const char* VERSION = QUARVO_VERSION;

// Longest --wait a user may ask for, and how often the wait looks for the device.
constexpr unsigned MAX_WAIT_SECONDS = 24 * 3600;
constexpr unsigned DEFAULT_WAIT_SECONDS = 60;
constexpr std::int64_t WAIT_POLL_US = 250000;
// The pace of --real-time: a full-speed USB HID device moves one report per millisecond.
constexpr std::int64_t REAL_TIME_REPORT_US = 1000;

struct Options {
    std::filesystem::path directory = ".";
    bool list = false;
    bool help = false;
    bool version = false;
    std::optional<SimScenario> simulate;
    bool realTime = false;
    std::optional<unsigned> waitSeconds;
    std::string traceFile;
};

std::string scenarioHelp()
{
    std::string text;
    for (const ScenarioInfo& info : scenarioCatalogue()) {
        std::string name = info.name;
        if (info.takesCount)
            name += ":N";
        name.resize(18, ' ');
        text += "  " + name + info.description + "\n";
    }
    return text;
}

std::string helpText()
{
    std::string text = std::string("Usage: ") + PROGRAM + " [options]\n";
    text += R"(
Writes code_data.bin and car_data.bin into the road-safety device's flash through its
USB bootloader (HID 0416:b500), then restarts the device. Each status is printed on a
line of its own; on a terminal a progress bar shows the data being written.

Options:
  -C DIR                read the update files from DIR (default: the current directory)
  --list                list attached bootloaders and whether each can be opened
  --simulate[=SCENARIO] run against the built-in simulated bootloader instead of a real
                        device (its waits take no real time), then print what it holds
  --real-time           with --simulate: run the simulated device on the system clock
                        at a real device's pace (1 ms per report)
  --wait[=SECONDS]      wait up to SECONDS (default 60) for the bootloader to be
                        attached, then update
  --trace FILE          write every report sent and received, with timestamps, to FILE
  --help                show this help
  --version             show the version

Scenarios for --simulate:
)";
    text += scenarioHelp();
    text += R"(
Signals: while the device is being written, Ctrl-C asks for a second Ctrl-C within
5 seconds before it stops the update; SIGTERM stops it at once; a hangup (closed
terminal) lets it finish. A stopped update leaves the device without a working
program until it is updated again.

Exit status:
)";
    text.append("  0  the update ended with \"")
        .append(text::UPDATE_OK)
        .append("\" (--list: a bootloader can be opened)\n");
    text +=
        R"(  1  the device could not be reached, the flashing failed, another updater is running,
     memory ran out or the output could not be written (--list: none usable)
  2  a missing, unreadable, empty or oversized update file, or a usage error
  128+N  stopped by signal N (130 for Ctrl-C, 143 for SIGTERM)
)";
    return text;
}

int usageError(CliEnvironment& env, const std::string& message)
{
    env.err << PROGRAM << ": " << message << "\nTry '" << PROGRAM << " --help'.\n";
    return EXIT_BAD_INPUT;
}

// Why a --simulate value is not a scenario, in the words the user needs.
std::string scenarioComplaint(const std::string& value)
{
    const std::string name = value.substr(0, value.find(':'));
    for (const ScenarioInfo& info : scenarioCatalogue()) {
        if (name != info.name)
            continue;
        if (info.takesCount)
            return "scenario '" + name + "' needs :N with a whole number N >= 1 (" + name + ":N)";
        return "scenario '" + name + "' takes no :N";
    }
    return "unknown scenario '" + printable(value) + "' (see --help)";
}

std::optional<unsigned> parseSeconds(const std::string& text)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 ||
        value > MAX_WAIT_SECONDS)
        return std::nullopt;
    return value;
}

// Returns an error message, or empty when the arguments are good.
std::string parse(std::span<const std::string> args, Options& options)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasNext = i + 1 < args.size();
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--list") {
            options.list = true;
        } else if (arg == "-C" || arg == "--trace") {
            if (!hasNext)
                return "option " + arg + " needs an argument";
            const std::string& value = args[++i];
            if (value.empty())
                return "option " + arg + " needs a non-empty argument";
            if (arg == "-C")
                options.directory = pathFromUtf8(value);
            else
                options.traceFile = value;
        } else if (arg == "--simulate") {
            options.simulate = SimScenario{};
        } else if (arg.rfind("--simulate=", 0) == 0) {
            options.simulate = parseScenario(arg.substr(11));
            if (!options.simulate)
                return scenarioComplaint(arg.substr(11));
        } else if (arg == "--real-time") {
            options.realTime = true;
        } else if (arg == "--wait") {
            options.waitSeconds = DEFAULT_WAIT_SECONDS;
        } else if (arg.rfind("--wait=", 0) == 0) {
            options.waitSeconds = parseSeconds(arg.substr(7));
            if (!options.waitSeconds)
                return "--wait takes a number of seconds from 1 to " +
                       std::to_string(MAX_WAIT_SECONDS);
        } else {
            return "unknown argument '" + printable(arg) + "'";
        }
    }
    if (options.realTime && !options.simulate)
        return "--real-time goes with --simulate";
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
    for (const HidDeviceInfo& info : backend.enumerate()) {
        if (info.vendorId != VENDOR_ID || info.productId != PRODUCT_ID)
            continue;
        ++found;
        std::string error;
        const bool opens = backend.open(info.path, error) != nullptr;
        env.out << info.path << "  " << (info.product.empty() ? "(no name)" : info.product);
        if (!info.serial.empty())
            env.out << "  serial " << info.serial;
        env.out << "  " << (opens ? "can be opened" : "cannot be opened: " + error) << '\n';
        usable += opens;
    }
    if (found == 0) {
        env.out << "No bootloader (HID 0416:b500) is attached.\n";
        if (const std::string reason = backend.unavailableReason(); !reason.empty())
            env.err << PROGRAM << ": " << reason << '\n';
    }
    if (found > usable)
        adviseAccess(env);
    return usable > 0 ? EXIT_UPDATED : EXIT_DEVICE_FAILED;
}

std::uint32_t crc32(const std::vector<std::uint8_t>& data)
{
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

std::string hex32(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

void printSummary(std::ostream& out, const SimDevice& device)
{
    out << "\nSimulated device:\n";
    for (const SimDevice::Command& command : device.commands()) {
        if (command.command == CMD_ERASE) {
            out << "  erased   " << hex32(command.param1 * 4096) << "  " << command.param2
                << (command.param2 == 1 ? " sector\n" : " sectors\n");
        } else if (command.command == CMD_PROGRAM) {
            const std::uint32_t address = command.param1 * 256;
            out << "  written  " << hex32(address) << "  " << command.dataReceived
                << " bytes  CRC-32 " << hex32(crc32(device.flash(address, command.dataReceived)))
                << "\n";
        } else if (command.command == CMD_RESTART) {
            out << "  restart\n";
        }
    }
    const auto header = device.flash(IMAGE_HEADER_ADDRESS, 32);
    out << "  image header at " << hex32(IMAGE_HEADER_ADDRESS) << ":";
    if (loadLe32(header.data()) != IMAGE_MAGIC) {
        out << " none\n";
    } else {
        for (std::size_t i = 0; i < 8; ++i)
            out << ' ' << hex32(loadLe32(header.data() + 4 * i));
        out << "  (code length " << loadLe32(header.data() + 20) << ")\n";
    }
    out << "  restarted: " << (device.restarted() ? "yes" : "no") << '\n';
    const std::size_t unerased = device.unerasedWriteCount();
    out << "  writes to flash that was not erased: " << unerased;
    if (unerased)
        out << " (first at " << hex32(device.unerasedWrites().front()) << ")";
    out << '\n';
    if (device.pendingProgramBytes())
        out << "  program data still expected: " << device.pendingProgramBytes() << " bytes\n";
    const auto violations = device.violations();
    out << "  protocol violations: " << (violations.empty() ? "none" : "") << '\n';
    for (const std::string& violation : violations)
        out << "    " << violation << '\n';
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

const char* signalName(int signal)
{
    switch (signal) {
    case 1:
        return "SIGHUP";
    case 2:
        return "SIGINT";
    case 15:
        return "SIGTERM";
    default:
        return "a signal";
    }
}

// The --trace file. Opened only once both update files are loaded and known not to be it;
// flushed at every status change and at the end, so that it is complete however the update ends.
// The first failed write is reported once; the exit status stays the update's.
class TraceFile {
public:
    TraceFile(CliEnvironment& env, std::string path) : m_env(env), m_path(std::move(path)) {}

    bool open()
    {
        m_stream.open(pathFromUtf8(m_path));
        return static_cast<bool>(m_stream);
    }
    std::ostream& stream() { return m_stream; }

    void flush()
    {
        errno = 0;
        m_stream.flush();
        if (m_stream || m_reported)
            return;
        m_reported = true;
        m_env.err << PROGRAM << ": writing the trace file " << printable(m_path) << " failed"
                  << (errno ? ": " + std::generic_category().message(errno) : std::string())
                  << "; the update goes on\n";
    }

private:
    CliEnvironment& m_env;
    std::string m_path;
    std::ofstream m_stream;
    bool m_reported = false;
};

// The terminal surface, with every status text and message also written to the trace, which is
// flushed there.
class TracedSurface final : public OutputSurface {
public:
    TracedSurface(OutputSurface& inner, TracingBackend* tracing, TraceFile* trace)
        : m_inner(inner), m_tracing(tracing), m_trace(trace)
    {
    }
    void setStatus(const std::string& text) override
    {
        m_inner.setStatus(text);
        note("status", text);
    }
    void setProgressRange(std::uint32_t maximum) override { m_inner.setProgressRange(maximum); }
    void setProgressPos(std::uint32_t position) override { m_inner.setProgressPos(position); }
    void showMessage(const std::string& text) override
    {
        m_inner.showMessage(text);
        note("message", text);
    }
    void note(const char* tag, const std::string& text)
    {
        if (!m_tracing)
            return;
        m_tracing->line(tag, text);
        m_trace->flush();
    }

private:
    OutputSurface& m_inner;
    TracingBackend* m_tracing;
    TraceFile* m_trace;
};

// Waits until a bootloader is attached. 0 when one is; the signal that ended the wait; or -1 when
// the time ran out.
int waitForDevice(CliEnvironment& env, HidBackend& backend, unsigned seconds)
{
    env.out << "Waiting up to " << seconds << " s for the bootloader (HID 0416:b500)...\n"
            << std::flush;
    Clock& clock = backend.clock();
    const std::int64_t deadlineUs = clock.nowUs() + std::int64_t{seconds} * 1000000;
    for (;;) {
        for (const HidDeviceInfo& info : backend.enumerate())
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

// An update file that the trace path names, by identity rather than spelling.
const LoadedFile* tracedUpdateFile(const std::string& tracePath, const UpdateFiles& files)
{
    for (const LoadedFile* file : {&files.code, &files.database}) {
        std::error_code error;
        if (std::filesystem::equivalent(pathFromUtf8(tracePath), file->path, error) && !error)
            return file;
    }
    return nullptr;
}

int printTo(CliEnvironment& env, const std::string& text)
{
    env.out << text << std::flush;
    if (env.out)
        return EXIT_UPDATED;
    env.err << PROGRAM << ": the output could not be written\n";
    return EXIT_DEVICE_FAILED;
}

int run(std::span<const std::string> args, CliEnvironment& env)
{
    Options options;
    if (const std::string error = parse(args, options); !error.empty())
        return usageError(env, error);
    if (options.help)
        return printTo(env, helpText());
    if (options.version)
        return printTo(env,
                       std::string(PROGRAM) + ' ' + VERSION + " (" + env.transportVersion + ")\n");
    if (!options.list) {
        std::error_code fsError;
        if (!std::filesystem::is_directory(options.directory, fsError))
            return usageError(env,
                              "no such directory: " + printable(utf8FromPath(options.directory)));
    }

    // One updater at a time: the window takes the same guard. Listing changes nothing, and the
    // simulator touches no device.
    if (!options.list && !options.simulate && env.acquireUpdateGuard &&
        env.acquireUpdateGuard() == UpdateGuard::AlreadyRunning) {
        env.err << ALREADY_RUNNING_TEXT << '\n'
                << PROGRAM << ": another updater is running; nothing was sent\n";
        return EXIT_DEVICE_FAILED;
    }

    // The simulated bootloader runs on virtual time unless asked to keep a real device's pace;
    // the real device on the system clock.
    VirtualClock virtualClock;
    SteadyClock steadyClock;
    SimBackend simBackend(options.realTime ? static_cast<Clock&>(steadyClock) : virtualClock);
    const SimDevice* simDevice = nullptr;
    std::unique_ptr<HidBackend> realBackend;
    HidBackend* backend = nullptr;
    if (options.simulate) {
        SimTiming timing;
        if (options.realTime)
            timing.reportUs = REAL_TIME_REPORT_US;
        simDevice = &attachBootloader(simBackend, *options.simulate, timing);
        backend = &simBackend;
    } else {
        realBackend = env.realBackend();
        backend = realBackend.get();
    }

    if (options.list)
        return listDevices(env, *backend);

    SteadyClock screenClock;
    TerminalSurface terminal(env.out, env.err, env.terminal, screenClock, env.columns, env.escapes);

    // Inputs before outputs: both files are loaded before the trace file is opened.
    UpdateFiles files;
    {
        CommandContext loading{*backend, terminal};
        const JobOutcome loaded = loadUpdateFiles(loading, options.directory, files);
        if (loaded != JobOutcome::Success) {
            terminal.finish();
            env.err << PROGRAM << ": " << loading.detail << '\n';
            return exitStatus(loaded);
        }
    }

    std::optional<TraceFile> trace;
    std::optional<TracingBackend> tracing;
    if (!options.traceFile.empty()) {
        if (const LoadedFile* file = tracedUpdateFile(options.traceFile, files))
            return usageError(env, "the trace file " + printable(options.traceFile) +
                                       " is the update file " +
                                       printable(utf8FromPath(file->path)) + "; nothing was sent");
        trace.emplace(env, options.traceFile);
        if (!trace->open())
            return usageError(env, "cannot write the trace file " + printable(options.traceFile) +
                                       ": " + std::generic_category().message(errno));
        tracing.emplace(*backend, trace->stream());
        backend = &*tracing;
    }
    TracedSurface surface(terminal, tracing ? &*tracing : nullptr, trace ? &*trace : nullptr);
    CommandContext ctx{*backend, surface};

    if (options.waitSeconds) {
        const int waited = waitForDevice(env, *backend, *options.waitSeconds);
        if (waited > 0) {
            env.err << PROGRAM << ": stopped by " << signalName(waited)
                    << " while waiting for the device; nothing was sent\n";
            return 128 + waited;
        }
        if (waited < 0) {
            surface.setStatus(text::CONNECT_FAILED);
            terminal.finish();
            env.err << PROGRAM << ": no bootloader was attached within " << *options.waitSeconds
                    << " s\n";
            return EXIT_DEVICE_FAILED;
        }
    }

    // Signals are looked at before every report. Until the first report goes out the device is
    // untouched; from then on a stop leaves it without a working program.
    bool atRisk = false;
    int stoppedBy = 0;
    if (env.stops) {
        ctx.stopRequested = [&] {
            if ((stoppedBy = env.stops->requested()) != 0)
                return true;
            if (env.stops->confirmationAsked())
                terminal.notice(std::string(PROGRAM) +
                                ": the device is being written. Stopping now leaves it\nwithout "
                                "a working program until it is updated again. Press Ctrl-C\n"
                                "again within " +
                                std::to_string(CONFIRM_STOP_SECONDS) + " seconds to stop anyway.");
            if (!atRisk) {
                atRisk = true;
                env.stops->deviceAtRisk();
            }
            return false;
        };
    }
    const JobOutcome outcome = flashUpdate(ctx, files);
    terminal.finish();

    if (outcome != JobOutcome::Success && !ctx.detail.empty())
        env.err << PROGRAM << ": " << ctx.detail << '\n';
    if (ctx.openFailure == HidDevice::OpenState::Refused)
        adviseAccess(env);
    if (simDevice)
        printSummary(env.out, *simDevice);
    if (stoppedBy != 0 && outcome != JobOutcome::Success) {
        if (tracing)
            tracing->line("stopped", signalName(stoppedBy));
        env.err << PROGRAM << ": stopped by " << signalName(stoppedBy) << ". "
                << (atRisk ? "The device holds an incomplete update and\nhas no working "
                             "program: update it again before unplugging it.\n"
                           : "Nothing was sent; the device is unchanged.\n");
    }
    if (trace)
        trace->flush();
    if (stoppedBy != 0 && outcome != JobOutcome::Success)
        return 128 + stoppedBy;
    return exitStatus(outcome);
}

} // namespace

int runCli(std::span<const std::string> args, CliEnvironment& env)
{
    try {
        return run(args, env);
    } catch (const std::bad_alloc&) {
        env.err << PROGRAM << ": out of memory\n";
        return EXIT_DEVICE_FAILED;
    }
}

} // namespace quarvo
