// The whole update from files a test has just written, taken as long settled (settledLoadHooks):
// for tests of what follows the loading, which would otherwise meet the job's wait for freshly
// written files.
#pragma once

#include "job/flash_job.h"

namespace quarvo {

// No wait comes before the device's steps, however long the test took to get there.
inline JobOutcome runSettled(CommandContext& ctx, const std::filesystem::path& dir)
{
    UpdateFiles files;
    const JobOutcome loaded = loadUpdateFiles(ctx, dir, files, settledLoadHooks());
    return loaded == JobOutcome::Success ? flashUpdate(ctx, files) : loaded;
}

} // namespace quarvo
