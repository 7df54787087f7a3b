#include "input_file.h"

#include "windows_error.h"

#include <windows.h>

#include <algorithm>
#include <utility>

namespace quarvo {
namespace {

// Larger reads are split: ReadFile counts in 32 bits.
constexpr std::size_t MAX_READ = std::size_t{1} << 30;

// The system's text for `error`, in UTF-8 and without the closing full stop and line break.
// A missing file or folder reads as it does on the other systems.
std::string systemReason(DWORD error)
{
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return "No such file or directory";
    const std::string reason = windowsErrorText(error);
    return reason.empty() ? "system error " + std::to_string(error) : reason;
}

std::string lastReason() { return systemReason(GetLastError()); }

// A time in 100-nanosecond ticks since 1601.
FileTime fileTime(std::uint64_t ticks)
{
    return {static_cast<std::int64_t>(ticks / 10000000),
            static_cast<std::int64_t>(ticks % 10000000) * 100};
}

FileTime fileTime(const FILETIME& time)
{
    return fileTime((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

bool stampHandle(HANDLE handle, FileStamp& stamp, std::string& reason)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
        reason = lastReason();
        return false;
    }
    stamp.volume = info.dwVolumeSerialNumber;
    stamp.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    stamp.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp.modified = fileTime(info.ftLastWriteTime);
    // The change time moves with attributes and times set after a write too, as a copy that keeps
    // its source's modification time sets them.
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        reason = lastReason();
        return false;
    }
    stamp.changed = fileTime(static_cast<std::uint64_t>(basic.ChangeTime.QuadPart));
    return true;
}

} // namespace

bool stampPath(const std::filesystem::path& path, FileStamp& stamp, std::string& reason)
{
    // Attributes only, shared every way, so that it disturbs no one; backup semantics so that a
    // folder in the file's place can be stamped too.
    HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = lastReason();
        return false;
    }
    const bool stamped = stampHandle(handle, stamp, reason);
    CloseHandle(handle);
    return stamped;
}

FileTime fileClockNow()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return fileTime(now);
}

InputFile::InputFile(InputFile&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr))
{
}

InputFile& InputFile::operator=(InputFile&& other) noexcept
{
    if (this != &other) {
        close();
        m_handle = std::exchange(other.m_handle, nullptr);
    }
    return *this;
}

bool InputFile::open(const std::filesystem::path& path, std::string& reason)
{
    close();
    // No delete sharing: while the job reads it, the file cannot be deleted or renamed over.
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A folder cannot be opened this way; say what it is rather than "access denied".
        const DWORD attributes = GetFileAttributesW(path.c_str());
        reason = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                     ? "is a directory"
                     : systemReason(error);
        return false;
    }
    // A pipe, console or other device is no file to read an update from. GetFileType fails only
    // with an error set, so the last error is cleared first.
    SetLastError(NO_ERROR);
    const DWORD type = GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        const DWORD error = GetLastError();
        reason = type == FILE_TYPE_UNKNOWN && error != NO_ERROR ? systemReason(error)
                                                                : "is not a regular file";
        CloseHandle(handle);
        return false;
    }
    m_handle = handle;
    return true;
}

bool InputFile::isOpen() const { return m_handle != nullptr; }

void InputFile::close()
{
    // Nothing was written through it, so a failing close loses nothing.
    if (m_handle)
        CloseHandle(std::exchange(m_handle, nullptr));
}

bool InputFile::stamp(FileStamp& stamp, std::string& reason) const
{
    return stampHandle(m_handle, stamp, reason);
}

bool InputFile::readAt(std::uint64_t offset, std::span<std::uint8_t> into, std::size_t& got,
                       std::string& reason) const
{
    got = 0;
    while (got < into.size()) {
        const std::uint64_t at = offset + got;
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(at & 0xFFFFFFFF);
        position.OffsetHigh = static_cast<DWORD>(at >> 32);
        const auto want = static_cast<DWORD>(std::min(into.size() - got, MAX_READ));
        DWORD count = 0;
        if (!ReadFile(m_handle, into.data() + got, want, &count, &position)) {
            const DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF)
                break;
            reason = systemReason(error);
            return false;
        }
        if (count == 0)
            break;
        got += count;
    }
    return true;
}

} // namespace quarvo
