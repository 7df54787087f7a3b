#include "history.h"

#include "job/flash_job.h"
#include "platform/durable_file.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace quarvo {
namespace {

constexpr std::array<const char*, 5> REGION_STATE_NAMES = {"untouched", "being erased", "erased",
                                                           "partly written", "written"};
constexpr std::array<const char*, 7> FAILURE_NAMES = {
    "none",           "device absent", "open refused", "link lost",
    "device refused", "device silent", "stopped"};
constexpr std::array<const char*, DEVICE_REGION_COUNT> REGION_NAMES = {"program", "header",
                                                                       "database"};

template <typename Enum, std::size_t N>
Enum fromName(const std::array<const char*, N>& names, const std::string& name)
{
    for (std::size_t i = 0; i < N; ++i)
        if (name == names[i])
            return static_cast<Enum>(i);
    return static_cast<Enum>(0);
}

Json deviceJson(const DeviceState& device)
{
    Json json;
    json.set("reached", device.reached);
    for (std::size_t i = 0; i < DEVICE_REGION_COUNT; ++i)
        json.set(REGION_NAMES[i], REGION_STATE_NAMES[static_cast<std::size_t>(device.regions[i])]);
    json.set("restartSent", device.restartSent);
    json.set("failure", FAILURE_NAMES[static_cast<std::size_t>(device.failure)]);
    return json;
}

DeviceState deviceFromJson(const Json& json)
{
    DeviceState device;
    device.reached = json["reached"].boolean();
    for (std::size_t i = 0; i < DEVICE_REGION_COUNT; ++i)
        device.regions[i] = fromName<RegionState>(REGION_STATE_NAMES, json[REGION_NAMES[i]].text());
    device.restartSent = json["restartSent"].boolean();
    device.failure = fromName<FailureKind>(FAILURE_NAMES, json["failure"].text());
    return device;
}

std::string joined(const std::vector<std::string>& parts, const char* between)
{
    std::string text;
    for (const std::string& part : parts) {
        if (!text.empty())
            text += between;
        text += part;
    }
    return text;
}

// A count kept as a JSON number: none where it is absent, no number, has a fraction or lies
// outside what `Count` holds (converting such a double is undefined).
template <typename Count> std::optional<Count> countFrom(const Json& json)
{
    if (!json.isNumber())
        return std::nullopt;
    const double value = json.number();
    // The type's maximum as a double is the power of two just past it.
    const auto past = static_cast<double>(std::numeric_limits<Count>::max());
    if (!(value >= 0 && value < past) || value != std::floor(value))
        return std::nullopt;
    return static_cast<Count>(value);
}

template <typename Count> Json countJson(const std::optional<Count>& count)
{
    return count ? Json(*count) : Json();
}

// The newest whole lines of `tail` that fill at most `keepBytes`, and at least the newest line
// whatever its length; none when there is no whole line to keep.
std::optional<std::string> newestLines(const FileTail& tail, std::uintmax_t keepBytes)
{
    const std::string_view content = tail.content;
    std::size_t keepFrom = content.size();
    while (keepFrom > 0) {
        const std::size_t previousEnd =
            keepFrom >= 2 ? content.rfind('\n', keepFrom - 2) : std::string_view::npos;
        const std::size_t start = previousEnd == std::string_view::npos ? 0 : previousEnd + 1;
        // What precedes the first newline of a cut tail is part of a line.
        if (start == 0 && tail.cut)
            break;
        if (content.size() - start > keepBytes && keepFrom < content.size())
            break;
        keepFrom = start;
    }
    if (keepFrom == content.size())
        return std::nullopt;
    return std::string(content.substr(keepFrom));
}

} // namespace

Json HistoryRecord::toJson() const
{
    Json json;
    json.set("time", time);
    json.set("frontEnd", frontEnd);
    json.set("version", version);
    json.set("simulated", simulated);
    json.set("folder", folder);
    Json::Array fileList;
    for (const File& file : files) {
        Json entry;
        entry.set("name", file.name);
        entry.set("size", countJson(file.size));
        entry.set("sha256", file.sha256);
        fileList.push_back(std::move(entry));
    }
    json.set("files", std::move(fileList));
    json.set("checked", checked);
    Json deviceEntry;
    deviceEntry.set("path", devicePath);
    deviceEntry.set("product", deviceProduct);
    deviceEntry.set("serial", deviceSerial);
    json.set("device", std::move(deviceEntry));
    Json::Array stepList;
    for (const std::string& step : steps)
        stepList.emplace_back(step);
    json.set("steps", std::move(stepList));
    json.set("deviceState", deviceJson(device));
    json.set("outcome", outcome);
    json.set("stoppedBy", stoppedBy);
    json.set("detail", detail);
    json.set("durationMs", countJson(durationMs));
    return json;
}

