#include "sim_scenario.h"

#include <array>
#include <charconv>

namespace quarvo {
namespace {

// The device model's scenarios, then the replay: the model's set is a prefix of the whole.
constexpr std::array<ScenarioInfo, 18> CATALOGUE{{
    {Fault::None, "healthy", false, false, "a device that does everything right"},
    {Fault::Absent, "absent", false, false, "no device attached"},
    {Fault::OpenRefused, "open-refused", false, false, "device present, but opening it is refused"},
    {Fault::WriteFail, "write-fail", true, false, "output report N fails"},
    {Fault::ReadFail, "read-fail", true, false, "read N fails"},
    {Fault::ShortWrite, "short-write", true, false, "output report N is only partly sent"},
    {Fault::ZeroWrite, "zero-write", true, false, "output report N reports 0 bytes sent"},
    {Fault::EmptyRead, "empty-read", true, false, "read N delivers a report without payload"},
    {Fault::Silent, "silent", false, false, "the device never sends a report"},
    {Fault::Stall, "stall", true, false, "from output report N on the device stops answering"},
    {Fault::Endless, "endless", false, false, "erase status records never end"},
    {Fault::InstantErase, "instant-erase", false, false,
     "the erase ends the moment it is asked for"},
    {Fault::Split32, "split32", false, false, "status records arrive as two 32-byte payloads"},
    {Fault::Split40, "split40", false, false, "status records arrive as two 40-byte payloads"},
    {Fault::Disconnect, "disconnect", true, false, "the device vanishes after output report N"},
    {Fault::SecondDevice, "second-device", false, false, "a second matching device is attached"},
    {Fault::Late, "late", true, false, "the device is attached N seconds after the start"},
    {Fault::Replay, "replay", false, true, "TRACE, a recording made with --trace, as the device"},
}};
constexpr std::size_t DEVICE_MODEL_COUNT = CATALOGUE.size() - 1;

} // namespace

std::span<const ScenarioInfo> scenarioCatalogue(ScenarioSet set)
{
    const std::span<const ScenarioInfo> all = CATALOGUE;
    return set == ScenarioSet::WithReplay ? all : all.first(DEVICE_MODEL_COUNT);
}

std::string SimScenario::name() const
{
    for (const ScenarioInfo& info : CATALOGUE) {
        if (info.fault != fault)
            continue;
        if (info.takesPath)
            return std::string(info.name) + ":" + recording;
        return info.takesCount ? std::string(info.name) + ":" + std::to_string(at) : info.name;
    }
    return "unknown";
}

std::optional<SimScenario> parseScenario(std::string_view text, ScenarioSet set)
{
    // Only the first colon separates: a path may hold more ("replay:C:\\traces\\x.trace").
    const auto colon = text.find(':');
    const std::string_view name = text.substr(0, colon);
    const bool hasValue = colon != std::string_view::npos;
    const std::string_view value = hasValue ? text.substr(colon + 1) : std::string_view();
    for (const ScenarioInfo& info : scenarioCatalogue(set)) {
        if (name != info.name)
            continue;
        if (info.takesPath) {
            if (value.empty())
                return std::nullopt;
            return SimScenario{info.fault, 0, std::string(value)};
        }
        if (!info.takesCount)
            return hasValue ? std::nullopt : std::optional(SimScenario{info.fault, 0});
        if (!hasValue)
            return std::nullopt;
        unsigned count = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
        if (error != std::errc() || end != value.data() + value.size() || count == 0)
            return std::nullopt;
        return SimScenario{info.fault, count};
    }
    return std::nullopt;
}

} // namespace quarvo
