#include "queued_writer.h"

#include "platform/process_stops.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace quarvo {
namespace {

// How often a writer waiting on a full output looks whether it should give up.
constexpr int WRITER_POLL_MS = 100;
// At the end, a writer that has written nothing for this long is taken to be stalled.
constexpr int STALLED_MS = 250;

std::size_t lineCount(const std::string& text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

// What the producer and the writer thread share. Held by both, so that a writer left behind on a
// blocked write never outlives what it uses.
struct QueuedWriter::Shared {
    struct Piece {
        std::size_t channel;
        std::string text;
    };

    std::vector<Channel> channels;
    std::size_t maxQueuedBytes;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<Piece> queue;
    std::size_t queuedBytes = 0;
    std::size_t droppedLines = 0;
    std::size_t writtenBytes =
        0; // how far the writer has come, to tell a slow one from a stalled one
    std::vector<std::string> failures;
    bool closing = false;
    bool done = false;
    std::atomic<bool> giveUp{false};

    // Writes one piece whole: true when written, false when told to give up; a failure is kept.
    bool write(const Piece& piece)
    {
        std::size_t written = 0;
        while (written < piece.text.size()) {
            if (giveUp.load())
                return false;
            std::string reason;
            const long count = channels[piece.channel](
                piece.text.data() + written, piece.text.size() - written, WRITER_POLL_MS, reason);
            if (count < 0) {
                std::lock_guard lock(mutex);
                failures[piece.channel] = reason.empty() ? "write failed" : reason;
                return true;
            }
            written += static_cast<std::size_t>(count);
            std::lock_guard lock(mutex);
            writtenBytes += static_cast<std::size_t>(count);
        }
        return true;
    }

    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return !queue.empty() || closing; });
            if (queue.empty())
                break;
            const bool failed = !failures[queue.front().channel].empty();
            const Piece& piece = queue.front(); // only this thread removes pieces
            lock.unlock();
            const bool finished = failed || write(piece);
            lock.lock();
            if (finished) {
                queuedBytes -= queue.front().text.size();
                queue.pop_front();
            }
            // What is left stays queued: counted as unwritten, or taken by takeQueued.
            if (!finished || giveUp.load())
                break;
        }
        done = true;
        changed.notify_all();
    }
};

QueuedWriter::QueuedWriter(std::vector<Channel> channels, std::size_t maxQueuedBytes)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->failures.resize(channels.size());
    m_shared->channels = std::move(channels);
    m_shared->maxQueuedBytes = maxQueuedBytes;
    m_thread = std::thread([shared = m_shared] {
        // A signal never interrupts a write here; it reaches the thread that weighs it.
        blockStopSignals();
        shared->run();
    });
}

QueuedWriter::~QueuedWriter() { close(0); }

void QueuedWriter::submit(std::size_t channel, std::string text)
{
    if (text.empty())
        return;
    {
        std::lock_guard lock(m_shared->mutex);
        if (m_shared->closing || !m_shared->failures[channel].empty())
            return;
        if (m_shared->queuedBytes + text.size() > m_shared->maxQueuedBytes) {
            m_shared->droppedLines += lineCount(text);
            return;
        }
        m_shared->queuedBytes += text.size();
        m_shared->queue.push_back({channel, std::move(text)});
    }
    m_shared->changed.notify_all();
}

bool QueuedWriter::close(int drainMs, const std::function<bool()>& abandon)
{
    if (!m_thread.joinable())
        return m_drained; // closed before; a writer left behind may still use the queue
    bool drained = false;
    {
        std::unique_lock lock(m_shared->mutex);
        m_shared->closing = true;
        m_shared->changed.notify_all();
        const auto finished = [&] { return m_shared->done; };
        // Waits while the writer gets on, up to drainMs in all.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(drainMs);
        std::size_t before = m_shared->writtenBytes;
        for (;;) {
            const auto sliceEnd = std::min(deadline, std::chrono::steady_clock::now() +
                                                         std::chrono::milliseconds(STALLED_MS));
            drained = m_shared->changed.wait_until(lock, sliceEnd, finished);
            if (drained || sliceEnd >= deadline || m_shared->writtenBytes == before ||
                (abandon && abandon()))
                break;
            before = m_shared->writtenBytes;
        }
        if (!drained) {
            m_shared->giveUp = true;
            // A write that waits in slices gives up within one; a blocking one is left behind.
            m_shared->changed.wait_for(lock, std::chrono::milliseconds(2 * WRITER_POLL_MS),
                                       finished);
        }
    }
    bool done = false;
    {
        const std::lock_guard lock(m_shared->mutex);
        done = m_shared->done;
    }
    if (done)
        m_thread.join();
    else
        m_thread.detach();
    m_drained = drained;
    return drained;
}

std::string QueuedWriter::failure(std::size_t channel) const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->failures[channel];
}

std::string QueuedWriter::takeQueued(std::size_t channel)
{
    std::lock_guard lock(m_shared->mutex);
    std::string text;
    auto& queue = m_shared->queue;
    // A writer still running owns the front piece, and blocks on its channel.
    const bool running = !m_shared->done;
    if (running && !queue.empty() && queue.front().channel == channel)
        return text;
    for (std::size_t i = running ? 1 : 0; i < queue.size(); ++i) {
        if (queue[i].channel != channel)
            continue;
        text += queue[i].text;
        m_shared->queuedBytes -= queue[i].text.size();
        queue[i].text.clear(); // left in place: removing it would move the writer's piece
    }
    return text;
}

std::size_t QueuedWriter::unwrittenLines() const
{
    std::lock_guard lock(m_shared->mutex);
    if (!m_shared->done && !m_shared->closing)
        return m_shared->droppedLines;
    std::size_t lines = m_shared->droppedLines;
    for (const Shared::Piece& piece : m_shared->queue)
        lines += lineCount(piece.text);
    return lines;
}

void QueuedStreamBuf::handOver() { m_writer.submit(m_channel, std::exchange(m_text, {})); }

QueuedStreamBuf::int_type QueuedStreamBuf::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    m_text.push_back(traits_type::to_char_type(c));
    handOverWhenFull();
    return c;
}

std::streamsize QueuedStreamBuf::xsputn(const char* data, std::streamsize count)
{
    m_text.append(data, static_cast<std::size_t>(count));
    handOverWhenFull();
    return count;
}

int QueuedStreamBuf::sync()
{
    handOver();
    return 0;
}

void QueuedStreamBuf::handOverWhenFull()
{
    if (m_text.size() >= m_pieceBytes)
        handOver();
}

QueuedWriter::Channel streamChannel(std::ostream& stream)
{
    return [&stream](const char* data, std::size_t size, int, std::string& reason) -> long {
        stream.write(data, static_cast<std::streamsize>(size));
        stream.flush();
        if (stream)
            return static_cast<long>(size);
        reason = "the output could not be written";
        return -1;
    };
}

} // namespace quarvo
