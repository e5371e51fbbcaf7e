// The main flow after start-up: detection, then the hand-over, the upgrade path or the
// installation sequence, each ending in a result.
#pragma once

#include <string>
#include <string_view>

#include "setup/run_state.h"

namespace setup {

/// Detects the supported devices and takes the way that fits; prints the result and returns
/// the exit code. The exit tail is the caller's.
int RunMainFlow(RunState& run);

/// A program path as the start of a command line: in double quotes when it holds a space, so
/// that Windows cannot take a shorter path for the program.
std::string QuotedProgramPath(std::string_view path);

/// The registry key and value that run the deployed program once after the next restart.
inline constexpr std::string_view kRunOnceKey =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
inline constexpr std::string_view kRunOnceValue = "Setup";

}  // namespace setup
