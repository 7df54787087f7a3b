#include "durable_file.h"

#include "windows_error.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

namespace quarvo {
namespace {

std::string reason(const char* what)
{
    return std::string(what) + ": " + windowsErrorText(GetLastError());
}

// The handle, closed (and its lock given back) whichever way the call leaves.
struct Handle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~Handle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
};

// Appends and replacements of a file exclude one another through a lock file beside it: a file
// that a handle holds open cannot be replaced on Windows, so the file itself is never the lock.
bool lockBeside(const std::filesystem::path& file, Handle& lock, std::string& error)
{
    const std::filesystem::path lockFile = file.wstring() + L".lock";
    lock.handle = CreateFileW(lockFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (lock.handle == INVALID_HANDLE_VALUE) {
        error = reason("open the lock");
        return false;
    }
    OVERLAPPED whole{};
    if (LockFileEx(lock.handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole))
        return true;
    error = reason("lock");
    return false;
}

bool writeAll(HANDLE file, std::string_view text, std::string& error)
{
    while (!text.empty()) {
        DWORD written = 0;
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 20));
        if (!WriteFile(file, text.data(), piece, &written, nullptr) || written == 0) {
            error = reason("write");
            return false;
        }
        text.remove_prefix(written);
    }
    return true;
}

} // namespace

bool appendLineDurably(const std::filesystem::path& file, std::string_view line, std::string& error)
{
    std::error_code made;
    std::filesystem::create_directories(file.parent_path(), made);
    if (made) {
        error = file.parent_path().string() + ": " + made.message();
        return false;
    }
    Handle lock;
    if (!lockBeside(file, lock, error))
        return false;
    Handle out;
    out.handle = CreateFileW(file.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out.handle == INVALID_HANDLE_VALUE) {
        error = reason("open");
        return false;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(out.handle, &size)) {
        error = reason("size");
        return false;
    }
    if (size.QuadPart > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>((size.QuadPart - 1) & 0xFFFFFFFF);
        at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
        char last = '\n';
        DWORD got = 0;
        if (!ReadFile(out.handle, &last, 1, &got, &at) || got != 1) {
            error = reason("read");
            return false;
        }
        if (last != '\n' && !writeAll(out.handle, "\n", error))
            return false;
    }
    if (!writeAll(out.handle, line, error))
        return false;
    if (!FlushFileBuffers(out.handle)) {
        error = reason("sync");
        return false;
    }
    return true;
}

std::optional<std::string> readWholeFile(const std::filesystem::path& file, std::string& error)
{
    Handle in;
    in.handle = CreateFileW(file.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in.handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)
            return std::string();
        error = reason("open");
        return std::nullopt;
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in.handle, buffer, sizeof buffer, &got, nullptr)) {
            error = reason("read");
            return std::nullopt;
        }
        if (got == 0)
            return content;
        content.append(buffer, got);
    }
}

bool replaceFileDurably(const std::filesystem::path& file, std::string_view content,
                        std::uintmax_t expectedSize, std::string& error)
{
    Handle lock;
    if (!lockBeside(file, lock, error))
        return false;
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &attributes)) {
        error = reason("size");
        return false;
    }
    const std::uintmax_t size =
        (std::uintmax_t{attributes.nFileSizeHigh} << 32) | attributes.nFileSizeLow;
    if (size != expectedSize)
        return false;
    const std::filesystem::path next = file.wstring() + L".new";
    {
        Handle out;
        out.handle = CreateFileW(next.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out.handle == INVALID_HANDLE_VALUE) {
            error = reason("open");
            return false;
        }
        if (!writeAll(out.handle, content, error))
            return false;
        if (!FlushFileBuffers(out.handle)) {
            error = reason("sync");
            return false;
        }
    }
    if (!MoveFileExW(next.c_str(), file.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = reason("rename");
        DeleteFileW(next.c_str());
        return false;
    }
    return true;
}

std::filesystem::path userStateDirectory()
{
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    return local && local[0] ? std::filesystem::path(local) : std::filesystem::path();
}

} // namespace quarvo
