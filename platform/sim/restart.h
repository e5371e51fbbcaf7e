// Runs of the program on the simulated machine, and the machine's restart: what setup-sim does
// between reading its command line and writing the machine back.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "platform/sim/sim_platform.h"

namespace sim {

/// The key whose values Windows runs once after a restart, and deletes.
inline constexpr std::string_view kRunOnceKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

/// The setup program's entry point: its arguments (its path as started first), its whole exit
/// code back.
using ProgramMain =
    std::function<platform::Dword(platform::Platform&, const std::vector<std::string>&)>;

/// The command line Windows gives a program started as `program` (its path, then its
/// arguments): the path, in double quotes when it holds a space, and each argument after it,
/// joined by single spaces.
std::string CommandLineOf(const std::vector<std::string>& program);

/// Whether a command's program is this setup program: a file named SETUP.EXE, letter case
/// ignored, wherever it lies.
bool IsSetupProgram(std::string_view program_path);

/// What a restart does to the machine: removed hardware that the system finds again comes back,
/// and every RunOnce value is deleted. Returns the deleted values' commands, in stored order.
std::vector<std::string> Restart(Machine& machine);

/// Runs the program once on `platform`, started with `args` from `command_line`, and journals
/// its end (ExitProcess with the whole exit code) as the run's last entry. Returns the code.
platform::Dword RunProgram(SimPlatform& platform, const ProgramMain& program_main,
                           const std::vector<std::string>& args, const std::string& command_line);

/// Runs a restart's commands in order, as Windows does after a restart: a command of this
/// program runs it in the same machine, any other command starts its program and waits for it.
/// Returns the exit code of the last run of this program, 0 when there was none.
platform::Dword RunRestartCommands(SimPlatform& platform, const ProgramMain& program_main,
                                   const std::vector<std::string>& commands);

}  // namespace sim
