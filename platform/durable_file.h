// Files that must survive a power cut whole: the update history. One implementation per platform.
// Every call reports failure by its result with the system's reason; none throws, follows a link
// in the file's place, or waits on anything but another writer's lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quarvo {

// Appends `line` (which ends with a newline) to `file`, creating it and its folder (for this user
// only) when they are not there, and syncs it to the disk before returning. A last line that an
// earlier writer left torn (a power cut) is ended first, so that the new line stands on its own.
// Appends and replacements from several processes at once are kept apart by a lock (on the file;
// on Windows, on a lock file beside it, FILE.lock, as a file held open cannot be replaced there);
// a file replaced while the call waited for the lock is opened again, so that the line never goes
// into a file that no longer has the name. Only a regular file is written: a link, a pipe, a
// device or a folder in its place is refused.
bool appendLineDurably(const std::filesystem::path& file, std::string_view line,
                       std::string& error);

// The newest part of a file: at most a given number of bytes from its end.
struct FileTail {
    std::string content;
    bool cut = false;        // the part begins after the file's start
    std::uintmax_t size = 0; // the whole file's size
};

// Reads the last `maxBytes` of `file` (all of it when it is smaller) without following a link and
// without blocking: a link, a pipe, a device or a folder in its place is refused as not a regular
// file. An absent file reads as empty; nullopt with the reason when it cannot be read.
std::optional<FileTail> readFileTail(const std::filesystem::path& file, std::uintmax_t maxBytes,
                                     std::string& error);

// What is to replace a file's content, made from its tail; nullopt leaves the file as it is.
using FileRewrite = std::function<std::optional<std::string>(const FileTail& tail)>;

// Under the same lock as appendLineDurably, reads the last `maxBytes` of `file` as it is then and
// replaces the file with what `rewrite` makes of them, as one step: written beside it under a name
// of this call's own, synced, renamed over it. As the file is read under the lock, every line
// appended before the call took it is in what `rewrite` is given. An absent file stays absent.
bool rewriteFileDurably(const std::filesystem::path& file, std::uintmax_t maxBytes,
                        const FileRewrite& rewrite, std::string& error);

// Where this user's programs keep their state: $XDG_STATE_HOME (else ~/.local/state) on Linux and
// other POSIX systems, %LOCALAPPDATA% on Windows; empty when there is none.
std::filesystem::path userStateDirectory();

} // namespace quarvo
