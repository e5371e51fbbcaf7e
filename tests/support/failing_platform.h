// For tests and host tools only. The base of the test doubles of platform::Platform (and of
// package-info's host files): a machine that holds nothing, on which every operation fails as
// Windows answers for an object that is not there. A double derives from it and overrides only
// the operations it means to show; everything else keeps failing, with a last-error value that
// says why.
//
// What each operation answers:
// - system: no system directory (empty, ERROR_PATH_NOT_FOUND); no path for the program's own
//   file (empty, ERROR_FILE_NOT_FOUND); a current directory without a drive letter (0); the
//   language of an English (United States) system, 0x0409, since that service cannot fail;
//   Sleep returns at once;
// - console: what is written to standard output is kept in `output`, for the test to read; no
//   standard input (nothing, ERROR_INVALID_HANDLE), no console for the key wait (it returns at
//   once);
// - files: no file exists: a read, a size, a search, an attribute change and a copy fail with
//   ERROR_FILE_NOT_FOUND, a new folder with ERROR_PATH_NOT_FOUND (its parent is missing too);
// - devices: no device information set can be built (INVALID_HANDLE_VALUE,
//   ERROR_NOT_ENOUGH_MEMORY: with no class and no enumerator that is the only way the service
//   fails), so every set passed in is an invalid handle (ERROR_INVALID_HANDLE); a driver update
//   fails on its missing INF file (ERROR_FILE_NOT_FOUND), the reboot flag left as it was;
// - processes: the startup record is filled (that service cannot fail) and empty; no program
//   can be started (ERROR_FILE_NOT_FOUND); every process or thread handle is invalid
//   (WAIT_FAILED or FALSE, ERROR_INVALID_HANDLE);
// - registry: a key cannot be created (ERROR_ACCESS_DENIED, a registry that cannot be
//   written), so every key passed in is invalid (ERROR_INVALID_HANDLE); as on Windows the
//   registry calls return their error code and leave the last-error value alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace testing_support {

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
  platform::Bool CreateDirectoryA(std::string_view) override { return Failed(kFalse, kNoPath); }
  platform::Bool SetFileAttributesA(std::string_view, platform::Dword) override {
    return Failed(kFalse, kNoFile);
  }
  platform::Bool CopyFileA(std::string_view, std::string_view, platform::Bool) override {
    return Failed(kFalse, kNoFile);
  }

  // --- Devices -------------------------------------------------------------------------------
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

}  // namespace testing_support
