// A file opened for reading by the update job, and stamps that tell whether it changed. open()
// never blocks on a FIFO or device and refuses anything but a regular file; reads resume after
// interruptions. Every call returns false on failure with the system's reason in `reason`
// ("No such file or directory", "is a directory", ...). The job (job/flash_job.cpp) reads each
// update file through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace quarvo {

// A time as the file system keeps it, in seconds and nanoseconds since the system's epoch.
struct FileTime {
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
    bool operator==(const FileTime&) const = default;
};

// What identifies a file and its state: two stamps of an unchanged file are equal. The file
// system's times can be coarse (a rewrite within one clock tick keeps them), so an equal stamp
// does not prove equal contents.
struct FileStamp {
    std::uint64_t volume = 0; // the device (POSIX) or the volume's serial number (Windows)
    std::uint64_t index = 0;  // the inode (POSIX) or the file index (Windows)
    std::uint64_t size = 0;
    FileTime modified; // the last write
    FileTime changed;  // the last change of contents or attributes (0 where the file system
                       // keeps none)
    bool sameFile(const FileStamp& other) const
    {
        return volume == other.volume && index == other.index;
    }
    bool operator==(const FileStamp&) const = default;
};

// The stamp of what `path` names now (symbolic links followed), without reading it.
bool stampPath(const std::filesystem::path& path, FileStamp& stamp, std::string& reason);

// The system's time of day now, counted as the file system counts its files' times.
FileTime fileClockNow();

class InputFile {
public:
    InputFile() = default;
    ~InputFile() { close(); }
    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Opens `path` read-only (symbolic links followed). Others may go on reading and writing it
    // meanwhile; on Windows it cannot be deleted or renamed over while open.
    bool open(const std::filesystem::path& path, std::string& reason);
    bool isOpen() const;
    void close();

    // The open file's stamp; its size is the file's size now.
    bool stamp(FileStamp& stamp, std::string& reason) const;

    // Reads from `offset` until `into` is full or the file ends; `got` says how many bytes came.
    bool readAt(std::uint64_t offset, std::span<std::uint8_t> into, std::size_t& got,
                std::string& reason) const;

private:
#if defined(_WIN32)
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

} // namespace quarvo
