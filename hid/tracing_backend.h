// A HidBackend that passes everything to another backend and writes each report sent and received,
// with a timestamp relative to its creation, as one line of hex to a stream. Opens, closes and
// failures are written too. Used by the command line's --trace; the stream belongs to the caller.
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

    // One trace line: "<seconds.micros> <tag> <text>".
    void line(const std::string& tag, const std::string& text);

private:
    HidBackend& m_inner;
    std::ostream& m_out;
    std::int64_t m_startUs;
};

} // namespace quarvo
