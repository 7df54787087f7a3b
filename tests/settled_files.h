// Load hooks under which the update files a test has just written count as long settled: the file
// system's clock, as the job reads it, runs an hour ahead. For tests of what follows the loading,
// which would otherwise meet the job's wait for freshly written files.
#pragma once

#include "job/flash_job.h"
#include "platform/input_file.h"

namespace quarvo {

inline LoadHooks settledFiles()
{
    LoadHooks hooks;
    hooks.fileClock = [] {
        FileTime now = fileClockNow();
        now.seconds += 3600;
        return now;
    };
    return hooks;
}

// The whole update from files that the job takes as long settled, as files copied a while ago
// are: no wait comes before the device's steps, however long the test took to get there.
inline JobOutcome runSettled(CommandContext& ctx, const std::filesystem::path& dir)
{
    UpdateFiles files;
    const JobOutcome loaded = loadUpdateFiles(ctx, dir, files, settledFiles());
    return loaded == JobOutcome::Success ? flashUpdate(ctx, files) : loaded;
}

} // namespace quarvo
