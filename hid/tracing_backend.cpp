#include "tracing_backend.h"

#include "clock.h"

#include <cstdio>

namespace quarvo {
namespace {

std::string hex(const std::uint8_t* data, std::size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 3);
    for (std::size_t i = 0; i < length; ++i) {
        if (i)
            out.push_back(' ');
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0F]);
    }
    return out;
}

class TracingConnection final : public HidConnection {
public:
    TracingConnection(std::unique_ptr<HidConnection> inner, TracingBackend& trace)
        : m_inner(std::move(inner)), m_trace(trace)
    {
    }
    ~TracingConnection() override { m_trace.line("close", ""); }
    TracingConnection(const TracingConnection&) = delete;
    TracingConnection& operator=(const TracingConnection&) = delete;

    int write(const std::uint8_t* data, std::size_t length) override
    {
        const int count = m_inner->write(data, length);
        m_trace.line("out", outcome(count).append(" ").append(hex(data, length)));
        return count;
    }

    int read(std::uint8_t* data, std::size_t length, int timeoutMs) override
    {
        const int count = m_inner->read(data, length, timeoutMs);
        if (count < 0)
            m_trace.line("in", outcome(count));
        else if (count > 0)
            m_trace.line("in", outcome(count).append(" ").append(
                                   hex(data, static_cast<std::size_t>(count))));
        return count;
    }

    std::string error() const override { return m_inner->error(); }

private:
    // "[65]" for a transfer of 65 bytes, "failed (reason)" for a failed one. Built by appending:
    // GCC 12 warns wrongly (-Wrestrict) about operator+ chains that start with a literal.
    std::string outcome(int count) const
    {
        std::string text;
        if (count < 0) {
            text.append("failed (").append(m_inner->error()).append(")");
        } else {
            text.append("[").append(std::to_string(count)).append("]");
        }
        return text;
    }

    std::unique_ptr<HidConnection> m_inner;
    TracingBackend& m_trace;
};

} // namespace

TracingBackend::TracingBackend(HidBackend& inner, std::ostream& out)
    : m_inner(inner), m_out(out), m_startUs(inner.clock().nowUs())
{
}

void TracingBackend::line(const std::string& tag, const std::string& text)
{
    const std::int64_t us = m_inner.clock().nowUs() - m_startUs;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%lld.%06lld", static_cast<long long>(us / 1000000),
                  static_cast<long long>(us % 1000000));
    m_out << stamp << ' ' << tag;
    if (!text.empty())
        m_out << ' ' << text;
    m_out << '\n';
}

std::vector<HidDeviceInfo> TracingBackend::enumerate(std::uint16_t vendorId,
                                                     std::uint16_t productId)
{
    auto list = m_inner.enumerate(vendorId, productId);
    std::string text = std::to_string(list.size()) + " interfaces";
    if (const std::string source = m_inner.listingSource(); !source.empty())
        text.append(", listed by ").append(source);
    line("enumerate", text);
    return list;
}

std::unique_ptr<HidConnection> TracingBackend::open(const std::string& path, std::string& error)
{
    auto connection = m_inner.open(path, error);
    if (!connection) {
        line("open", path + " failed: " + error);
        return nullptr;
    }
    line("open", path);
    return std::make_unique<TracingConnection>(std::move(connection), *this);
}

} // namespace quarvo
