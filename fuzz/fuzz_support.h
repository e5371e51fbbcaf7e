// What the fuzz targets share: reading a fuzz input piece by piece, failing loudly when a
// property does not hold, and a platform whose every service fails unless a target says
// otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace fuzz {

/// Reports a property that does not hold, then aborts, which libFuzzer records as a finding
/// (the input is saved as crash-...).
[[noreturn]] inline void Fail(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "\n*** fuzz property failed: %.*s\n", static_cast<int>(what.size()),
               what.data());
  if (!detail.empty()) {
    std::fprintf(stderr, "*** %.*s\n", static_cast<int>(detail.size()), detail.data());
  }
  std::abort();
}

inline void Check(bool holds, std::string_view what) {
  if (!holds) Fail(what);
}

/// Like Check, with `detail()` saying more; it is called only when the property fails, so that
/// a passing check costs no formatting.
template <typename Detail>
void Check(bool holds, std::string_view what, Detail&& detail) {
  if (!holds) Fail(what, detail());
}

/// Bytes shown with C escapes, for failure messages.
inline std::string Escaped(std::string_view bytes, std::size_t limit = 200) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte == '\\' || byte == '"') {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (byte >= 0x20 && byte < 0x7F) {
      out += static_cast<char>(byte);
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
  if (bytes.size() > limit) out += "...";
  return out + "\"";
}

/// Takes a fuzz input apart from the front. Every piece is defined for every input: when the
/// input runs out, numbers read as 0 and texts as empty.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size)
      : bytes_(reinterpret_cast<const char*>(data), size) {}

  bool empty() const { return bytes_.empty(); }
  std::size_t remaining() const { return bytes_.size(); }

  std::uint8_t Byte() {
    if (bytes_.empty()) return 0;
    const auto byte = static_cast<std::uint8_t>(bytes_.front());
    bytes_.remove_prefix(1);
    return byte;
  }
  std::uint16_t Uint16() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }
  std::uint32_t Uint32() {
    const std::uint32_t low = Uint16();
    return low | (static_cast<std::uint32_t>(Uint16()) << 16);
  }
  /// A text of up to `max_length` bytes, its length given by the next byte (or two).
  std::string_view Text(std::size_t max_length = 255) {
    const std::size_t wanted = max_length <= 255 ? Byte() : Uint16();
    return Take(wanted > max_length ? max_length : wanted);
  }
  /// The next `count` bytes, or all that are left.
  std::string_view Take(std::size_t count) {
    const std::string_view piece = bytes_.substr(0, count);
    bytes_.remove_prefix(piece.size());
    return piece;
  }
  /// Everything that is left.
  std::string_view Rest() { return Take(bytes_.size()); }

 private:
  std::string_view bytes_;
};

/// A platform on which every service fails and nothing is written anywhere; a target overrides
/// the services the code under test uses.
class NullPlatform : public platform::Platform {
 public:
  std::string GetSystemDirectoryA() override { return {}; }
  int GetCurrentDriveNumber() override { return 0; }
  platform::Word GetSystemDefaultLangID() override { return 0x0409; }
  platform::Dword GetLastError() override { return last_error; }
  void SetLastError(platform::Dword error) override { last_error = error; }
  void Sleep(platform::Dword) override {}

  void WriteStandardOutput(std::string_view bytes) override { output.append(bytes); }
  std::optional<unsigned char> ReadStandardInputByte() override { return std::nullopt; }
  void WaitForKeyPress() override {}

  std::optional<std::size_t> ReadBinaryFile(std::string_view, std::span<char>) override {
    return std::nullopt;
  }
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
  long RegCloseKey(platform::Handle) override {
    return static_cast<long>(platform::kErrorInvalidHandle);
  }

  /// Everything written to standard output.
  std::string output;
  platform::Dword last_error = 0;
};

}  // namespace fuzz
