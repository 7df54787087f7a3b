#include "sim_scenario.h"

#include <array>
#include <charconv>

namespace quarvo {
namespace {

constexpr std::array<ScenarioInfo, 17> CATALOGUE{{
    {Fault::None, "healthy", false, "a device that does everything right"},
    {Fault::Absent, "absent", false, "no device attached"},
    {Fault::OpenRefused, "open-refused", false, "device present, but opening it is refused"},
    {Fault::WriteFail, "write-fail", true, "output report N fails"},
    {Fault::ReadFail, "read-fail", true, "read N fails"},
    {Fault::ShortWrite, "short-write", true, "output report N is only partly sent"},
    {Fault::ZeroWrite, "zero-write", true, "output report N reports 0 bytes sent"},
    {Fault::EmptyRead, "empty-read", true, "read N delivers a report without payload"},
    {Fault::Silent, "silent", false, "the device never sends a report"},
    {Fault::Stall, "stall", true, "from output report N on the device stops answering"},
    {Fault::Endless, "endless", false, "erase status records never end"},
    {Fault::InstantErase, "instant-erase", false, "the erase ends the moment it is asked for"},
    {Fault::Split32, "split32", false, "status records arrive as two 32-byte payloads"},
    {Fault::Split40, "split40", false, "status records arrive as two 40-byte payloads"},
    {Fault::Disconnect, "disconnect", true, "the device vanishes after output report N"},
    {Fault::SecondDevice, "second-device", false, "a second matching device is attached"},
    {Fault::Late, "late", true, "the device is attached N seconds after the start"},
}};

} // namespace

std::span<const ScenarioInfo> scenarioCatalogue() { return CATALOGUE; }

std::string SimScenario::name() const
{
    for (const ScenarioInfo& info : CATALOGUE)
        if (info.fault == fault)
            return info.takesCount ? std::string(info.name) + ":" + std::to_string(at) : info.name;
    return "unknown";
}

std::optional<SimScenario> parseScenario(std::string_view text)
{
    const auto colon = text.find(':');
    const std::string_view name = text.substr(0, colon);
    for (const ScenarioInfo& info : CATALOGUE) {
        if (name != info.name)
            continue;
        if (!info.takesCount)
            return colon == std::string_view::npos ? std::optional(SimScenario{info.fault, 0})
                                                   : std::nullopt;
        if (colon == std::string_view::npos)
            return std::nullopt;
        const std::string_view digits = text.substr(colon + 1);
        unsigned value = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error != std::errc() || end != digits.data() + digits.size() || value == 0)
            return std::nullopt;
        return SimScenario{info.fault, value};
    }
    return std::nullopt;
}

} // namespace quarvo
