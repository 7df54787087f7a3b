#include "cli_app.h"

#include "terminal_surface.h"

#include "hid/tracing_backend.h"
#include "job/flash_job.h"
#include "protocol/texts.h"
#include "sim/sim_backend.h"
#include "sim/virtual_clock.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>

namespace quarvo {
namespace {

constexpr const char* PROGRAM = "quarvo-flash";
constexpr const char* VERSION = "2.0.0.1";
constexpr const char* UDEV_RULE = "packaging/linux/70-quarvo-bootloader.rules";

struct Options {
    std::filesystem::path directory = ".";
    bool list = false;
    bool help = false;
    bool version = false;
    std::optional<SimScenario> simulate;
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
    return std::string("Usage: ") + PROGRAM + " [options]\n" +
           "\n"
           "Writes code_data.bin and car_data.bin into the road-safety device's flash through its\n"
           "USB bootloader (HID 0416:b500), then restarts the device. Each status is printed on a\n"
           "line of its own; on a terminal a progress bar shows the data being written.\n"
           "\n"
           "Options:\n"
           "  -C DIR                read the update files from DIR (default: the current directory)\n"
           "  --list                list attached bootloaders and whether each can be opened\n"
           "  --simulate[=SCENARIO] run against the built-in simulated bootloader instead of a real\n"
           "                        device (its waits take no real time), then print what it holds\n"
           "  --trace FILE          write every report sent and received, with timestamps, to FILE\n"
           "  --help                show this help\n"
           "  --version             show the version\n"
           "\n"
           "Scenarios for --simulate:\n" +
           scenarioHelp() +
           "\n"
           "Exit status:\n"
           "  0  the update ended with \"" + text::UPDATE_OK + "\" (--list: a bootloader can be opened)\n"
           "  1  the device could not be reached or the flashing failed (--list: none usable)\n"
           "  2  a missing, unreadable or oversized update file, or a usage error\n";
}

int usageError(CliEnvironment& env, const std::string& message)
{
    env.err << PROGRAM << ": " << message << "\nTry '" << PROGRAM << " --help'.\n";
    return EXIT_BAD_INPUT;
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
                options.directory = value;
            else
                options.traceFile = value;
        } else if (arg == "--simulate") {
            options.simulate = SimScenario{};
        } else if (arg.rfind("--simulate=", 0) == 0) {
            options.simulate = parseScenario(arg.substr(11));
            if (!options.simulate)
                return "unknown scenario '" + arg.substr(11) + "'";
        } else {
            return "unknown argument '" + arg + "'";
        }
    }
    return {};
}

void adviseAccess(CliEnvironment& env)
{
    env.err << "The device is attached but this user may not open it.\n"
#if defined(__linux__)
            << "On Linux, install the project's udev rule, then unplug and replug the device:\n"
            << "  sudo cp " << UDEV_RULE << " /etc/udev/rules.d/\n"
            << "  sudo udevadm control --reload-rules && sudo udevadm trigger\n"
#elif defined(_WIN32)
            << "Close any other program that uses the device, then try again.\n"
#else
            << "Check that no other program holds the device and that this user may use it.\n"
#endif
        ;
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
    if (found == 0)
        env.out << "No bootloader (HID 0416:b500) is attached.\n";
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
    case JobOutcome::DeviceFailed:
        break;
    }
    return EXIT_DEVICE_FAILED;
}

} // namespace

int runCli(std::span<const std::string> args, CliEnvironment& env)
{
    Options options;
    if (const std::string error = parse(args, options); !error.empty())
        return usageError(env, error);
    if (options.help) {
        env.out << helpText();
        return EXIT_UPDATED;
    }
    if (options.version) {
        env.out << PROGRAM << ' ' << VERSION << " (" << env.transportVersion << ")\n";
        return EXIT_UPDATED;
    }
    std::error_code fsError;
    if (!std::filesystem::is_directory(options.directory, fsError))
        return usageError(env, "no such directory: " + options.directory.string());

    // The simulated bootloader runs on virtual time; the real device on the system clock.
    VirtualClock simClock;
    SimBackend simBackend(simClock);
    const SimDevice* simDevice = nullptr;
    std::unique_ptr<HidBackend> realBackend;
    HidBackend* backend = nullptr;
    if (options.simulate) {
        simDevice = &attachBootloader(simBackend, *options.simulate);
        backend = &simBackend;
    } else {
        realBackend = env.realBackend();
        backend = realBackend.get();
    }

    std::ofstream traceStream;
    std::optional<TracingBackend> tracing;
    if (!options.traceFile.empty()) {
        traceStream.open(options.traceFile);
        if (!traceStream)
            return usageError(env, "cannot write the trace file " + options.traceFile);
        tracing.emplace(*backend, traceStream);
        backend = &*tracing;
    }

    if (options.list)
        return listDevices(env, *backend);

    SteadyClock screenClock;
    TerminalSurface surface(env.out, env.err, env.terminal, screenClock);
    CommandContext ctx{*backend, surface};
    const JobOutcome outcome = runFlashJob(ctx, options.directory);
    surface.finish();

    if (outcome != JobOutcome::Success && !ctx.detail.empty())
        env.err << PROGRAM << ": " << ctx.detail << '\n';
    if (ctx.openFailure == CHidDevice::OpenState::Refused)
        adviseAccess(env);
    if (simDevice)
        printSummary(env.out, *simDevice);
    return exitStatus(outcome);
}

} // namespace quarvo
