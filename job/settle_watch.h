// Tells when an update file that may still be being written has settled: unchanged for
// SETTLE_AGE_MS, by its own times and by what was seen of it between looks. The job looks at each
// file at least every SETTLE_LOOK_MS and gives up after SETTLE_WAIT_MS; a look never fails.
#pragma once

#include "platform/input_file.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quarvo {

// How long a file's modification and change times must lie in the past before it is read: a copy
// in progress or a writer that paused changes them more often than that.
inline constexpr std::int64_t SETTLE_AGE_MS = 2000;
// The longest wait for both files to settle, in all; a file still changing then is refused.
inline constexpr std::int64_t SETTLE_WAIT_MS = 10000;
// The time between two looks at the files, and so between two looks at a stop request.
inline constexpr std::int64_t SETTLE_LOOK_MS = 100;

// A file time in microseconds since the file system's epoch.
std::int64_t fileTimeUs(const FileTime& time);

// What differs between two stamps of what should be one unchanged file, as the technical line
// says it ("its size went from 300 to 301 bytes"); empty when they are equal.
std::string describeChange(const FileStamp& before, const FileStamp& after);

class SettleWatch {
public:
    // Looks at the file's `stamp` at `nowUs` (the file system's clock, in microseconds): true once
    // it has settled. The file counts as unchanged since its latest time; when that time lies
    // ahead of `nowUs` (clocks that disagree, times set by hand) or before a look that still saw
    // the file otherwise, since the first look that saw this stamp.
    bool look(const FileStamp& stamp, std::int64_t nowUs);

    // What changed between the last two looks that differed ("its size went from 4096 to 8192
    // bytes"); empty before any change was seen.
    const std::string& lastChange() const { return m_lastChange; }

private:
    std::optional<FileStamp> m_seen;
    std::int64_t m_seenSinceUs = 0; // the first look that saw the stamp as it is
    std::int64_t m_lastLookUs = 0;
    std::optional<std::int64_t> m_changedAfterUs; // the last look that saw another stamp
    std::string m_lastChange;
};

} // namespace quarvo
