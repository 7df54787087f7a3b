// Files that must survive a power cut whole: the update history. One implementation per platform.
// Every call reports failure by its result with the system's reason; none throws.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quarvo {

// Appends `line` (which ends with a newline) to `file`, creating it and its folder (for this user
// only) when they are not there, and syncs it to the disk before returning. A last line that an
// earlier writer left torn (a power cut) is ended first, so that the new line stands on its own.
// Appends from several processes at once are kept apart by a lock (on the file; on Windows, on a
// lock file beside it, FILE.lock, as a file held open cannot be replaced there).
bool appendLineDurably(const std::filesystem::path& file, std::string_view line,
                       std::string& error);

// The whole file; nullopt with the reason when it cannot be read (an absent file reads as empty).
std::optional<std::string> readWholeFile(const std::filesystem::path& file, std::string& error);

// Replaces `file` with `content` as one step (written beside it, synced, renamed over it), under
// the same lock as appendLineDurably, unless the file has grown past `expectedSize` meanwhile
// (another process appended): then nothing is replaced and the call says so by returning false
// with an empty `error`.
bool replaceFileDurably(const std::filesystem::path& file, std::string_view content,
                        std::uintmax_t expectedSize, std::string& error);

// Where this user's programs keep their state: $XDG_STATE_HOME (else ~/.local/state) on Linux and
// other POSIX systems, %LOCALAPPDATA% on Windows; empty when there is none.
std::filesystem::path userStateDirectory();

} // namespace quarvo
