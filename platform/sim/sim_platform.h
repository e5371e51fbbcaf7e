// The simulated machine: the platform backend for Linux and for the tests.
#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/machine.h"

namespace sim {

/// Where the console of a simulated run goes. By default the process's own standard streams
/// and terminal; tests give it strings instead.
struct ConsoleIo {
  /// Standard input to read instead of the process's (nothing: read file descriptor 0).
  std::optional<std::string> input;
  /// Where standard output goes instead of the process's (null: file descriptor 1).
  std::string* output = nullptr;
  /// Whether the key wait may use the terminal (/dev/tty).
  bool use_terminal = true;
};

/// Splits a command line as a started program sees it: the program's path (in double quotes, or
/// up to the first space), then the rest split at spaces.
std::vector<std::string> SplitCommandLine(std::string_view command_line);

class SimPlatform final : public platform::Platform {
 public:
  /// `root` is the machine folder: its drives lie under root/drives/<LETTER>. Journal entries
  /// are handed to `journal` as they happen.
  SimPlatform(Machine& machine, std::filesystem::path root, ConsoleIo io,
              std::function<void(const Json&)> journal);
  ~SimPlatform() override;

  /// The host path of a Windows path ("" when the path names no drive folder), letter case
  /// ignored for the parts that exist.
  std::filesystem::path HostPath(std::string_view windows_path) const;

  /// A Windows path made full the way Windows makes it: a path without a drive, or a relative
  /// one, lies on the current drive or below the current directory. Empty when the machine has
  /// no current drive to put it on.
  std::string FullPath(std::string_view windows_path) const;

  /// The program's path as started (the first argument it sees), from which GetModuleFileNameA
  /// answers.
  void SetProgramPath(std::string program_path) { program_path_ = std::move(program_path); }
  /// The program's whole command line as started, from which GetCommandLineA answers.
  void SetCommandLine(std::string command_line) { command_line_ = std::move(command_line); }

  std::string GetSystemDirectoryA() override;
  std::string GetModuleFileNameA() override;
  int GetCurrentDriveNumber() override;
  platform::Word GetSystemDefaultLangID() override;
  std::string GetWindowsDirectoryA() override;
  platform::Bool GetVersionExA(platform::OsVersionInfo* info) override;
  void GetLocalTime(platform::SystemTime* time) override;
  std::string GetCommandLineA() override;
  platform::Bool IsWow64Process(platform::Bool* wow64) override;
  platform::Dword GetLastError() override;
  void SetLastError(platform::Dword error) override;
  void Sleep(platform::Dword milliseconds) override;

  void WriteStandardOutput(std::string_view bytes) override;
  std::optional<unsigned char> ReadStandardInputByte() override;
  void WaitForKeyPress() override;

  std::optional<std::size_t> ReadBinaryFile(std::string_view path, std::span<char> buffer) override;
  std::optional<std::uint64_t> GetFileSize(std::string_view path) override;
  platform::Handle FindFirstFileA(std::string_view path) override;
  platform::Bool FindClose(platform::Handle search) override;
  platform::Bool CreateDirectoryA(std::string_view path) override;
  platform::Bool SetFileAttributesA(std::string_view path, platform::Dword attributes) override;
  platform::Bool CopyFileA(std::string_view existing, std::string_view destination,
                           platform::Bool fail_if_exists) override;
  platform::Handle CreateFileA(std::string_view path, platform::Dword desired_access,
                               platform::Dword share_mode,
                               platform::Dword creation_disposition) override;
  platform::Bool WriteFile(platform::Handle file, std::string_view bytes,
                           platform::Dword* written) override;
  platform::Bool MoveFileExA(std::string_view existing, std::string_view new_name,
                             platform::Dword flags) override;

  platform::Handle SetupDiGetClassDevsA(platform::Dword flags) override;
  platform::Bool SetupDiEnumDeviceInfo(platform::Handle set, platform::Dword index,
                                       platform::DeviceInfoData* data) override;
  platform::Bool SetupDiGetDeviceRegistryPropertyA(
      platform::Handle set, const platform::DeviceInfoData& data, platform::Dword property,
      platform::Dword* property_type, unsigned char* buffer, platform::Dword buffer_size,
      platform::Dword* required_size) override;
  platform::Bool SetupDiCallClassInstaller(platform::Dword install_function, platform::Handle set,
                                           const platform::DeviceInfoData& data) override;
  platform::Bool SetupDiDestroyDeviceInfoList(platform::Handle set) override;
  platform::Bool UpdateDriverForPlugAndPlayDevicesA(std::string_view hardware_id,
                                                    std::string_view inf_path,
                                                    platform::Dword flags,
                                                    platform::Bool* reboot) override;

  void GetStartupInfoA(platform::StartupInfo* info) override;
  platform::Bool CreateProcessA(std::string_view command_line, platform::Dword creation_flags,
                                const platform::StartupInfo& startup,
                                platform::ProcessInformation* info) override;
  platform::Dword WaitForSingleObject(platform::Handle handle,
                                      platform::Dword milliseconds) override;
  platform::Bool GetExitCodeProcess(platform::Handle process, platform::Dword* exit_code) override;
  platform::Bool CloseHandle(platform::Handle handle) override;

  long RegCreateKeyExA(platform::Handle root, std::string_view sub_key, platform::Dword options,
                       platform::Dword access, platform::Handle* key) override;
  long RegSetValueExA(platform::Handle key, std::string_view value_name, platform::Dword type,
                      const unsigned char* data, platform::Dword size) override;
  long RegCloseKey(platform::Handle key) override;

  /// Appends an entry to the journal that no platform call makes (the end of a run).
  void JournalEntry(const Json& entry) { Journal(entry); }

  /// How many handles of any kind are open now (a test checks that every one was released).
  std::size_t OpenHandleCount() const { return handles_.size(); }

 private:
  struct Object;
  /// The fault for `op` on `path` (or on any of `paths`), counted down; nothing when none.
  std::optional<platform::Dword> TakeFault(std::string_view op,
                                           const std::vector<std::string>& paths);
  void Journal(Json entry);
  /// Journals a failed call with its error code, leaves the code as the last error and returns
  /// FALSE.
  platform::Bool Fail(Json& entry, platform::Dword error);
  /// Journals a failed registry call; registry calls return their error code.
  long FailRegistry(Json& entry, platform::Dword error);
  platform::Handle NewHandle(Object object);
  Object* Find(platform::Handle handle);
  Device* FindPresentDevice(platform::Dword instance);

  Machine& machine_;
  std::filesystem::path root_;
  std::string program_path_;
  std::string command_line_;
  ConsoleIo io_;
  std::size_t input_position_ = 0;
  std::function<void(const Json&)> journal_;
  platform::Dword last_error_ = 0;
  platform::Handle next_handle_ = 0x100;
  std::map<platform::Handle, Object> handles_;
  platform::Dword next_instance_ = 1;
  /// Where each present device stands in the machine's list, by instance number; cleared when
  /// the list changes.
  std::unordered_map<platform::Dword, std::size_t> device_positions_;
  /// Host folders found for Windows folder paths (drive letter and lower-case parts).
  mutable std::unordered_map<std::string, std::filesystem::path> resolved_folders_;
  /// Started programs not waited for yet (host process IDs).
  std::vector<int> unwaited_;
};

}  // namespace sim
