#include "platform/sim/restart.h"

#include <cctype>

#include "platform/sim/operations.h"

namespace sim {

std::string CommandLineOf(const std::vector<std::string>& program) {
  std::string line;
  for (std::size_t i = 0; i < program.size(); ++i) {
    if (i > 0) line += ' ';
    const bool quoted = i == 0 && program[i].find(' ') != std::string::npos;
    line += quoted ? "\"" + program[i] + "\"" : program[i];
  }
  return line;
}

bool IsSetupProgram(std::string_view program_path) {
  const std::size_t separator = program_path.find_last_of("\\/:");
  std::string name(separator == std::string_view::npos ? program_path
                                                       : program_path.substr(separator + 1));
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name == "SETUP.EXE";
}

std::vector<std::string> Restart(Machine& machine) {
  std::vector<std::string> commands;
  const std::string key(kRunOnceKey);
  if (machine.registry.contains(key)) {
    for (const auto& [name, value] : machine.registry[key].items()) {
      if (value.contains("data") && value["data"].is_string()) {
        commands.push_back(value["data"].get<std::string>());
      }
    }
    machine.registry[key] = Json::object();
  }
  RestartDevices(machine);
  return commands;
}

platform::Dword RunProgram(SimPlatform& platform, const ProgramMain& program_main,
                           const std::vector<std::string>& args, const std::string& command_line) {
  platform.SetProgramPath(args.empty() ? std::string() : args.front());
  platform.SetCommandLine(command_line);
  const platform::Dword exit_code = program_main(platform, args);
  platform.JournalEntry({{"op", op::kExitProcess}, {"ok", true}, {"exit_code", exit_code}});
  return exit_code;
}

platform::Dword RunRestartCommands(SimPlatform& platform, const ProgramMain& program_main,
                                   const std::vector<std::string>& commands) {
  platform::Dword exit_code = 0;
  for (const std::string& command : commands) {
    const std::vector<std::string> parts = SplitCommandLine(command);
    if (parts.empty()) continue;
    if (IsSetupProgram(parts.front())) {
      exit_code = RunProgram(platform, program_main, parts, command);
      continue;
    }
    platform::StartupInfo startup;
    platform::ProcessInformation process;
    if (platform.CreateProcessA(command, 0, startup, &process)) {
      platform.WaitForSingleObject(process.process, platform::INFINITE);
      platform.CloseHandle(process.process);
      platform.CloseHandle(process.thread);
    }
  }
  return exit_code;
}

}  // namespace sim
