// quarvo-flash: the command-line front end over the update job. runCli parses the arguments,
// picks the backend (the caller's real-device factory, or the built-in simulated bootloader),
// runs the job or the listing, and returns the exit status. It reads nothing global: streams,
// terminal detection and the real backend come from main.
#pragma once

#include "hid/hid_backend.h"
#include "platform/system_hold.h"

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

// What the process's signals ask of an update; main installs the system's (console.h), tests a
// fake.
class StopRequests {
public:
    virtual ~StopRequests() = default;
    // The number of the signal that asks the update to stop, 0 while none does.
    virtual int requested() = 0;
    // From now on the device is being written, so stopping would leave it without a working
    // program; requests are weighed accordingly.
    virtual void deviceAtRisk() = 0;
    // True once for each interrupt that did not stop the update but waits for a second one
    // within CONFIRM_STOP_SECONDS; the front end tells the user so.
    virtual bool confirmationAsked() = 0;
};

inline constexpr int CONFIRM_STOP_SECONDS = 5;

// Whether this process may update: the single-instance guard the window takes too. Unavailable:
// it could not be taken, and another updater may be running.
enum class UpdateGuard { Acquired, AlreadyRunning, Unavailable };

struct CliEnvironment {
    std::ostream& out;
    std::ostream& err;
    bool terminal; // draw a progress bar on `out`
    std::function<std::unique_ptr<HidBackend>()> realBackend;
    std::string transportVersion;      // for --version
    std::function<int()> columns = {}; // the terminal's width, 0 when unknown
    StopRequests* stops = nullptr;     // none: nothing stops an update
    // Takes the guard; on Unavailable says what stands in the way. None: no other updater runs.
    std::function<UpdateGuard(std::string& obstacle)> acquireUpdateGuard = {};
    bool escapes = true; // the terminal understands "\033[K" (not every Windows console does)
    std::string installedUdevRule = {}; // where the package put the udev rule; empty: not installed
    SystemHold* systemHold = nullptr;   // held around a job on a real device; none: nothing held
    // Set by runCli when a reader of `out` or `err` stalled and text for it was left to a writer
    // thread still blocked on it: flushing those streams again would block too.
    bool outputLeftBehind = false;

    // The same environment writing to other streams.
    CliEnvironment withStreams(std::ostream& otherOut, std::ostream& otherErr) const
    {
        return {otherOut,         otherErr,          terminal,  realBackend,
                transportVersion, columns,           stops,     acquireUpdateGuard,
                escapes,          installedUdevRule, systemHold};
    }
};

int runCli(std::span<const std::string> args, CliEnvironment& env);

} // namespace quarvo
