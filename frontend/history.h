// The record of every update, kept per user for support: one JSON object per line in
// history.jsonl under the user's state folder ($XDG_STATE_HOME/quarvo, %LOCALAPPDATA%\Quarvo):
// when, which front end and version, the folder, each file's size and SHA-256 and whether they
// were checked, the device's path and strings, the steps reached, what the device holds at the end,
// the outcome, the technical account of a failure and how long it took. Each record is appended and
// synced; a line torn by a power cut is skipped when read; the file is kept under HISTORY_MAX_BYTES
// by dropping its oldest records. UpdateRun appends; `quarvo-flash --history` and the windows'
// copy entry read.
#pragma once

#include "json.h"

#include "protocol/device_state.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quarvo {

// The history file grows up to this size; then its newest records that fill half of it are kept.
inline constexpr std::uintmax_t HISTORY_MAX_BYTES = 1u << 20;
// Reading takes at most this many times the bound from the file's end: every append keeps the
// file within its bound, so what lies beyond was put there by something else.
inline constexpr std::uintmax_t HISTORY_READ_FACTOR = 4;

struct HistoryRecord {
    struct File {
        std::string name;
        std::optional<std::uint64_t> size; // none: unknown
        std::string sha256; // 64 lowercase hex; empty when the file was never read whole
    };
    std::string time; // UTC, "2026-12-11T08:00:01Z"
    std::string frontEnd;
    std::string version;
    bool simulated = false;
    std::string folder;
    std::vector<File> files;
    std::string checked; // "SHA256SUMS", or "unchecked"
    std::string devicePath;
    std::string deviceProduct;
    std::string deviceSerial;
    std::vector<std::string> steps; // the labels of the steps entered, in order
    DeviceState device;
    std::string outcome;   // "success", "device failed", "missing file", "input refused", ...
    std::string stoppedBy; // "SIGTERM" and so on; empty when no stop ended it
    std::string detail;    // why it failed, with its context
    std::optional<std::int64_t> durationMs; // none: unknown

    Json toJson() const;
    // A record read back; nullopt for an object that is none of ours. A count that is no whole
    // number within its type's range (a line edited by hand) reads as unknown.
    static std::optional<HistoryRecord> fromJson(const Json& json);
    // Several lines for a person (the command line's --history, the windows' copy for support),
    // every field with its control characters escaped.
    std::string readable() const;
};

class History {
public:
    explicit History(std::filesystem::path file, std::uintmax_t maxBytes = HISTORY_MAX_BYTES)
        : m_file(std::move(file)), m_maxBytes(maxBytes)
    {
    }
    const std::filesystem::path& file() const { return m_file; }

    // Appends the record as one line, synced to the disk, then keeps the file within its bound
    // (under the lock of the appends, from the file as it is then: no other record is lost).
    // False with the reason, a sentence that says whether the record was kept, when it could not
    // be kept or the file not held within its bound (the update's own result stands).
    bool append(const HistoryRecord& record, std::string& error) const;
    // The whole records, oldest first, each as its line's JSON, from the last HISTORY_READ_FACTOR
    // times the bound of the file; lines that are not whole (a power cut, the line that part
    // begins inside) or not ours are skipped. A file name that gives no regular file (a link, a
    // pipe, a device) is refused, never followed or waited on.
    std::optional<std::vector<Json>> read(std::string& error) const;

private:
    std::filesystem::path m_file;
    std::uintmax_t m_maxBytes;
};

// This user's history file (empty where the user has no state folder).
std::filesystem::path defaultHistoryFile();

// "2026-12-11T08:00:01Z" for now.
std::string utcTimestamp();

} // namespace quarvo
