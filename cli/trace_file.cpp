#include "trace_file.h"

#include "cli_app.h"

#include "job/flash_job.h"

#include <system_error>
#include <utility>
#include <vector>

namespace quarvo {

TraceFile::TraceFile(std::string path) : m_path(std::move(path)) {}

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
    try {
        m_writer =
            std::make_unique<QueuedWriter>(std::vector{std::move(channel)}, TRACE_QUEUE_BYTES);
    } catch (const std::system_error& error) {
        reason = std::string("cannot start its writer: ") + error.what();
        return false;
    }
    m_buffer = std::make_unique<QueuedStreamBuf>(*m_writer, 0, TRACE_PIECE_BYTES);
    m_stream.rdbuf(m_buffer.get());
    m_opened.store(true);
    return true;
}

void TraceFile::flush()
{
    if (m_opened.load() && !m_closed)
        m_stream.flush();
}

std::string TraceFile::takeReport()
{
    if (!m_opened.load() || m_reported)
        return {};
    if (const std::string failure = m_writer->failure(0); !failure.empty()) {
        m_reported = true;
        return std::string(CLI_PROGRAM) + ": writing the trace file " + printable(m_path) +
               " failed: " + failure + "; the update goes on";
    }
    if (!m_closed)
        return {};
    const std::size_t unwritten = m_writer->unwrittenLines();
    if (unwritten == 0)
        return {};
    m_reported = true;
    return std::string(CLI_PROGRAM) + ": the trace file " + printable(m_path) + " is missing " +
           std::to_string(unwritten) + (unwritten == 1 ? " line" : " lines") +
           ": its reader did not keep up";
}

void TraceFile::close(const std::function<bool()>& abandon)
{
    if (!m_opened.load() || m_closed)
        return;
    m_stream.flush();
    m_writer->close(TRACE_DRAIN_MS, abandon);
    m_closed = true;
    m_stream.rdbuf(nullptr);
}

void TraceNotes::beginStep(const StepInfo& step)
{
    note("step", std::to_string(step.number()) + " of " + std::to_string(UPDATE_STEP_COUNT) + ": " +
                     step.label());
}

void TraceNotes::note(const char* tag, const std::string& text)
{
    if (!m_tracing)
        return;
    m_tracing->line(tag, text);
    m_trace->flush();
}

} // namespace quarvo
