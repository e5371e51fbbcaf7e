// Runs the built setup-sim as a process on a machine folder, as a tester would.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/sim/machine.h"

namespace testing_support {

struct RunResult {
  int exit_code = -1;  // the program's own only when it `exited`
  std::string out;     // standard output, byte for byte
  std::string err;
  std::vector<sim::Json> journal;  // the entries this run appended
  bool exited = false;             // ended by itself through exit
  int signal = 0;                  // the signal that ended it, when it did not exit
  bool timed_out = false;          // stopped at the time limit, with all it started
  bool journal_readable = true;    // every appended journal line was valid JSON
};

/// A run that takes longer than this is stopped, with everything it started.
inline constexpr std::chrono::milliseconds kDefaultRunLimit{120000};

/// A copy of one of the example machines in a temporary folder.
class MachineFolder {
 public:
  /// `example` names a folder under the built machines (e.g. "first-install").
  explicit MachineFolder(const std::string& example = "first-install");
  ~MachineFolder();
  MachineFolder(const MachineFolder&) = delete;
  MachineFolder& operator=(const MachineFolder&) = delete;

  /// machine.json, to read or change before a run (Save writes it back).
  sim::Json& json() { return json_; }
  void Save();
  /// Reads machine.json again, as the last run left it.
  const sim::Json& Reload();

  /// Runs setup-sim with `sim_options` (e.g. "--reboot") and the program's arguments.
  RunResult Run(const std::vector<std::string>& program_args, const std::string& input = "",
                const std::vector<std::string>& sim_options = {},
                std::chrono::milliseconds limit = kDefaultRunLimit);

  std::filesystem::path Host(const std::string& windows_path) const;
  std::string ReadFile(const std::string& windows_path) const;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  sim::Json json_;
};

/// Runs setup-sim with exactly these arguments (no --machine added) and this input.
RunResult RunSetupSim(const std::vector<std::string>& args, const std::string& input = "",
                      const std::filesystem::path& journal = {},
                      std::chrono::milliseconds limit = kDefaultRunLimit);

/// The entries of a journal with the given op, in order.
std::vector<sim::Json> Ops(const std::vector<sim::Json>& journal, const std::string& op);

}  // namespace testing_support
