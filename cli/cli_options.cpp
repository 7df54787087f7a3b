#include "cli_options.h"

#include "hid/text_encoding.h"
#include "job/flash_job.h"
#include "protocol/texts.h"

#include <charconv>
#include <iterator>

namespace quarvo {
namespace {

// How an option takes its value: not at all, as the next argument ("-C DIR"), or optionally
// after "=" ("--wait[=SECONDS]").
enum class Value { None, Next, Attached };

struct OptionEntry {
    const char* name;
    const char* alias; // another spelling, or nullptr
    Value value;
    const char* valueName;
    const char* help; // lines after the first are indented under it
    // Takes the value (null when none was given); returns an error message or empty.
    std::string (*apply)(Options& options, const std::string* value);
};

std::optional<unsigned> parseSeconds(const std::string& text)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 ||
        value > MAX_WAIT_SECONDS)
        return std::nullopt;
    return value;
}

// Why a --simulate value is not a scenario, in the words the user needs.
std::string scenarioComplaint(const std::string& value)
{
    const std::string name = value.substr(0, value.find(':'));
    for (const ScenarioInfo& info : scenarioCatalogue(ScenarioSet::WithReplay)) {
        if (name != info.name)
            continue;
        if (info.takesPath)
            return "scenario '" + name + "' needs :TRACE, a file written by --trace (" + name +
                   ":TRACE)";
        if (info.takesCount)
            return "scenario '" + name + "' needs :N with a whole number N >= 1 (" + name + ":N)";
        return "scenario '" + name + "' takes no :N";
    }
    return "unknown scenario '" + printable(value) + "' (see --help)";
}

const OptionEntry OPTIONS[] = {
    {"-C", nullptr, Value::Next, "DIR",
     "read the update files from DIR (default: the current directory)",
     [](Options& o, const std::string* v) {
         o.directory = pathFromUtf8(*v);
         return std::string();
     }},
    {"--list", nullptr, Value::None, nullptr,
     "list attached bootloaders and whether each can be opened\n"
     "(with --wait: once one is attached; with --trace: what was asked)",
     [](Options& o, const std::string*) {
         o.list = true;
         return std::string();
     }},
    {"--simulate", nullptr, Value::Attached, "SCENARIO",
     "run against the built-in simulated bootloader instead of a real\n"
     "device (its waits take no real time), then print what it holds",
     [](Options& o, const std::string* v) {
         o.simulate = v ? parseScenario(*v, ScenarioSet::WithReplay)
                        : std::optional<SimScenario>(SimScenario{});
         return o.simulate ? std::string() : scenarioComplaint(*v);
     }},
    {"--real-time", nullptr, Value::None, nullptr,
     "with --simulate: run the simulated device on the system clock\n"
     "at a real device's pace (1 ms per report; a replay at its\n"
     "recording's)",
     [](Options& o, const std::string*) {
         o.realTime = true;
         return std::string();
     }},
    {"--pace", nullptr, Value::Attached, "ERASE,REPORT",
     "with --simulate: the simulated device's pace, in milliseconds\n"
     "per erased sector and per report (as 20,1: the plan's own)",
     [](Options& o, const std::string* v) {
         o.pace = v ? parsePace(*v) : std::nullopt;
         return o.pace ? std::string()
                       : "--pace takes two numbers of milliseconds, ERASE,REPORT (as --pace=20,1)";
     }},
    {"--wait", nullptr, Value::Attached, "SECONDS",
     "wait up to SECONDS (default 60) for the bootloader to be\nattached, then update",
     [](Options& o, const std::string* v) {
         o.waitSeconds = v ? parseSeconds(*v) : std::optional<unsigned>(DEFAULT_WAIT_SECONDS);
         return o.waitSeconds ? std::string()
                              : "--wait takes a number of seconds from 1 to " +
                                    std::to_string(MAX_WAIT_SECONDS);
     }},
    {"--trace", nullptr, Value::Next, "FILE",
     "write every report sent and received, with timestamps, to FILE",
     [](Options& o, const std::string* v) {
         o.traceFile = *v;
         return std::string();
     }},
    {"--history", nullptr, Value::None, nullptr,
     "print the record of every update of this user's, newest last\n"
     "(with --json: the records as they are kept, one per line)",
     [](Options& o, const std::string*) {
         o.history = true;
         return std::string();
     }},
    {"--json", nullptr, Value::None, nullptr,
     "print one JSON object per line for each event of the update,\n"
     "in place of the human lines (fields in the README)",
     [](Options& o, const std::string*) {
         o.json = true;
         return std::string();
     }},
    {"--help", "-h", Value::None, nullptr, "show this help",
     [](Options& o, const std::string*) {
         o.help = true;
         return std::string();
     }},
    {"--version", nullptr, Value::None, nullptr, "show the version",
     [](Options& o, const std::string*) {
         o.version = true;
         return std::string();
     }},
};

