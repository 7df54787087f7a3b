#include "durable_file.h"

#include "windows_error.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

namespace quarvo {
namespace {

// How often the lock file is opened again when its name came to give another file while its
// lock was awaited (it was removed and made anew): the lock held would then exclude nobody.
constexpr int MAX_REOPENS = 64;

std::string reason(const char* what)
{
    return std::string(what) + ": " + windowsErrorText(GetLastError());
}

// The handle, closed (and its lock given back) whichever way the call leaves.
struct Handle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~Handle() { close(); }
    void close()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
};

bool sameFile(HANDLE held, const std::filesystem::path& name, bool& same, std::string& error)
{
    BY_HANDLE_FILE_INFORMATION heldInfo{};
    if (!GetFileInformationByHandle(held, &heldInfo)) {
        error = reason("look at the lock");
        return false;
    }
    Handle named;
    named.handle =
        CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named.handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            same = false;
            return true;
        }
        error = reason("look at the lock");
        return false;
    }
    BY_HANDLE_FILE_INFORMATION namedInfo{};
    if (!GetFileInformationByHandle(named.handle, &namedInfo)) {
        error = reason("look at the lock");
        return false;
    }
    same = heldInfo.dwVolumeSerialNumber == namedInfo.dwVolumeSerialNumber &&
           heldInfo.nFileIndexHigh == namedInfo.nFileIndexHigh &&
           heldInfo.nFileIndexLow == namedInfo.nFileIndexLow;
    return true;
}

// Appends and replacements of a file exclude one another through a lock file beside it: a file
// that a handle holds open cannot be replaced on Windows, so the file itself is never the lock.
// Once locked, the lock file must still be the one its name gives.
bool lockBeside(const std::filesystem::path& file, Handle& lock, std::string& error)
{
    const std::filesystem::path lockFile = file.wstring() + L".lock";
    for (int attempt = 0; attempt <= MAX_REOPENS; ++attempt) {
        lock.handle = CreateFileW(lockFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (lock.handle == INVALID_HANDLE_VALUE) {
            error = reason("open the lock");
            return false;
        }
        OVERLAPPED whole{};
        if (!LockFileEx(lock.handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
            error = reason("lock");
            return false;
        }
        bool same = false;
        if (!sameFile(lock.handle, lockFile, same, error))
            return false;
        if (same)
            return true;
        lock.close();
    }
    error = "its lock file was replaced more than " + std::to_string(MAX_REOPENS) +
            " times while waiting for it";
    return false;
}

// Opens the regular file `file` names, never following a link there: a folder, a link or a
// device in its place is refused. False with an empty `error`: the file is absent (and
// `disposition` does not create it).
bool openRegular(const std::filesystem::path& file, DWORD access, DWORD disposition, Handle& out,
                 std::string& error)
{
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            error = "a symbolic link or junction (not followed), not a regular file";
            return false;
        }
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            error = "a folder, not a regular file";
            return false;
        }
    }
    out.handle = CreateFileW(
        file.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (out.handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if ((code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) &&
            disposition == OPEN_EXISTING)
            return false;
        error = reason("open");
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(out.handle, &info)) {
        error = reason("look at the file");
        return false;
    }
    if (GetFileType(out.handle) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        error = "not a regular file";
        return false;
    }
    return true;
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

// The last `maxBytes` of the open file.
bool readTail(HANDLE file, std::uintmax_t maxBytes, FileTail& tail, std::string& error)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        error = reason("size");
        return false;
    }
    tail.size = static_cast<std::uintmax_t>(size.QuadPart);
    tail.cut = tail.size > maxBytes;
    LARGE_INTEGER start{};
    start.QuadPart = static_cast<LONGLONG>(tail.cut ? tail.size - maxBytes : 0);
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        error = reason("seek");
        return false;
    }
    const std::uintmax_t wanted = tail.cut ? maxBytes : tail.size;
    tail.content.clear();
    char buffer[65536];
    while (tail.content.size() < wanted) {
        const auto piece = static_cast<DWORD>(
            std::min<std::uintmax_t>(sizeof buffer, wanted - tail.content.size()));
        DWORD got = 0;
        if (!ReadFile(file, buffer, piece, &got, nullptr)) {
            error = reason("read");
            return false;
        }
        if (got == 0)
            break; // shortened meanwhile by something that takes no lock: what is there is read
        tail.content.append(buffer, got);
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
    if (!openRegular(file, GENERIC_READ | FILE_APPEND_DATA, OPEN_ALWAYS, out, error))
        return false;
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

std::optional<FileTail> readFileTail(const std::filesystem::path& file, std::uintmax_t maxBytes,
                                     std::string& error)
{
    Handle in;
    if (!openRegular(file, GENERIC_READ, OPEN_EXISTING, in, error)) {
        if (error.empty())
            return FileTail{};
        return std::nullopt;
    }
    FileTail tail;
    if (!readTail(in.handle, maxBytes, tail, error))
        return std::nullopt;
    return tail;
}

bool rewriteFileDurably(const std::filesystem::path& file, std::uintmax_t maxBytes,
                        const FileRewrite& rewrite, std::string& error)
{
    Handle lock;
    if (!lockBeside(file, lock, error))
        return false;
    std::optional<std::string> content;
    {
        Handle in;
        if (!openRegular(file, GENERIC_READ, OPEN_EXISTING, in, error))
            return error.empty(); // absent: nothing to rewrite
        FileTail tail;
        if (!readTail(in.handle, maxBytes, tail, error))
            return false;
        content = rewrite(tail);
        // Closed before the copy is renamed over it.
    }
    if (!content)
        return true;
    // A name of this call's own, made by the system in the file's folder.
    wchar_t next[MAX_PATH + 1] = {};
    if (!GetTempFileNameW(file.parent_path().c_str(), L"qhs", 0, next)) {
        error = reason("create the copy");
        return false;
    }
    bool replaced = true;
    {
        Handle out;
        out.handle = CreateFileW(next, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out.handle == INVALID_HANDLE_VALUE) {
            error = reason("open the copy");
            replaced = false;
        }
        if (replaced)
            replaced = writeAll(out.handle, *content, error);
        if (replaced && !FlushFileBuffers(out.handle)) {
            error = reason("sync the copy");
            replaced = false;
        }
    }
    if (replaced &&
        !MoveFileExW(next, file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = reason("rename the copy");
        replaced = false;
    }
    if (!replaced)
        DeleteFileW(next);
    return replaced;
}

std::filesystem::path userStateDirectory()
{
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    return local && local[0] ? std::filesystem::path(local) : std::filesystem::path();
}

} // namespace quarvo
