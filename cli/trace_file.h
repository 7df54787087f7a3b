// The --trace file. Trace text goes through a QueuedWriter, so a target that is slow or stalled (a
// pipe nobody reads, a terminal on hold) never holds an update, its reports or a stop: when the
// queue is full, text is dropped and counted instead. At the end the writer gets at most
// TRACE_DRAIN_MS to hand over what is left. The first failure (with the system's reason) and any
// lines left out are handed to the front end once, to report on its own thread; the exit status
// stays the update's. The target is opened without blocking: a FIFO without a reader is refused
// with a reason instead of waiting for one; a target that is the process's standard output or
// error is written through that stream's own open file (sharing its offset), never opened again.
#pragma once

#include "queued_writer.h"

#include "hid/tracing_backend.h"
#include "protocol/output_surface.h"

#include <atomic>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

namespace quarvo {

// Most trace text waiting for the writer; more than this while the target stalls is dropped.
inline constexpr std::size_t TRACE_QUEUE_BYTES = 8u << 20;
// Text is handed to the writer in pieces of about this size, and at every flush.
inline constexpr std::size_t TRACE_PIECE_BYTES = 64u << 10;
// How long the end of a run waits for the writer to hand over what is queued.
inline constexpr int TRACE_DRAIN_MS = 700;

// Where trace text goes: a file, a pipe, a terminal. One implementation per platform.
class TraceTarget {
public:
    // Opens (creates or truncates) `path` for writing without waiting for a reader; the file that
    // standard output or error already writes is shared, not truncated. nullptr with the system's
    // reason when it cannot.
    static std::unique_ptr<TraceTarget> open(const std::string& path, std::string& reason);
    virtual ~TraceTarget() = default;
    // Writes part of `data`: the bytes written, 0 when the target took nothing within waitMs,
    // -1 on failure with the reason.
    virtual long write(const char* data, std::size_t size, int waitMs, std::string& reason) = 0;
};

class TraceFile {
public:
    explicit TraceFile(std::string path);
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Opens the target and starts the writer; false with the system's reason (also when no thread
    // could be started for the writer).
    bool open(std::string& reason);
    // What the tracing backend writes to; writes before open() are dropped.
    std::ostream& stream() { return m_stream; }
    // Hands what was written so far to the writer. From the thread that writes the trace.
    void flush();
    // Once, when the trace lost text: a line that says so, for the error stream. Empty otherwise.
    std::string takeReport();
    // Hands over the rest and waits at most TRACE_DRAIN_MS for the writer, less when `abandon`
    // says so. Called by the destructor when not before; takeReport then tells what was lost.
    void close(const std::function<bool()>& abandon = {});

private:
    std::string m_path;
    std::unique_ptr<QueuedWriter> m_writer;
    std::unique_ptr<QueuedStreamBuf> m_buffer;
    std::ostream m_stream{nullptr};
    // Set once the writer is made: the front end asks for reports while the job's worker opens
    // the trace.
    std::atomic<bool> m_opened{false};
    bool m_reported = false;
    bool m_closed = false;
};

// Every status text, message and step of a job, written to the trace as it comes (flushed there,
// so that the trace keeps up with what the user sees), beside the reports the tracing backend
// writes. An UpdateRun tap: called on the job's worker, never blocks.
class TraceNotes final : public OutputSurface {
public:
    // Without a trace (both null) it writes nothing.
    TraceNotes(TracingBackend* tracing, TraceFile* trace) : m_tracing(tracing), m_trace(trace) {}
    void setStatus(const std::string& text) override { note("status", text); }
    void setProgressRange(std::uint32_t) override {}
    void setProgressPos(std::uint32_t) override {}
    void showMessage(const std::string& text) override { note("message", text); }
    void beginStep(const StepInfo& step) override;
    // A line of the trace's own ("stopped SIGTERM"), flushed at once.
    void note(const char* tag, const std::string& text);

private:
    TracingBackend* m_tracing;
    TraceFile* m_trace;
};

} // namespace quarvo