constexpr std::size_t HELP_COLUMN = 24;

std::string usageOf(const OptionEntry& entry)
{
    std::string usage = entry.name;
    if (entry.value == Value::Next)
        usage.append(" ").append(entry.valueName);
    else if (entry.value == Value::Attached)
        usage.append("[=").append(entry.valueName).append("]");
    return usage;
}

std::string optionsHelp()
{
    std::string text;
    for (const OptionEntry& entry : OPTIONS) {
        std::string usage = "  " + usageOf(entry);
        usage.resize(std::max(usage.size() + 1, HELP_COLUMN), ' ');
        text += usage;
        for (const char* c = entry.help; *c; ++c) {
            text += *c;
            if (*c == '\n')
                text.append(HELP_COLUMN, ' ');
        }
        text += '\n';
    }
    return text;
}

std::string scenarioHelp()
{
    std::string text;
    for (const ScenarioInfo& info : scenarioCatalogue(ScenarioSet::WithReplay)) {
        std::string name = info.name;
        if (info.takesCount)
            name += ":N";
        if (info.takesPath)
            name += ":TRACE";
        name.resize(18, ' ');
        text += "  " + name + info.description + "\n";
    }
    return text;
}

// The option an argument names, and the value attached to it after "=".
const OptionEntry* findOption(const std::string& arg, std::string& attached, bool& hasAttached)
{
    hasAttached = false;
    for (const OptionEntry& entry : OPTIONS) {
        if (arg == entry.name || (entry.alias && arg == entry.alias))
            return &entry;
        const std::string prefix = std::string(entry.name) + "=";
        if (entry.value == Value::Attached && arg.rfind(prefix, 0) == 0) {
            attached = arg.substr(prefix.size());
            hasAttached = true;
            return &entry;
        }
    }
    return nullptr;
}

// "unknown argument", with the likely intent when the argument is the value of the option
// before it, given as a separate word ("--wait 5" for "--wait=5").
std::string unknownArgument(std::span<const std::string> args, std::size_t index)
{
    std::string message = "unknown argument '" + printable(args[index]) + "'";
    if (index > 0) {
        std::string attached;
        bool hasAttached = false;
        const OptionEntry* before = findOption(args[index - 1], attached, hasAttached);
        if (before && before->value == Value::Attached && !hasAttached)
            message +=
                "; did you mean " + std::string(before->name) + "=" + printable(args[index]) + "?";
    }
    return message;
}

} // namespace

std::string parseOptions(std::span<const std::string> args, Options& options)
{
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string value;
        bool hasAttached = false;
        const OptionEntry* entry = findOption(args[i], value, hasAttached);
        if (!entry)
            return unknownArgument(args, i);
        if (entry->value == Value::Next) {
            if (i + 1 >= args.size())
                return "option " + args[i] + " needs an argument";
            value = args[++i];
            if (value.empty())
                return "option " + args[i - 1] + " needs a non-empty argument";
        }
        const bool given = hasAttached || entry->value == Value::Next;
        if (std::string error = entry->apply(options, given ? &value : nullptr); !error.empty())
            return error;
    }
    if (options.realTime && !options.simulate)
        return "--real-time goes with --simulate";
    if (options.pace && !options.simulate)
        return "--pace goes with --simulate";
    if (options.pace && options.simulate->fault == Fault::Replay)
        return "--pace does not go with a replay: the recording keeps its own pace";
    if (options.json && options.list)
        return "--json goes with an update or --history, not with --list";
    return {};
}

std::string helpText(const char* program)
{
    std::string text = std::string("Usage: ") + program + " [options]\n";
    text += R"(
Writes code_data.bin and car_data.bin into the road-safety device's flash through its
USB bootloader (HID 0416:b500), then restarts the device. Each status is printed on a
line of its own; on a terminal a progress bar shows the data being written.

Options:
)";
    text += optionsHelp();
    text += "\nScenarios for --simulate:\n";
    text += scenarioHelp();
    text += R"(
Signals: while the device is being written, Ctrl-C asks for a second Ctrl-C within
5 seconds before it stops the update; SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2 and SIGALRM
stop it before the next report; a hangup (closed terminal) lets it finish, and so does
any signal ignored when it started (nohup). A stopped update leaves the device without
a working program until it is updated again.

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

} // namespace quarvo
