// A HidBackend that plays a --trace recording back as the device. It lists and opens as the
// recording did and answers each report the host sends with the input reports the recorded device
// sent after it on the same link, each due as long after the host's last call as it was then, so
// that waits and time-outs fall as they did; a read waits for one no longer than its time-out.
// The host's own calls take as long as HostTime says. The first thing the host does otherwise (a
// report that differs in a byte, a report, open or close where the recording has something else)
// is a protocol violation: that transfer and every one after it fails with a text that names the
// difference, and violation() keeps it. Listings are lenient: one the recording has is played at
// its time, one it has not answers as the last one did. Thread-safe; a transfer sleeps on the
// clock without holding the lock.
#pragma once

#include "recording.h"

#include "hid/hid_backend.h"

#include <mutex>

namespace quarvo {

// The longest an event falls due after the one before it, whatever the recording says: longer
// than any wait of the updater's on a device (the erase of the largest database may take
// 30 s + 0.5 s a sector, under 35 minutes), so that only a damaged recording meets it, and a
// damaged recording's times cannot overflow the clock's. Only on a virtual clock (HostTime::
// Recorded) may a call take that long; on the system clock each is bounded as the host's own is.
inline constexpr std::int64_t REPLAY_GAP_LIMIT_US = std::int64_t{3600} * 1000000;

// What lies before a call of the host's in a recording (a listing, an open, a write, a close) is
// mostly the host's own time, its work and its waits; only a write to a busy device takes longer.
enum class HostTime {
    // On a virtual clock the host's work costs nothing: each call is done at its recorded time
    // (at most REPLAY_GAP_LIMIT_US after the event before it), so that a replay takes as long as
    // the recording did.
    Recorded,
    // On the system clock the host spends its time again: a listing, an open or a close is done
    // at once, a write when it is due but at most DEVICE_WRITE_BOUND_MS later, as a transport
    // would give up. No call holds the host longer than a device could, so that its own bounds
    // and its handling of stop requests apply. The host's first look for the device is answered
    // at once, a later recorded one once it has fallen due: a device still appears when it did.
    Spent,
};

class ReplayBackend final : public HidBackend {
public:
    ReplayBackend(Clock& clock, Recording recording, HostTime hostTime = HostTime::Recorded);
    ReplayBackend(const ReplayBackend&) = delete;
    ReplayBackend& operator=(const ReplayBackend&) = delete;

    std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId, std::uint16_t productId) override;
    // A path the recording never opened, or an open where it has something else, still opens:
    // the link's transfers then fail with the violation, as the first one of a link would.
    std::unique_ptr<HidConnection> open(const std::string& path, std::string& error) override;
    Clock& clock() override { return m_clock; }

    const Recording& recording() const { return m_recording; }
    // "protocol violation: output report 9 differs from the recording at byte 12: expected 0x2a,
    // got 0x2b (trace line 20)"; empty while the host has done as recorded.
    std::string violation() const;
    // What the host has not played yet ("the recording goes on with output report 58 (trace line
    // 71)"); empty once all of it was played. Listings left over do not count.
    std::string unplayed() const;
    unsigned reportsMatched() const;  // output reports the host sent as recorded
    unsigned reportsRecorded() const; // output reports in the recording

private:
    class Link;

    int write(unsigned link, const std::uint8_t* data, std::size_t length, std::string& error);
    int read(unsigned link, std::uint8_t* data, std::size_t length, int timeoutMs,
             std::string& error);
    void close(unsigned link);

    const RecordedEvent* nextPlayed() const;
    void skipListings();
    void consume(std::int64_t atUs);
    void playAsTheHostCalls(std::unique_lock<std::mutex>& lock, std::int64_t spentHoldUs);
    std::int64_t dueUs(const RecordedEvent& event, bool afterHost) const;
    std::string describe(const RecordedEvent& event) const;
    int violate(std::string what, std::string& error);

    mutable std::mutex m_mutex;
    Clock& m_clock;
    Recording m_recording;
    HostTime m_hostTime;
    std::vector<std::string> m_paths; // every path the recording opened, in order of appearance
    std::size_t m_cursor = 0;         // the next event to play
    int m_listed = 0;                 // interfaces a listing shows now
    // The recorded and replayed times of the last event played, and of the last one the host
    // caused (a listing, an open, a report, a close): input reports fall due after the latter.
    std::int64_t m_lastRecordedUs = 0;
    std::int64_t m_lastReplayUs = 0;
    std::int64_t m_hostRecordedUs = 0;
    std::int64_t m_hostReplayUs = 0;
    unsigned m_matched = 0;
    unsigned m_recordedOuts = 0;
    std::string m_violation;
};

} // namespace quarvo
