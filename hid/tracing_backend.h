// A HidBackend that passes everything to another backend and writes each report sent and received
// (as hex), each listing (and which listing answered it), open, close and failure as a line with a
// timestamp relative to its creation. Used by the command line's --trace; the caller owns the
// stream.
#pragma once

#include "hid_backend.h"

#include <ostream>

namespace quarvo {

class TracingBackend final : public HidBackend {
public:
    TracingBackend(HidBackend& inner, std::ostream& out);

    std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId, std::uint16_t productId) override;
    std::unique_ptr<HidConnection> open(const std::string& path, std::string& error) override;
    Clock& clock() override { return m_inner.clock(); }
    std::string unavailableReason() const override { return m_inner.unavailableReason(); }
    std::string listingSource() const override { return m_inner.listingSource(); }

    // One trace line: "<seconds.micros> <tag> <text>".
    void line(const std::string& tag, const std::string& text);

private:
    HidBackend& m_inner;
    std::ostream& m_out;
    std::int64_t m_startUs;
};

} // namespace quarvo
