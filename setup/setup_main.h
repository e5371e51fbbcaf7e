// The program's entry point, shared by both builds.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace setup {

/// Exit codes of a run. A run that needs a reboot ends with kExitRebootRequired unless the
/// administrator named another code for it (/RESTARTEXITCODE=N).
enum ExitCode : int { kExitComplete = 0, kExitRebootRequired = 1, kExitFailed = 2 };

/// Runs the setup program on `platform` with its arguments (the first is the program's path as
/// it was started) and returns the process exit code, any 32-bit value.
platform::Dword SetupMain(platform::Platform& platform, const std::vector<std::string>& args);

}  // namespace setup
