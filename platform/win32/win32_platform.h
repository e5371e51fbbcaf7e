// The Windows backend: every operation calls the Windows service of the same name.
//
// This header includes no system header, so that the program's constants in platform.h keep
// their names here; the implementation includes <windows.h> after it.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace win32 {

/// The value the program passes for the predefined registry key. Windows's own
/// HKEY_LOCAL_MACHINE is the same number sign-extended to a pointer, so the backend compares
/// with this value and passes the real key.
inline constexpr platform::Handle kProgramLocalMachine = platform::HKEY_LOCAL_MACHINE;

class Win32Platform final : public platform::Platform {
 public:
  /// The device services come from setupapi.dll and newdev.dll, loaded at first use by full
  /// path from `library_folder` when one is given (a test's), otherwise from the system
  /// directory. When a library or one of its functions cannot be had, the operation fails as
  /// the service does, with the load's error as the last error.
  explicit Win32Platform(std::optional<std::string> library_folder = std::nullopt);
  ~Win32Platform() override;
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

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

 private:
  /// The Windows records the backend keeps between calls (defined with <windows.h>).
  struct Records;
  std::unique_ptr<Records> records_;
  bool stdin_binary_ = false;
};

}  // namespace win32
