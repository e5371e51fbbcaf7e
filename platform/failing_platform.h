// A machine that holds nothing, on which every operation fails as Windows answers for an object
// that is not there, leaving a last-error value that says why. The host tools build on it
// (package-info reads the host's files through it) and so do the tests' doubles: each derives
// from it and overrides only the operations it means to show.
//
// Beyond that: the system language is English (United States), a service that cannot fail;
// standard output is kept in `output`; Sleep and the key wait return at once; the startup record
// is filled and empty; and, as on Windows, the registry calls return their error code and leave
// the last-error value alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace platform {

class FailingPlatform : public platform::Platform {
 public:
  /// What GetLastError answers: set by SetLastError and by every failing operation.
  platform::Dword last_error = platform::kErrorSuccess;
  /// Everything written to standard output.
  std::string output;

  // --- System --------------------------------------------------------------------------------
  std::string GetSystemDirectoryA() override { return Failed(std::string(), kNoPath); }
  std::string GetModuleFileNameA() override { return Failed(std::string(), kNoFile); }
  int GetCurrentDriveNumber() override { return 0; }
  platform::Word GetSystemDefaultLangID() override { return kEnglishUnitedStates; }
  platform::Dword GetLastError() override { return last_error; }
  void SetLastError(platform::Dword error) override { last_error = error; }
  void Sleep(platform::Dword) override {}
  // The services below answer as a machine that holds nothing: no Windows directory, no version
  // record, no WOW64 (Windows 2000, where IsWow64Process does not exist), a zero clock and an
  // empty command line.
  std::string GetWindowsDirectoryA() override { return Failed(std::string(), kNoPath); }
  platform::Bool GetVersionExA(platform::OsVersionInfo*) override {
    return Failed(kFalse, platform::kErrorInvalidParameter);
  }
  void GetLocalTime(platform::SystemTime* time) override { *time = platform::SystemTime{}; }
  std::string GetCommandLineA() override { return std::string(); }
  platform::Bool IsWow64Process(platform::Bool*) override {
    return Failed(kFalse, platform::kErrorProcNotFound);
  }

  // --- Console -------------------------------------------------------------------------------
  void WriteStandardOutput(std::string_view bytes) override { output.append(bytes); }
  std::optional<unsigned char> ReadStandardInputByte() override {
    return Failed(std::optional<unsigned char>(), kBadHandle);
  }
  void WaitForKeyPress() override {}

  // --- Files ---------------------------------------------------------------------------------
  std::optional<std::size_t> ReadBinaryFile(std::string_view, std::span<char>) override {
    return Failed(std::optional<std::size_t>(), kNoFile);
  }
  std::optional<std::uint64_t> GetFileSize(std::string_view) override {
    return Failed(std::optional<std::uint64_t>(), kNoFile);
  }
  platform::Handle FindFirstFileA(std::string_view) override {
    return Failed(platform::kInvalidHandleValue, kNoFile);
  }
  platform::Bool FindClose(platform::Handle) override { return Failed(kFalse, kBadHandle); }
  // A new folder's parent is missing too.
  platform::Bool CreateDirectoryA(std::string_view) override { return Failed(kFalse, kNoPath); }
  platform::Bool SetFileAttributesA(std::string_view, platform::Dword) override {
    return Failed(kFalse, kNoFile);
  }
  platform::Bool CopyFileA(std::string_view, std::string_view, platform::Bool) override {
    return Failed(kFalse, kNoFile);
  }
  // A new file's folder is missing too.
  platform::Handle CreateFileA(std::string_view, platform::Dword, platform::Dword,
                               platform::Dword) override {
    return Failed(platform::kInvalidHandleValue, kNoPath);
  }
  platform::Bool WriteFile(platform::Handle, std::string_view, platform::Dword* written) override {
    if (written != nullptr) *written = 0;
    return Failed(kFalse, kBadHandle);
  }
  platform::Bool MoveFileExA(std::string_view, std::string_view, platform::Dword) override {
    return Failed(kFalse, kNoFile);
  }

  // --- Devices -------------------------------------------------------------------------------
  // With no class and no enumerator asked for, running out of memory is its only failure.
  platform::Handle SetupDiGetClassDevsA(platform::Dword) override {
    return Failed(platform::kInvalidHandleValue, platform::kErrorNotEnoughMemory);
  }
  platform::Bool SetupDiEnumDeviceInfo(platform::Handle, platform::Dword,
                                       platform::DeviceInfoData*) override {
    return Failed(kFalse, kBadHandle);
  }
  platform::Bool SetupDiGetDeviceRegistryPropertyA(platform::Handle,
                                                   const platform::DeviceInfoData&, platform::Dword,
                                                   platform::Dword*, unsigned char*,
                                                   platform::Dword, platform::Dword*) override {
    return Failed(kFalse, kBadHandle);
  }
  platform::Bool SetupDiCallClassInstaller(platform::Dword, platform::Handle,
                                           const platform::DeviceInfoData&) override {
    return Failed(kFalse, kBadHandle);
  }
  platform::Bool SetupDiDestroyDeviceInfoList(platform::Handle) override {
    return Failed(kFalse, kBadHandle);
  }
  platform::Bool UpdateDriverForPlugAndPlayDevicesA(std::string_view, std::string_view,
                                                    platform::Dword, platform::Bool*) override {
    return Failed(kFalse, kNoFile);
  }

  // --- Processes -----------------------------------------------------------------------------
  void GetStartupInfoA(platform::StartupInfo* info) override {
    *info = platform::StartupInfo{};
    info->filled = true;
  }
  platform::Bool CreateProcessA(std::string_view, platform::Dword, const platform::StartupInfo&,
                                platform::ProcessInformation*) override {
    return Failed(kFalse, kNoFile);
  }
  platform::Dword WaitForSingleObject(platform::Handle, platform::Dword) override {
    return Failed(platform::WAIT_FAILED, kBadHandle);
  }
  platform::Bool GetExitCodeProcess(platform::Handle, platform::Dword*) override {
    return Failed(kFalse, kBadHandle);
  }
  platform::Bool CloseHandle(platform::Handle) override { return Failed(kFalse, kBadHandle); }

  // --- Registry ------------------------------------------------------------------------------
  // A registry that cannot be written: every key passed in is then invalid.
  long RegCreateKeyExA(platform::Handle, std::string_view, platform::Dword, platform::Dword,
                       platform::Handle*) override {
    return static_cast<long>(platform::kErrorAccessDenied);
  }
  long RegSetValueExA(platform::Handle, std::string_view, platform::Dword, const unsigned char*,
                      platform::Dword) override {
    return static_cast<long>(kBadHandle);
  }
  long RegCloseKey(platform::Handle) override { return static_cast<long>(kBadHandle); }

 protected:
  static constexpr platform::Bool kFalse = 0;
  static constexpr platform::Word kEnglishUnitedStates = 0x0409;
  static constexpr platform::Dword kNoFile = platform::kErrorFileNotFound;
  static constexpr platform::Dword kNoPath = platform::kErrorPathNotFound;
  static constexpr platform::Dword kBadHandle = platform::kErrorInvalidHandle;

  /// Leaves `error` as the last-error value and gives `result`, the operation's failure answer.
  template <typename Result>
  Result Failed(Result result, platform::Dword error) {
    last_error = error;
    return result;
  }
};

}  // namespace platform
