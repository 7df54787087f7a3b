#include "settle_watch.h"

#include <algorithm>

namespace quarvo {

std::int64_t fileTimeUs(const FileTime& time)
{
    return time.seconds * 1000000 + time.nanoseconds / 1000;
}

std::string describeChange(const FileStamp& before, const FileStamp& after)
{
    if (!after.sameFile(before))
        return "another file took its place";
    if (after.size != before.size)
        return "its size went from " + std::to_string(before.size) + " to " +
               std::to_string(after.size) + " bytes";
    if (after.modified != before.modified)
        return "its modification time moved";
    if (after.changed != before.changed)
        return "its status change time moved";
    return {};
}

bool SettleWatch::look(const FileStamp& stamp, std::int64_t nowUs)
{
    if (!m_seen || *m_seen != stamp) {
        if (m_seen) {
            m_lastChange = describeChange(*m_seen, stamp);
            m_changedAfterUs = m_lastLookUs;
        }
        m_seen = stamp;
        m_seenSinceUs = nowUs;
    }
    m_lastLookUs = nowUs;
    // A system without change times gives 0 for them, which the modification time then outweighs.
    const std::int64_t latestUs = std::max(fileTimeUs(stamp.modified), fileTimeUs(stamp.changed));
    // A time ahead of the clock, or one from before a look that still saw the file otherwise,
    // says nothing of when the file last changed: then it counts from the look that first saw it
    // as it is.
    const bool timeTells = latestUs <= nowUs && (!m_changedAfterUs || latestUs > *m_changedAfterUs);
    const std::int64_t unchangedSinceUs = timeTells ? latestUs : m_seenSinceUs;
    return nowUs - unchangedSinceUs >= SETTLE_AGE_MS * 1000;
}

} // namespace quarvo
