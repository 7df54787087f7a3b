// quarvo-flash: the command-line front end over the update job. runCli parses the arguments,
// picks the backend (the caller's real-device factory, or the built-in simulated bootloader),
// runs the job or the listing, and returns the exit status. It reads nothing global: streams,
// terminal detection and the real backend come from main.
#pragma once

#include "hid/hid_backend.h"

#include <functional>
#include <memory>
#include <ostream>
#include <span>
#include <string>

namespace quarvo {

inline constexpr int EXIT_UPDATED = 0;
inline constexpr int EXIT_DEVICE_FAILED = 1;
inline constexpr int EXIT_BAD_INPUT = 2;

struct CliEnvironment {
    std::ostream& out;
    std::ostream& err;
    bool terminal;                                       // draw a progress bar on `out`
    std::function<std::unique_ptr<HidBackend>()> realBackend;
    std::string transportVersion;                        // for --version
};

int runCli(std::span<const std::string> args, CliEnvironment& env);

} // namespace quarvo
