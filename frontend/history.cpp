#include "history.h"

#include "platform/durable_file.h"

#include <array>
#include <cstdio>
#include <ctime>

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
        entry.set("size", file.size);
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
    json.set("durationMs", durationMs);
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
        record.files.push_back({file["name"].text(),
                                static_cast<std::uint64_t>(file["size"].number()),
                                file["sha256"].text()});
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
    record.durationMs = static_cast<std::int64_t>(json["durationMs"].number());
    return record;
}

std::string HistoryRecord::readable() const
{
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.1f s", static_cast<double>(durationMs) / 1000);
    std::string text = time + "  " + frontEnd + " " + version + (simulated ? " (simulated)" : "") +
                       "\n  outcome: " + outcome;
    if (!stoppedBy.empty())
        text += " (stopped by " + stoppedBy + ")";
    text += ", after " + std::string(duration) + "\n  folder: " + folder + "\n";
    for (const File& file : files)
        text += "  " + file.name + ": " + std::to_string(file.size) + " bytes, SHA-256 " +
                (file.sha256.empty() ? std::string("(not read)") : file.sha256) + "\n";
    text += "  files: " + (checked.empty() ? std::string("unchecked") : checked) + "\n";
    text += "  device: " + (devicePath.empty() ? std::string("(not opened)") : devicePath);
    if (!deviceProduct.empty())
        text += "  " + deviceProduct;
    if (!deviceSerial.empty())
        text += "  serial " + deviceSerial;
    text += "\n  steps: " + (steps.empty() ? std::string("(none)") : joined(steps, ", ")) + "\n";
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
        text += "  detail: " + detail + "\n";
    return text;
}

bool History::append(const HistoryRecord& record, std::string& error) const
{
    if (!appendLineDurably(m_file, record.toJson().dump() + "\n", error))
        return false;
    std::optional<std::string> content = readWholeFile(m_file, error);
    if (!content)
        return false;
    if (content->size() <= m_maxBytes)
        return true;
    // The newest whole lines that fill half the bound stay: walk back a line at a time.
    std::size_t keepFrom = content->size();
    while (keepFrom > 0) {
        const std::size_t previousEnd =
            keepFrom >= 2 ? content->rfind('\n', keepFrom - 2) : std::string::npos;
        const std::size_t start = previousEnd == std::string::npos ? 0 : previousEnd + 1;
        if (content->size() - start > m_maxBytes / 2)
            break;
        keepFrom = start;
    }
    if (replaceFileDurably(m_file, std::string_view(*content).substr(keepFrom), content->size(),
                           error))
        return true;
    // Nothing replaced without a reason: another process appended meanwhile and trims the file.
    return error.empty();
}

std::optional<std::vector<Json>> History::read(std::string& error) const
{
    std::optional<std::string> content = readWholeFile(m_file, error);
    if (!content)
        return std::nullopt;
    std::vector<Json> records;
    std::size_t at = 0;
    while (at < content->size()) {
        const std::size_t end = content->find('\n', at);
        // A last line without its newline was cut short when it was written: not a record.
        if (end == std::string::npos)
            break;
        if (std::optional<Json> json = Json::parse(std::string_view(*content).substr(at, end - at));
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
