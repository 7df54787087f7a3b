#include "trace_file.h"

#include "cli_app.h"

#include "job/flash_job.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <streambuf>
#include <utility>

namespace quarvo {
namespace {

std::size_t lineCount(const std::string& text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

} // namespace

// What the front end and the writer thread share. Held by both, so that a writer that cannot be
// joined in time (a blocking write on a system without a bounded one) never outlives it.
struct TraceFile::Shared {
    std::unique_ptr<TraceTarget> target;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> queue;
    std::size_t queuedBytes = 0;
    std::size_t droppedLines = 0;
    bool closing = false;
    bool writerDone = false;
    std::string failure; // the first failure's reason; nothing is written after it
    std::atomic<bool> abandon{false};

    // Queues a piece of text, or counts its lines as dropped when the queue is full.
    void submit(std::string text)
    {
        if (text.empty())
            return;
        {
            std::lock_guard lock(mutex);
            if (!failure.empty())
                return;
            if (queuedBytes + text.size() > TRACE_QUEUE_BYTES) {
                droppedLines += lineCount(text);
                return;
            }
            queuedBytes += text.size();
            queue.push_back(std::move(text));
        }
        changed.notify_all();
    }

    // Writes one piece whole; false when the target failed or the writer was told to give up.
    bool writeAll(const std::string& text)
    {
        std::size_t done = 0;
        while (done < text.size()) {
            if (abandon.load())
                return false;
            std::string reason;
            const long count =
                target->write(text.data() + done, text.size() - done, TRACE_POLL_MS, reason);
            if (count < 0) {
                std::lock_guard lock(mutex);
                failure = reason.empty() ? "write failed" : reason;
                return false;
            }
            done += static_cast<std::size_t>(count);
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
            const std::string text = std::move(queue.front());
            lock.unlock();
            const bool written = writeAll(text);
            lock.lock();
            queue.pop_front();
            queuedBytes -= text.size();
            if (!written) {
                queue.push_front(text); // counted below as not written
                queuedBytes += text.size();
                break;
            }
        }
        writerDone = true;
        changed.notify_all();
    }
};

// A stream buffer that collects trace text and hands it to the writer in pieces.
class TraceFile::Buffer final : public std::streambuf {
public:
    explicit Buffer(Shared& shared) : m_shared(shared) {}

    void handOver() { m_shared.submit(std::exchange(m_text, {})); }

protected:
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        m_text.push_back(traits_type::to_char_type(c));
        handOverWhenFull();
        return c;
    }
    std::streamsize xsputn(const char* data, std::streamsize count) override
    {
        m_text.append(data, static_cast<std::size_t>(count));
        handOverWhenFull();
        return count;
    }
    int sync() override
    {
        handOver();
        return 0;
    }

private:
    void handOverWhenFull()
    {
        if (m_text.size() >= TRACE_CHUNK_BYTES)
            handOver();
    }

    Shared& m_shared;
    std::string m_text;
};

TraceFile::TraceFile(std::ostream& err, std::string path)
    : m_err(err), m_path(std::move(path)), m_shared(std::make_shared<Shared>()),
      m_buffer(std::make_unique<Buffer>(*m_shared)),
      m_stream(std::make_unique<std::ostream>(m_buffer.get()))
{
}

TraceFile::~TraceFile() { close(); }

bool TraceFile::open(std::string& reason)
{
    m_shared->target = TraceTarget::open(m_path, reason);
    if (!m_shared->target)
        return false;
    m_writer = std::thread([shared = m_shared] { shared->run(); });
    return true;
}

std::ostream& TraceFile::stream() { return *m_stream; }

void TraceFile::flush()
{
    m_stream->flush();
    std::string failure;
    {
        std::lock_guard lock(m_shared->mutex);
        failure = m_shared->failure;
    }
    if (failure.empty() || m_reported)
        return;
    m_reported = true;
    m_err << CLI_PROGRAM << ": writing the trace file " << printable(m_path)
          << " failed: " << failure << "; the update goes on\n";
}

void TraceFile::close()
{
    if (!m_writer.joinable())
        return;
    flush();
    std::size_t unwritten = 0;
    {
        std::unique_lock lock(m_shared->mutex);
        m_shared->closing = true;
        m_shared->changed.notify_all();
        const auto drained = [&] { return m_shared->writerDone; };
        if (!m_shared->changed.wait_for(lock, std::chrono::milliseconds(TRACE_DRAIN_MS), drained)) {
            m_shared->abandon = true;
            // A bounded write gives up within TRACE_POLL_MS; a blocking one is left behind.
            m_shared->changed.wait_for(lock, std::chrono::milliseconds(2 * TRACE_POLL_MS), drained);
        }
        for (const std::string& text : m_shared->queue)
            unwritten += lineCount(text);
        unwritten += m_shared->droppedLines;
    }
    if (m_shared->writerDone)
        m_writer.join();
    else
        m_writer.detach();
    flush();
    if (unwritten > 0 && !m_reported)
        m_err << CLI_PROGRAM << ": the trace file " << printable(m_path) << " is missing "
              << unwritten << (unwritten == 1 ? " line" : " lines")
              << ": its reader did not keep up\n";
}

void TracedSurface::setStatus(const std::string& text)
{
    m_lastStatus = text;
    m_inner.setStatus(text);
    note("status", text);
}

void TracedSurface::showMessage(const std::string& text)
{
    m_inner.showMessage(text);
    note("message", text);
}

void TracedSurface::note(const char* tag, const std::string& text)
{
    if (!m_tracing)
        return;
    m_tracing->line(tag, text);
    m_trace->flush();
}

} // namespace quarvo
