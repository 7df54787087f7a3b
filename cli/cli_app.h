// quarvo-flash: the command-line front end over the update run. runCli parses the arguments,
// picks the backend (the caller's real-device factory, or the built-in simulated bootloader),
// hands the update to an UpdateRun and renders what it publishes, or lists the bootloaders, and
// returns the exit status. It reads nothing global: streams, terminal detection, the real backend
// and the platform's guard, hold and stop requests come from main.
#pragma once

#include "queued_writer.h"

#include "hid/hid_backend.h"
#include "job/flash_job.h"
#include "platform/instance_guard.h"
#include "platform/process_stops.h"
#include "platform/system_hold.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <span>
#include <string>

namespace quarvo {

inline constexpr const char* CLI_PROGRAM = "quarvo-flash";

inline constexpr int EXIT_UPDATED = 0;
inline constexpr int EXIT_DEVICE_FAILED = 1;
inline constexpr int EXIT_BAD_INPUT = 2;

// Most text queued for standard output and error, and how long the end of a run waits for a
// slow reader to take it; what is left for a reader that did not stall then gets at most
// OUTPUT_LEFTOVER_MS more. With the trace's own TRACE_DRAIN_MS before them, the process ends
// within 3 s of the job's end whatever its streams do.
inline constexpr std::size_t OUTPUT_QUEUE_BYTES = 1u << 20;
inline constexpr int OUTPUT_DRAIN_MS = 1500;
inline constexpr int OUTPUT_LEFTOVER_MS = 600;

struct CliEnvironment {
    std::ostream& out;
    std::ostream& err;
    bool terminal; // draw a progress bar on `out`
    std::function<std::unique_ptr<HidBackend>()> realBackend;
    std::string transportVersion;      // for --version
    std::function<int()> columns = {}; // the terminal's width, 0 when unknown
    StopSource* stops = nullptr;       // none: nothing stops an update
    // The machine-wide single-instance guard, taken by the run for a real device; none: no other
    // updater can run.
    InstanceGuard* guard = nullptr;
    bool escapes = true; // the terminal understands "\033[K" (not every Windows console does)
    std::string installedUdevRule = {}; // where the package put the udev rule; empty: not installed
    SystemHold* systemHold = nullptr;   // held around a job on a real device; none: nothing held
    // How text reaches the process's standard output and error (bounded by their wait, never
    // blocking for good); empty: written to `out` and `err`.
    QueuedWriter::Channel outChannel = {};
    QueuedWriter::Channel errChannel = {};
    // Standard output and error are one file (2>&1): when one stalls, the other gets nothing more.
    bool outputsShareFile = false;
    // This user's update history (empty: none is kept).
    std::filesystem::path historyFile = {};
    // Set by runCli when a reader of `out` or `err` stalled and text for it was left to a writer
    // thread still blocked on it: flushing those streams again would block too.
    bool outputLeftBehind = false;
    // For tests: the job's ways into the loading of the update files.
    LoadHooks loadHooks = {};
};

int runCli(std::span<const std::string> args, CliEnvironment& env);

} // namespace quarvo
