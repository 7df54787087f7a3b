// quarvo-flash's options: one table that both the parser and --help walk, so that what is
// accepted and what is documented cannot drift apart. parseOptions fills Options and returns an
// error message for the user (empty when the arguments are good); helpText is --help's text.
#pragma once

#include "sim/sim_pace.h"
#include "sim/sim_scenario.h"

#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace quarvo {

// Longest --wait a user may ask for, and the wait without a value.
inline constexpr unsigned MAX_WAIT_SECONDS = 24 * 3600;
inline constexpr unsigned DEFAULT_WAIT_SECONDS = 60;

struct Options {
    std::filesystem::path directory = ".";
    bool list = false;
    bool help = false;
    bool version = false;
    std::optional<SimScenario> simulate;
    bool realTime = false;
    std::optional<SimPace> pace;
    bool history = false; // print the update history instead of updating
    bool json = false;    // JSON lines instead of the human ones
    std::optional<unsigned> waitSeconds;
    std::string traceFile;
};

std::string parseOptions(std::span<const std::string> args, Options& options);

std::string helpText(const char* program);

} // namespace quarvo
