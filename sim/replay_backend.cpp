#include "replay_backend.h"

#include "hid/clock.h"
#include "protocol/commands.h"
#include "protocol/device_ids.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quarvo {
namespace {

std::string hexByte(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

std::string traceLine(const RecordedEvent& event)
{
    return " (trace line " + std::to_string(event.line) + ")";
}

} // namespace

// One link the host opened; link 0 is one opened against the recording, whose transfers fail.
class ReplayBackend::Link final : public HidConnection {
public:
    Link(ReplayBackend& backend, unsigned link) : m_backend(backend), m_link(link) {}
    ~Link() override { m_backend.close(m_link); }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    int write(const std::uint8_t* data, std::size_t length) override
    {
        return m_backend.write(m_link, data, length, m_error);
    }
    int read(std::uint8_t* data, std::size_t length, int timeoutMs) override
    {
        return m_backend.read(m_link, data, length, timeoutMs, m_error);
    }
    std::string error() const override { return m_error; }

private:
    ReplayBackend& m_backend;
    unsigned m_link;
    std::string m_error;
};

ReplayBackend::ReplayBackend(Clock& clock, Recording recording, HostTime hostTime)
    : m_clock(clock), m_recording(std::move(recording)), m_hostTime(hostTime),
      m_lastReplayUs(clock.nowUs()), m_hostReplayUs(m_lastReplayUs)
{
    for (const RecordedEvent& event : m_recording.events) {
        if (event.kind == RecordedEvent::Kind::Open &&
            std::find(m_paths.begin(), m_paths.end(), event.path) == m_paths.end())
            m_paths.push_back(event.path);
        if (event.kind == RecordedEvent::Kind::Out)
            ++m_recordedOuts;
    }
    // Until a listing is played, the device is there as the recording found it.
    m_listed = static_cast<int>(m_paths.size());
}

std::string ReplayBackend::violation() const
{
    std::lock_guard lock(m_mutex);
    return m_violation;
}

std::string ReplayBackend::unplayed() const
{
    std::lock_guard lock(m_mutex);
    const RecordedEvent* next = nextPlayed();
    return next ? "the recording goes on with " + describe(*next) + traceLine(*next) : "";
}

unsigned ReplayBackend::reportsMatched() const
{
    std::lock_guard lock(m_mutex);
    return m_matched;
}

unsigned ReplayBackend::reportsRecorded() const { return m_recordedOuts; }

const RecordedEvent* ReplayBackend::nextPlayed() const
{
    for (std::size_t i = m_cursor; i < m_recording.events.size(); ++i)
        if (m_recording.events[i].kind != RecordedEvent::Kind::Enumerate)
            return &m_recording.events[i];
    return nullptr;
}

// Listings the host did not ask for are passed over; what they listed still counts.
void ReplayBackend::skipListings()
{
    while (m_cursor < m_recording.events.size() &&
           m_recording.events[m_cursor].kind == RecordedEvent::Kind::Enumerate)
        m_listed = m_recording.events[m_cursor++].count;
}

void ReplayBackend::consume(std::int64_t atUs)
{
    const RecordedEvent& event = m_recording.events[m_cursor++];
    m_lastRecordedUs = event.timeUs;
    m_lastReplayUs = atUs;
    if (event.kind != RecordedEvent::Kind::In) {
        m_hostRecordedUs = event.timeUs;
        m_hostReplayUs = atUs;
    }
}

// When `event` is due: as long after the last event played (or, for input, the last one the host
// caused) as it came after it in the recording, up to REPLAY_GAP_LIMIT_US.
std::int64_t ReplayBackend::dueUs(const RecordedEvent& event, bool afterHost) const
{
    const std::int64_t recordedUs = afterHost ? m_hostRecordedUs : m_lastRecordedUs;
    const std::int64_t replayUs = afterHost ? m_hostReplayUs : m_lastReplayUs;
    return replayUs + std::clamp<std::int64_t>(event.timeUs - recordedUs, 0, REPLAY_GAP_LIMIT_US);
}

std::string ReplayBackend::describe(const RecordedEvent& event) const
{
    switch (event.kind) {
    case RecordedEvent::Kind::Enumerate:
        return "a listing";
    case RecordedEvent::Kind::Open:
        return (event.count < 0 ? "a failed open of " : "the open of ") + event.path;
    case RecordedEvent::Kind::Out:
        return "output report " + std::to_string(event.number);
    case RecordedEvent::Kind::In:
        return "input report " + std::to_string(event.number);
    case RecordedEvent::Kind::Close:
        return "the close of link " + std::to_string(event.link);
    }
    return "an event";
}

// Plays the event at the cursor, a call of the host's: done when it is due, or now if that is
// later; when the host spends its own time, at most `spentHoldUs` after the host made the call.
void ReplayBackend::playAsTheHostCalls(std::unique_lock<std::mutex>& lock, std::int64_t spentHoldUs)
{
    const std::int64_t now = m_clock.nowUs();
    const std::int64_t holdUs = m_hostTime == HostTime::Spent ? spentHoldUs : REPLAY_GAP_LIMIT_US;
    const std::int64_t doneAt =
        std::clamp(dueUs(m_recording.events[m_cursor], false), now, now + holdUs);
    consume(doneAt);
    if (doneAt == now)
        return;
    lock.unlock();
    m_clock.sleepUntilUs(doneAt);
    lock.lock();
}

int ReplayBackend::violate(std::string what, std::string& error)
{
    if (m_violation.empty())
        m_violation = "protocol violation: " + std::move(what);
    error = m_violation;
    return -1;
}

std::vector<HidDeviceInfo> ReplayBackend::enumerate(std::uint16_t vendorId, std::uint16_t productId)
{
    std::unique_lock lock(m_mutex);
    if (m_violation.empty() && m_cursor < m_recording.events.size() &&
        m_recording.events[m_cursor].kind == RecordedEvent::Kind::Enumerate) {
        // Played at its time; listings that have fallen due meanwhile are played too, so that a
        // host that looks less often than the recorded one sees a device arrive when it did. A
        // host that spends its own time has its first look after anything else played at once,
        // and a later one only once the recording's has fallen due: a device arrives as long
        // after the host began looking as it did then, and no look waits for it.
        const bool firstLook = m_cursor == 0 || m_recording.events[m_cursor - 1].kind !=
                                                    RecordedEvent::Kind::Enumerate;
        if (m_hostTime == HostTime::Recorded || firstLook) {
            m_listed = m_recording.events[m_cursor].count;
            playAsTheHostCalls(lock, 0);
        }
        while (m_cursor < m_recording.events.size() &&
               m_recording.events[m_cursor].kind == RecordedEvent::Kind::Enumerate) {
            const std::int64_t next = dueUs(m_recording.events[m_cursor], false);
            if (next > m_clock.nowUs())
                break;
            m_listed = m_recording.events[m_cursor].count;
            consume(next);
        }
    }
    // The path the recording opens next comes first: a device that came back under another
    // path is found where it was.
    std::vector<std::string> paths;
    for (std::size_t i = m_cursor; i < m_recording.events.size() && paths.empty(); ++i)
        if (m_recording.events[i].kind == RecordedEvent::Kind::Open)
            paths.push_back(m_recording.events[i].path);
    for (const std::string& path : m_paths)
        if (std::find(paths.begin(), paths.end(), path) == paths.end())
            paths.push_back(path);
    std::vector<HidDeviceInfo> list;
    for (int i = 0; i < m_listed; ++i) {
        const auto index = static_cast<std::size_t>(i);
        HidDeviceInfo info;
        info.path = index < paths.size() ? paths[index] : "replay:" + std::to_string(index);
        info.vendorId = vendorId ? vendorId : VENDOR_ID;
        info.productId = productId ? productId : PRODUCT_ID;
        info.product = "Recorded bootloader";
        list.push_back(std::move(info));
    }
    return list;
}

std::unique_ptr<HidConnection> ReplayBackend::open(const std::string& path, std::string& error)
{
    std::unique_lock lock(m_mutex);
    if (!m_violation.empty())
        return std::make_unique<Link>(*this, 0);
    skipListings();
    std::string ignored;
    if (m_cursor == m_recording.events.size()) {
        violate("the host opened " + path + " after the recording's end", ignored);
        return std::make_unique<Link>(*this, 0);
    }
    const RecordedEvent& event = m_recording.events[m_cursor];
    if (event.kind != RecordedEvent::Kind::Open || event.path != path) {
        violate("the host opened " + path + " where the recording has " + describe(event) +
                    traceLine(event),
                ignored);
        return std::make_unique<Link>(*this, 0);
    }
    playAsTheHostCalls(lock, 0);
    if (event.count < 0) {
        error = event.reason;
        return nullptr;
    }
    return std::make_unique<Link>(*this, event.link);
}

void ReplayBackend::close(unsigned link)
{
    std::unique_lock lock(m_mutex);
    if (!m_violation.empty() || link == 0)
        return;
    skipListings();
    // A recording cut short (the recorded process was killed) ends without its last close.
    if (m_cursor == m_recording.events.size())
        return;
    const RecordedEvent& event = m_recording.events[m_cursor];
    if (event.kind == RecordedEvent::Kind::Close && event.link == link) {
        playAsTheHostCalls(lock, 0);
        return;
    }
    std::string ignored;
    violate("the host closed link " + std::to_string(link) + " where the recording has " +
                describe(event) + traceLine(event),
            ignored);
}

int ReplayBackend::write(unsigned link, const std::uint8_t* data, std::size_t length,
                         std::string& error)
{
    std::unique_lock lock(m_mutex);
    if (!m_violation.empty()) {
        error = m_violation;
        return -1;
    }
    const std::string report = "output report " + std::to_string(m_matched + 1);
    skipListings();
    if (m_cursor == m_recording.events.size())
        return violate("the host sent " + report + " after the recording's end", error);
    const RecordedEvent& event = m_recording.events[m_cursor];
    if (event.kind != RecordedEvent::Kind::Out)
        return violate("the host sent " + report + " where the recording has " + describe(event) +
                           traceLine(event),
                       error);
    if (event.link != link)
        return violate("the host sent " + report + " on link " + std::to_string(link) +
                           " where the recording sent it on link " + std::to_string(event.link) +
                           traceLine(event),
                       error);
    const auto recorded = m_recording.reportBytes(event);
    const std::size_t common = std::min(length, recorded.size());
    const auto at =
        static_cast<std::size_t>(std::mismatch(data, data + common, recorded.begin()).first - data);
    if (at < common)
        return violate(report + " differs from the recording at byte " + std::to_string(at) +
                           ": expected " + hexByte(recorded[at]) + ", got " + hexByte(data[at]) +
                           traceLine(event),
                       error);
    if (length != recorded.size())
        return violate(report + " has " + std::to_string(length) +
                           " bytes where the recording has " + std::to_string(recorded.size()) +
                           traceLine(event),
                       error);
    // The write takes as long as it did: a device that was busy, or a write that ran into the
    // transport's bound, holds the host as long again (on the system clock, no longer than that
    // bound).
    ++m_matched;
    playAsTheHostCalls(lock, std::int64_t{DEVICE_WRITE_BOUND_MS} * 1000);
    if (event.count < 0)
        error = event.reason;
    return event.count;
}

int ReplayBackend::read(unsigned link, std::uint8_t* data, std::size_t length, int timeoutMs,
                        std::string& error)
{
    std::unique_lock lock(m_mutex);
    const std::int64_t deadline = m_clock.nowUs() + std::int64_t{std::max(timeoutMs, 0)} * 1000;
    for (;;) {
        if (!m_violation.empty()) {
            error = m_violation;
            return -1;
        }
        // Only input on this link comes; anything else the recording has next is the host's to
        // do, and until it does nothing arrives.
        const RecordedEvent* next = nextPlayed();
        const bool input =
            next && next->kind == RecordedEvent::Kind::In && next->link == link && link != 0;
        const std::int64_t now = m_clock.nowUs();
        const std::int64_t dueAt = input ? dueUs(*next, true) : deadline;
        if (input && dueAt <= now) {
            skipListings();
            consume(now);
            if (next->count < 0) {
                error = next->reason;
                return -1;
            }
            const auto bytes = m_recording.reportBytes(*next);
            const std::size_t count = std::min(bytes.size(), length);
            std::memcpy(data, bytes.data(), count);
            return static_cast<int>(count);
        }
        if (now >= deadline)
            return 0;
        lock.unlock();
        m_clock.sleepUntilUs(std::min(dueAt, deadline));
        lock.lock();
    }
}

} // namespace quarvo
