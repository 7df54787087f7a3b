// Text for outputs that may stall (a pipe nobody reads, a terminal on hold, a FIFO), handed to a
// writer thread through a bounded queue so that the thread that produces it never waits on a
// reader: an update goes on, and a stop is honoured, whatever the reader does. Pieces go to one
// of several channels (standard output and standard error, or a trace file) and are written in
// the order they were submitted. When the queue is full a piece is dropped and its lines counted.
// A channel whose write fails takes nothing more; its first failure is kept with the reason.
// close() gives the writer a bounded time to finish and leaves it behind when a write blocks.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

namespace quarvo {

class QueuedWriter {
public:
    // Writes part of `data` to one output: the bytes written, 0 when the output took nothing
    // within waitMs (the writer then looks whether it should give up and tries again), -1 on
    // failure with the reason.
    using Channel =
        std::function<long(const char* data, std::size_t size, int waitMs, std::string& reason)>;

    // Throws std::system_error when the writer thread cannot be started.
    QueuedWriter(std::vector<Channel> channels, std::size_t maxQueuedBytes);
    // close(0) when not closed before.
    ~QueuedWriter();
    QueuedWriter(const QueuedWriter&) = delete;
    QueuedWriter& operator=(const QueuedWriter&) = delete;

    void submit(std::size_t channel, std::string text);
    // Waits for everything queued to be written while the writer gets on: at most drainMs in all,
    // less once it has written nothing for a while, and none at all once `abandon` (asked between
    // slices) says so. False when not all was written: the writer is told to give up, and is left
    // behind if a write holds it.
    bool close(int drainMs, const std::function<bool()>& abandon = {});
    // The reason of the channel's first failed write; empty while none failed.
    std::string failure(std::size_t channel) const;
    // After a close() that gave up: the text still queued for `channel`, taken out of the queue,
    // for the caller to write itself. Empty when the writer left behind is blocked on that very
    // channel (writing to it would block the caller too).
    std::string takeQueued(std::size_t channel);
    // Lines dropped because the queue was full, and lines still queued when close() gave up.
    std::size_t unwrittenLines() const;

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
    bool m_drained = false;
};

// A stream buffer that hands what is written to one channel of a QueuedWriter: in pieces of
// about `pieceBytes` and at every flush, or at once when pieceBytes is 0 (for streams that share
// the writer with another, so that their order is kept).
class QueuedStreamBuf final : public std::streambuf {
public:
    QueuedStreamBuf(QueuedWriter& writer, std::size_t channel, std::size_t pieceBytes = 0)
        : m_writer(writer), m_channel(channel), m_pieceBytes(pieceBytes)
    {
    }
    void handOver();

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* data, std::streamsize count) override;
    int sync() override;

private:
    void handOverWhenFull();

    QueuedWriter& m_writer;
    std::size_t m_channel;
    std::size_t m_pieceBytes;
    std::string m_text;
};

// A channel that writes to a stream (standard output or error), which may block.
QueuedWriter::Channel streamChannel(std::ostream& stream);

} // namespace quarvo
