// A --trace file read back (the format of hid/tracing_backend.h): the device's events in the order
// they happened (listings, opens, reports each way, closes), each with its time, its trace line
// and its link, and the job's notes beside them ("status", "message", "step", ...). Reading fails
// with the line and the reason on anything it cannot take; it never throws but for memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <istream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarvo {

struct RecordedEvent {
    enum class Kind { Enumerate, Open, Out, In, Close };
    Kind kind = Kind::Enumerate;
    std::int64_t timeUs = 0; // since the trace began
    unsigned line = 0;       // 1-based, in the trace
    // The link it travelled on, numbered 1, 2, ... in the order links were opened; 0 for a
    // listing and for an open that failed.
    unsigned link = 0;
    // Out and In: 1-based among the reports that went the same way.
    unsigned number = 0;
    // Enumerate: the interfaces listed. Out and In: the byte count the transport reported, -1 for
    // a failed transfer. Open: 0, or -1 when it failed.
    int count = 0;
    std::string path;        // Open: what was opened
    std::string reason;      // a failed Open, Out or In: the system's reason
    std::size_t bytesAt = 0; // Out and In: where the report's bytes are in Recording::bytes
    std::size_t size = 0;    // and how many (Out: what the host handed over; In: what it got)
};

struct RecordedNote {
    std::string tag; // "status", "message", "step", "stopped", "failed", ...
    std::string text;
};

struct Recording {
    std::string source; // the file it was read from (UTF-8), for messages; may be empty
    std::vector<RecordedEvent> events;
    std::vector<RecordedNote> notes;
    std::vector<std::uint8_t> bytes; // every report's bytes, one after another

    std::span<const std::uint8_t> reportBytes(const RecordedEvent& event) const
    {
        return std::span(bytes).subspan(event.bytesAt, event.size);
    }
    // The texts of the notes with this tag, in order ("status": every status line shown).
    std::vector<std::string> noteTexts(std::string_view tag) const;
};

// The longest line a trace may hold, its line end aside: a report's line takes a few hundred
// bytes, a path or a reason less. A longer one is damage, refused before it is held whole.
inline constexpr std::size_t RECORDING_LINE_LIMIT_BYTES = std::size_t{64} * 1024;
// The largest recording read: the largest update's takes about 100 MB. A larger file is refused
// before it is read, so that a wrong or damaged one cannot exhaust memory.
inline constexpr std::uintmax_t RECORDING_SIZE_LIMIT_BYTES = std::uintmax_t{512} * 1024 * 1024;

// Reads a whole trace, of at most `sizeLimit` bytes. Blank lines and lines that begin with '#' are
// comments. False with "line N: why" when a line cannot be read, or with why the trace is too
// large; `recording` is then incomplete.
bool parseRecording(std::istream& in, Recording& recording, std::string& error,
                    std::uintmax_t sizeLimit = RECORDING_SIZE_LIMIT_BYTES);

// parseRecording from a regular file, which becomes the source; one larger than
// RECORDING_SIZE_LIMIT_BYTES is refused before it is read. False with the system's reason or the
// line's (the caller names the file).
bool loadRecording(const std::filesystem::path& path, Recording& recording, std::string& error);

} // namespace quarvo
