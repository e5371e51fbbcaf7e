// setup-sim: the setup program on a simulated machine.
//
//   setup-sim [--machine DIR] [--reboot] [--] PROGRAM_PATH [ARG...]
//   setup-sim --help
//
// Standard input, standard output and the exit code are the program's own; setup-sim's own
// errors go to standard error with exit code 3.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/restart.h"
#include "platform/sim/sim_platform.h"
#include "setup/setup_main.h"

namespace {

constexpr int kExitSimulatorError = 3;
/// A process's exit status keeps only these bits of the program's exit code; the whole code is
/// in the journal's ExitProcess entry.
constexpr platform::Dword kExitStatusBits = 0xFF;
constexpr const char* kUsage =
    "usage: setup-sim [--machine DIR] [--reboot] [--] PROGRAM_PATH [ARG...]\n"
    "Runs the setup program on a simulated machine, as Windows would start it from\n"
    "PROGRAM_PATH (a Windows path such as D:\\win2000\\SETUP.EXE) with the arguments ARG.\n"
    "\n"
    "  --machine DIR  the machine folder (machine.json, drives/, journal.jsonl); without it a\n"
    "                 fresh copy of the bundled example machine, named on standard error\n"
    "  --reboot       simulate a restart: run and delete the RunOnce commands instead of\n"
    "                 PROGRAM_PATH; removed hardware marked \"reappears\" comes back\n"
    "  --             ends the options; what follows is PROGRAM_PATH and its arguments\n"
    "  -h, --help     print this help and exit\n"
    "\n"
    "Exit code: the program's own (0, 1, 2), or 3 for an error of setup-sim itself. A code\n"
    "above 255 keeps its low 8 bits; journal.jsonl's last ExitProcess entry has it whole.\n";

struct Arguments {
  std::filesystem::path machine;
  bool reboot = false;
  std::vector<std::string> program;  // the program's path and its arguments
};

enum class Reading { kRun, kHelp, kError };

Reading ReadArguments(int argc, char** argv, Arguments* arguments) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--help" || arg == "-h") return Reading::kHelp;
    if (arg == "--machine" && i + 1 < argc) {
      arguments->machine = argv[++i];
    } else if (arg == "--reboot") {
      arguments->reboot = true;
    } else if (arg.starts_with("--")) {
      std::cerr << "setup-sim: "
                << (arg == "--machine" ? "--machine needs a folder" : "unknown option " + arg)
                << "\n"
                << kUsage;
      return Reading::kError;
    } else {
      break;
    }
  }
  for (; i < argc; ++i) arguments->program.emplace_back(argv[i]);
  if (arguments->program.empty() && !arguments->reboot) {
    std::cerr << "setup-sim: no PROGRAM_PATH given\n" << kUsage;
    return Reading::kError;
  }
  return Reading::kRun;
}

/// A fresh copy of the bundled example machine, so that the bundled one never changes.
std::filesystem::path CopyBundledMachine() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "setup-sim-machine-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw sim::MachineError("cannot make a temporary folder");
  const std::filesystem::path copy = pattern;
  std::filesystem::copy(
      SETUP_SIM_BUNDLED_MACHINE, copy,
      std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
  std::cerr << "setup-sim: running on a copy of the example machine in " << copy.string() << "\n";
  return copy;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  switch (ReadArguments(argc, argv, &arguments)) {
    case Reading::kHelp:
      std::cout << kUsage;
      return EXIT_SUCCESS;
    case Reading::kError:
      return kExitSimulatorError;
    case Reading::kRun:
      break;
  }

  sim::Machine machine;
  std::filesystem::path folder;
  try {
    folder = arguments.machine.empty() ? CopyBundledMachine() : arguments.machine;
    machine = sim::LoadMachine(folder / "machine.json");
  } catch (const std::exception& error) {
    std::cerr << "setup-sim: " << (folder / "machine.json").string() << ": " << error.what()
              << "\n";
    return kExitSimulatorError;
  }

  std::ofstream journal(folder / "journal.jsonl", std::ios::app | std::ios::binary);
  const auto write_journal = [&journal](const sim::Json& entry) {
    journal << entry.dump(-1, ' ', false, sim::Json::error_handler_t::replace) << '\n';
    journal.flush();
  };

  // A restart: removed hardware comes back, then every RunOnce value is deleted and its command
  // runs, in stored order.
  std::vector<std::string> commands;
  if (arguments.reboot) {
    commands = sim::Restart(machine);
    sim::SaveMachine(machine, folder / "machine.json");
  }

  // The program's exit code, whether SetupMain gives it as an int or as a DWORD.
  const sim::ProgramMain program_main = [](platform::Platform& platform,
                                           const std::vector<std::string>& args) {
    return static_cast<platform::Dword>(setup::SetupMain(platform, args));
  };
  platform::Dword exit_code = 0;
  {
    sim::SimPlatform platform(machine, folder, sim::ConsoleIo{}, write_journal);
    exit_code = arguments.reboot ? sim::RunRestartCommands(platform, program_main, commands)
                                 : sim::RunProgram(platform, program_main, arguments.program,
                                                   sim::CommandLineOf(arguments.program));
  }
  try {
    sim::SaveMachine(machine, folder / "machine.json");
  } catch (const std::exception& error) {
    std::cerr << "setup-sim: " << error.what() << "\n";
    return kExitSimulatorError;
  }
  return static_cast<int>(exit_code & kExitStatusBits);
}
