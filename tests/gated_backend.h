// A HID backend in front of another that holds one output report (the gateAt-th written, counted
// over every link) until `release` says so, for tests that need a job to be running at a known
// point while they act: stop it, close the window, end the session.
#pragma once

#include "hid/hid_backend.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quarvo {

class GatedBackend final : public HidBackend {
public:
    // Bound of the hold, so that a test that never releases the gate still ends.
    static constexpr std::chrono::seconds HOLD_BOUND{30};

    GatedBackend(HidBackend& inner, unsigned gateAt) : m_inner(inner), m_gateAt(gateAt) {}
    std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId, std::uint16_t productId) override
    {
        return m_inner.enumerate(vendorId, productId);
    }
    std::unique_ptr<HidConnection> open(const std::string& path, std::string& error) override
    {
        auto inner = m_inner.open(path, error);
        if (!inner)
            return nullptr;
        return std::make_unique<Connection>(*this, std::move(inner));
    }
    Clock& clock() override { return m_inner.clock(); }

    // Whether the held report has been reached (it may since have been released).
    bool reached() const { return m_reached.load(); }

    std::function<bool()> release;

private:
    class Connection final : public HidConnection {
    public:
        Connection(GatedBackend& owner, std::unique_ptr<HidConnection> inner)
            : m_owner(owner), m_inner(std::move(inner))
        {
        }
        int write(const std::uint8_t* data, std::size_t length) override
        {
            if (++m_owner.m_written == m_owner.m_gateAt) {
                m_owner.m_reached = true;
                const auto bound = std::chrono::steady_clock::now() + HOLD_BOUND;
                while (!m_owner.release() && std::chrono::steady_clock::now() < bound)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return m_inner->write(data, length);
        }
        int read(std::uint8_t* data, std::size_t length, int timeoutMs) override
        {
            return m_inner->read(data, length, timeoutMs);
        }
        std::string error() const override { return m_inner->error(); }

    private:
        GatedBackend& m_owner;
        std::unique_ptr<HidConnection> m_inner;
    };

    HidBackend& m_inner;
    unsigned m_gateAt;
    std::atomic<unsigned> m_written{0};
    std::atomic<bool> m_reached{false};
};

} // namespace quarvo