std::optional<HistoryRecord> HistoryRecord::fromJson(const Json& json)
{
    if (!json.isObject() || json["time"].text().empty() || json["outcome"].text().empty())
        return std::nullopt;
    HistoryRecord record;
    record.time = json["time"].text();
    record.frontEnd = json["frontEnd"].text();
    record.version = json["version"].text();
    record.simulated = json["simulated"].boolean();
    record.folder = json["folder"].text();
    for (const Json& file : json["files"].items())
        record.files.push_back(
            {file["name"].text(), countFrom<std::uint64_t>(file["size"]), file["sha256"].text()});
    record.checked = json["checked"].text();
    record.devicePath = json["device"]["path"].text();
    record.deviceProduct = json["device"]["product"].text();
    record.deviceSerial = json["device"]["serial"].text();
    for (const Json& step : json["steps"].items())
        record.steps.push_back(step.text());
    record.device = deviceFromJson(json["deviceState"]);
    record.outcome = json["outcome"].text();
    record.stoppedBy = json["stoppedBy"].text();
    record.detail = json["detail"].text();
    record.durationMs = countFrom<std::int64_t>(json["durationMs"]);
    return record;
}

std::string HistoryRecord::readable() const
{
    // Every text is shown as printable: a record may have been edited by hand, and a device's
    // strings are its own; none may drive the terminal or make a line of its own.
    std::string after = "(time unknown)";
    if (durationMs) {
        char duration[32];
        std::snprintf(duration, sizeof duration, "%.1f s", static_cast<double>(*durationMs) / 1000);
        after = duration;
    }
    std::string text = printable(time) + "  " + printable(frontEnd) + " " + printable(version) +
                       (simulated ? " (simulated)" : "") + "\n  outcome: " + printable(outcome);
    if (!stoppedBy.empty())
        text += " (stopped by " + printable(stoppedBy) + ")";
    text += ", after " + after + "\n  folder: " + printable(folder) + "\n";
    for (const File& file : files)
        text +=
            "  " + printable(file.name) + ": " +
            (file.size ? std::to_string(*file.size) + " bytes" : std::string("(size unknown)")) +
            ", SHA-256 " +
            (file.sha256.empty() ? std::string("(not read)") : printable(file.sha256)) + "\n";
    text += "  files: " + (checked.empty() ? std::string("unchecked") : printable(checked)) + "\n";
    text +=
        "  device: " + (devicePath.empty() ? std::string("(not opened)") : printable(devicePath));
    if (!deviceProduct.empty())
        text += "  " + printable(deviceProduct);
    if (!deviceSerial.empty())
        text += "  serial " + printable(deviceSerial);
    std::vector<std::string> shownSteps;
    for (const std::string& step : steps)
        shownSteps.push_back(printable(step));
    text +=
        "\n  steps: " + (steps.empty() ? std::string("(none)") : joined(shownSteps, ", ")) + "\n";
    std::vector<std::string> held;
    for (std::size_t i = 0; i < DEVICE_REGION_COUNT; ++i)
        held.push_back(std::string(REGION_NAMES[i]) + " " +
                       REGION_STATE_NAMES[static_cast<std::size_t>(device.regions[i])]);
    text += "  device holds: " + joined(held, ", ") +
            (device.restartSent ? ", restart sent" : ", restart not sent") +
            (device.reached ? "" : " (nothing reached it)");
    if (device.failure != FailureKind::None)
        text += "; last failure: " +
                std::string(FAILURE_NAMES[static_cast<std::size_t>(device.failure)]);
    text += "\n";
    if (!detail.empty())
        text += "  detail: " + printable(detail) + "\n";
    return text;
}

bool History::append(const HistoryRecord& record, std::string& error) const
{
    if (!appendLineDurably(m_file, record.toJson().dump() + "\n", error)) {
        error = "the update's record could not be kept: " + error;
        return false;
    }
    // The copy is made under the lock from the file as it is then, so that a record another
    // process appended meanwhile is in it.
    const std::uintmax_t maxBytes = m_maxBytes;
    const auto trim = [maxBytes](const FileTail& tail) -> std::optional<std::string> {
        if (tail.size <= maxBytes)
            return std::nullopt;
        return newestLines(tail, maxBytes / 2);
    };
    std::string why;
    if (rewriteFileDurably(m_file, m_maxBytes, trim, why))
        return true;
    error = "the update's record is kept, but the file could not be held within its bound: " + why;
    return false;
}

std::optional<std::vector<Json>> History::read(std::string& error) const
{
    std::optional<FileTail> tail = readFileTail(m_file, HISTORY_READ_FACTOR * m_maxBytes, error);
    if (!tail)
        return std::nullopt;
    const std::string_view content = tail->content;
    std::vector<Json> records;
    std::size_t at = 0;
    // The part read begins inside a line: that line is not whole.
    if (tail->cut) {
        const std::size_t end = content.find('\n');
        at = end == std::string_view::npos ? content.size() : end + 1;
    }
    while (at < content.size()) {
        const std::size_t end = content.find('\n', at);
        // A last line without its newline was cut short when it was written: not a record.
        if (end == std::string_view::npos)
            break;
        if (std::optional<Json> json = Json::parse(content.substr(at, end - at));
            json && HistoryRecord::fromJson(*json))
            records.push_back(std::move(*json));
        at = end + 1;
    }
    return records;
}

std::filesystem::path defaultHistoryFile()
{
    const std::filesystem::path state = userStateDirectory();
    if (state.empty())
        return {};
#if defined(_WIN32)
    return state / "Quarvo" / "history.jsonl";
#else
    return state / "quarvo" / "history.jsonl";
#endif
}

std::string utcTimestamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

} // namespace quarvo
