// Test double for the version stamp tests: a platform whose files are byte strings in memory
// and which records every file read, so that a test can tell which files were opened.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace deploy::testing_support {

class FakeFilePlatform final : public platform::Platform {
 public:
  /// Files by path; a path that is not here cannot be opened.
  std::map<std::string, std::string, std::less<>> files;
  /// Every path that ReadBinaryFile was asked for, in order.
  std::vector<std::string> reads;
  /// Everything written to standard output.
  std::string output;

  std::optional<std::size_t> ReadBinaryFile(std::string_view path,
                                            std::span<char> buffer) override {
    reads.emplace_back(path);
    const auto file = files.find(path);
    if (file == files.end()) return std::nullopt;
    const std::size_t size = std::min(file->second.size(), buffer.size());
    std::memcpy(buffer.data(), file->second.data(), size);
    return size;
  }
  void WriteStandardOutput(std::string_view bytes) override { output.append(bytes); }
  std::optional<unsigned char> ReadStandardInputByte() override { return std::nullopt; }

  // Nothing else is used by the comparison.
  std::string GetSystemDirectoryA() override { return {}; }
  int GetCurrentDriveNumber() override { return 0; }
  platform::Word GetSystemDefaultLangID() override { return 0x0409; }
  platform::Dword GetLastError() override { return 0; }
  void SetLastError(platform::Dword) override {}
  void Sleep(platform::Dword) override {}
  void WaitForKeyPress() override {}
  std::optional<std::uint64_t> GetFileSize(std::string_view) override { return std::nullopt; }
  platform::Handle FindFirstFileA(std::string_view) override {
    return platform::kInvalidHandleValue;
  }
  platform::Bool FindClose(platform::Handle) override { return 0; }
  platform::Bool CreateDirectoryA(std::string_view) override { return 0; }
  platform::Bool SetFileAttributesA(std::string_view, platform::Dword) override { return 0; }
  platform::Bool CopyFileA(std::string_view, std::string_view, platform::Bool) override {
    return 0;
  }
  platform::Handle SetupDiGetClassDevsA(platform::Dword) override {
    return platform::kInvalidHandleValue;
  }
  platform::Bool SetupDiEnumDeviceInfo(platform::Handle, platform::Dword,
                                       platform::DeviceInfoData*) override {
    return 0;
  }
  platform::Bool SetupDiGetDeviceRegistryPropertyA(platform::Handle,
                                                   const platform::DeviceInfoData&, platform::Dword,
                                                   platform::Dword*, unsigned char*,
                                                   platform::Dword, platform::Dword*) override {
    return 0;
  }
  platform::Bool SetupDiCallClassInstaller(platform::Dword, platform::Handle,
                                           const platform::DeviceInfoData&) override {
    return 0;
  }
  platform::Bool SetupDiDestroyDeviceInfoList(platform::Handle) override { return 0; }
  platform::Bool UpdateDriverForPlugAndPlayDevicesA(std::string_view, std::string_view,
                                                    platform::Dword, platform::Bool*) override {
    return 0;
  }
  void GetStartupInfoA(platform::StartupInfo*) override {}
  platform::Bool CreateProcessA(std::string_view, platform::Dword, const platform::StartupInfo&,
                                platform::ProcessInformation*) override {
    return 0;
  }
  platform::Dword WaitForSingleObject(platform::Handle, platform::Dword) override {
    return platform::WAIT_FAILED;
  }
  platform::Bool GetExitCodeProcess(platform::Handle, platform::Dword*) override { return 0; }
  platform::Bool CloseHandle(platform::Handle) override { return 0; }
  long RegCreateKeyExA(platform::Handle, std::string_view, platform::Dword, platform::Dword,
                       platform::Handle*) override {
    return static_cast<long>(platform::kErrorAccessDenied);
  }
  long RegSetValueExA(platform::Handle, std::string_view, platform::Dword, const unsigned char*,
                      platform::Dword) override {
    return static_cast<long>(platform::kErrorAccessDenied);
  }
  long RegCloseKey(platform::Handle) override { return 0; }
};

}  // namespace deploy::testing_support
