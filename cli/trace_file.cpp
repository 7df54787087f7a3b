#include "trace_file.h"

#include "cli_app.h"

#include "job/flash_job.h"

#include <utility>
#include <vector>

namespace quarvo {

TraceFile::TraceFile(std::ostream& err, std::string path) : m_err(err), m_path(std::move(path)) {}

TraceFile::~TraceFile() { close(); }

bool TraceFile::open(std::string& reason)
{
    std::shared_ptr<TraceTarget> target = TraceTarget::open(m_path, reason);
    if (!target)
        return false;
    QueuedWriter::Channel channel = [target](const char* data, std::size_t size, int waitMs,
                                             std::string& why) {
        return target->write(data, size, waitMs, why);
    };
    m_writer = std::make_unique<QueuedWriter>(std::vector{std::move(channel)}, TRACE_QUEUE_BYTES);
    m_buffer = std::make_unique<QueuedStreamBuf>(*m_writer, 0, TRACE_PIECE_BYTES);
    m_stream.rdbuf(m_buffer.get());
    return true;
}

void TraceFile::flush()
{
    if (!m_writer)
        return;
    m_stream.flush();
    const std::string failure = m_writer->failure(0);
    if (failure.empty() || m_reported)
        return;
    m_reported = true;
    m_err << CLI_PROGRAM << ": writing the trace file " << printable(m_path)
          << " failed: " << failure << "; the update goes on\n";
}

void TraceFile::close()
{
    if (!m_writer)
        return;
    flush();
    m_writer->close(TRACE_DRAIN_MS);
    flush();
    const std::size_t unwritten = m_writer->unwrittenLines();
    if (unwritten > 0 && !m_reported)
        m_err << CLI_PROGRAM << ": the trace file " << printable(m_path) << " is missing "
              << unwritten << (unwritten == 1 ? " line" : " lines")
              << ": its reader did not keep up\n";
    m_stream.rdbuf(nullptr);
    m_buffer.reset();
    m_writer.reset();
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

void TracedSurface::beginStep(const StepInfo& step)
{
    m_inner.beginStep(step);
    note("step", std::to_string(step.number()) + " of " + std::to_string(UPDATE_STEP_COUNT) + ": " +
                     step.label());
}

void TracedSurface::note(const char* tag, const std::string& text)
{
    if (!m_tracing)
        return;
    m_tracing->line(tag, text);
    m_trace->flush();
}

} // namespace quarvo
