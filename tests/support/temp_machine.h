// An in-memory simulated machine on a temporary folder, for tests that call the program's
// functions directly.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/sim_platform.h"

namespace testing_support {

/// A new empty folder in the system's temporary folder, its name beginning with `stem`.
std::filesystem::path MakeTempFolder(const std::string& stem);

/// Where the Windows path `windows_path` (drive letter required) lies in the machine folder
/// `root`: drives/<LETTER>/..., with the letter case as written.
std::filesystem::path HostPath(const std::filesystem::path& root, std::string_view windows_path);

/// The bytes of a host file (empty when it cannot be read).
std::string ReadHostFile(const std::filesystem::path& path);
/// Writes `bytes` as the whole of a host file.
void WriteHostFile(const std::filesystem::path& path, const std::string& bytes);

/// Removes a machine folder, read-only files and folders included.
void RemoveMachineFolder(const std::filesystem::path& root);

class TempMachine {
 public:
  /// A machine with empty drives C: and D:; `input` is what standard input holds.
  explicit TempMachine(std::optional<std::string> input = std::nullopt);
  ~TempMachine();
  TempMachine(const TempMachine&) = delete;
  TempMachine& operator=(const TempMachine&) = delete;

  /// Writes a file at a Windows path (drive letter required), making its folders.
  void WriteFile(const std::string& windows_path, const std::string& bytes);
  std::filesystem::path Host(const std::string& windows_path) const;

  /// The platform over the machine; made on first use, after the machine is set up.
  sim::SimPlatform& platform();

  sim::Machine machine;
  std::string output;
  std::vector<sim::Json> journal;
  std::filesystem::path root;

 private:
  std::optional<std::string> input_;
  std::unique_ptr<sim::SimPlatform> platform_;
};

}  // namespace testing_support
