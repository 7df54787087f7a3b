// A HidBackend that plays a --trace recording back as the device. It lists and opens as the
// recording did and answers each report the host sends with the input reports the recorded device
// sent after it on the same link, each due as long after the host's report as it was then, so
// that waits and time-outs fall as they did; what the host does is played at its recorded time
// too (a write takes as long as it took). The first thing the host does otherwise (a report
// that differs in a byte, a report, open or close where the recording has something else) is a
// protocol violation: that transfer and every one after it fails with a text that names the
// difference, and violation() keeps it. Listings are lenient: a listing the recording has is
// played at its time, one it has not answers as the last one did. Thread-safe; a transfer sleeps
// on the clock without holding the lock.
#pragma once

#include "recording.h"

#include "hid/hid_backend.h"

#include <mutex>

namespace quarvo {

// The longest an event is played after the one before it, whatever the recording says: longer
// than any wait of the updater's on a device (the erase of the largest database may take
// 30 s + 0.5 s a sector, under 35 minutes), so that only a damaged recording meets it, and a
// replay on the system clock (--real-time) never waits longer for one event.
inline constexpr std::int64_t REPLAY_GAP_LIMIT_US = std::int64_t{3600} * 1000000;

class ReplayBackend final : public HidBackend {
public:
    ReplayBackend(Clock& clock, Recording recording);
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
    void playAtItsTime(std::unique_lock<std::mutex>& lock);
    std::int64_t dueUs(const RecordedEvent& event, bool afterHost) const;
    std::string describe(const RecordedEvent& event) const;
    int violate(std::string what, std::string& error);

    mutable std::mutex m_mutex;
    Clock& m_clock;
    Recording m_recording;
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
