// Tests only. A platform whose device services follow a script byte for byte, for the protocol
// cases that the simulated machine cannot produce (short reported sizes, lists without a NUL,
// odd read errors) and for counting what was passed. Every service that the device code does
// not use fails (FailingPlatform).
#pragma once

#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failing_platform.h"
#include "platform/platform.h"

namespace testing_support {

using platform::Bool;
using platform::Dword;
using platform::Handle;

/// REG_MULTI_SZ bytes of `ids`: each ID with its NUL, then one more NUL.
inline std::string MultiSz(const std::vector<std::string>& ids) {
  std::string list;
  for (const std::string& id : ids) list += id + '\0';
  return list + '\0';
}

struct FakeDevice {
  /// The bytes the platform writes as the hardware-ID list; nothing: no list (13).
  std::optional<std::string> list;
  /// Every read of this device fails with this error.
  std::optional<Dword> read_error;
  /// The size reported on success, instead of the list's length.
  std::optional<Dword> success_size;
  /// The size reported with ERROR_INSUFFICIENT_BUFFER, instead of the list's length.
  std::optional<Dword> needed_size;
  /// Answers ERROR_INSUFFICIENT_BUFFER to every read, whatever the size passed.
  bool always_short = false;
};

inline FakeDevice WithBytes(std::string bytes) {
  FakeDevice device;
  device.list = std::move(bytes);
  return device;
}
inline FakeDevice WithIds(const std::vector<std::string>& ids) {
  return WithBytes(MultiSz(ids));
}
inline FakeDevice WithoutList() {
  return FakeDevice{};
}

struct ReadCall {
  Dword index;
  const unsigned char* buffer;
  Dword size;
  bool zero_filled;  // every byte of the buffer, up to the size passed, was 0
};

struct UpdateCall {
  std::string hardware_id;
  std::string inf_path;
  Dword flags;
  Bool reboot_passed;  // the flag's value as the service found it
};

class FakeDevicePlatform final : public platform::FailingPlatform {
 public:
  static constexpr Handle kSet = 0x5E7;
  static constexpr Handle kSearch = 0x5EA;

  // --- The script -----------------------------------------------------------------------------
  std::vector<FakeDevice> devices;
  bool no_set = false;  // SetupDiGetClassDevsA fails
  /// The last-error value SetupDiEnumDeviceInfo leaves past the last device.
  Dword end_error = platform::kErrorNoMoreItems;
  /// SetupDiEnumDeviceInfo fails at this index with `end_error` even if devices remain.
  std::optional<Dword> enum_fails_at;
  std::set<std::string, std::less<>> existing_files;
  Bool update_result = 1;
  Bool remove_result = 1;
  /// What the update service writes to the reboot flag it is given; nothing: leaves it alone.
  std::optional<Bool> update_writes_reboot;

  // --- What happened --------------------------------------------------------------------------
  std::vector<std::string> log;
  std::vector<ReadCall> reads;
  std::vector<Dword> class_devs_flags;
  int sets_open = 0;
  int searches_open = 0;
  std::vector<Dword> removed;  // indices of the devices the class installer was asked to remove
  std::vector<UpdateCall> updates;
  // The last-error value and standard output are kept by FailingPlatform (last_error, output).

  /// The sizes passed to the reads, in order.
  std::vector<Dword> ReadSizes() const {
    std::vector<Dword> sizes;
    for (const ReadCall& read : reads) sizes.push_back(read.size);
    return sizes;
  }

  // --- Device services ------------------------------------------------------------------------
  Handle SetupDiGetClassDevsA(Dword flags) override {
    class_devs_flags.push_back(flags);
    log.push_back("SetupDiGetClassDevsA");
    if (no_set) {
      return Failed(platform::kInvalidHandleValue, platform::kErrorInvalidParameter);
    }
    ++sets_open;
    return kSet;
  }
  Bool SetupDiEnumDeviceInfo(Handle set, Dword index, platform::DeviceInfoData* data) override {
    log.push_back("SetupDiEnumDeviceInfo " + std::to_string(index));
    if (set != kSet || data == nullptr || data->cb_size != sizeof(platform::DeviceInfoData)) {
      return Failed(kFalse, platform::kErrorInvalidParameter);
    }
    if (index >= devices.size() || (enum_fails_at && index >= *enum_fails_at)) {
      return Failed(kFalse, end_error);
    }
    data->dev_inst = index;
    last_error = 0;
    return 1;
  }
  Bool SetupDiGetDeviceRegistryPropertyA(Handle set, const platform::DeviceInfoData& data,
                                         Dword property, Dword* property_type,
                                         unsigned char* buffer, Dword buffer_size,
                                         Dword* required_size) override {
    log.push_back("SetupDiGetDeviceRegistryPropertyA " + std::to_string(data.dev_inst) + " " +
                  std::to_string(buffer_size));
    bool zero = buffer != nullptr || buffer_size == 0;
    for (Dword i = 0; buffer != nullptr && i < buffer_size; ++i) zero = zero && buffer[i] == 0;
    reads.push_back({data.dev_inst, buffer, buffer_size, zero});
    if (set != kSet || property != platform::SPDRP_HARDWAREID || data.dev_inst >= devices.size()) {
      return Failed(kFalse, platform::kErrorInvalidParameter);
    }
    const FakeDevice& device = devices[data.dev_inst];
    if (device.read_error) {
      return Failed(kFalse, *device.read_error);
    }
    if (!device.list) {
      return Failed(kFalse, platform::kErrorInvalidData);
    }
    const std::string& list = *device.list;
    if (device.always_short || buffer_size < list.size()) {
      if (required_size) *required_size = device.needed_size.value_or(Dword(list.size()));
      return Failed(kFalse, platform::kErrorInsufficientBuffer);
    }
    std::memcpy(buffer, list.data(), list.size());
    if (property_type) *property_type = 7;  // REG_MULTI_SZ
    if (required_size) *required_size = device.success_size.value_or(Dword(list.size()));
    last_error = 0;
    return 1;
  }
  Bool SetupDiCallClassInstaller(Dword install_function, Handle set,
                                 const platform::DeviceInfoData& data) override {
    log.push_back("SetupDiCallClassInstaller " + std::to_string(data.dev_inst));
    if (set != kSet || install_function != platform::DIF_REMOVE) return 0;
    removed.push_back(data.dev_inst);
    return remove_result;
  }
  Bool SetupDiDestroyDeviceInfoList(Handle set) override {
    log.push_back("SetupDiDestroyDeviceInfoList");
    if (set != kSet || sets_open == 0) return 0;
    --sets_open;
    last_error = 0;  // a service may clobber it; the caller must put it back
    return 1;
  }
  Bool UpdateDriverForPlugAndPlayDevicesA(std::string_view hardware_id, std::string_view inf_path,
                                          Dword flags, Bool* reboot) override {
    log.push_back("UpdateDriverForPlugAndPlayDevicesA");
    updates.push_back({std::string(hardware_id), std::string(inf_path), flags, *reboot});
    if (update_writes_reboot) *reboot = *update_writes_reboot;
    return update_result;
  }

  // --- Files ----------------------------------------------------------------------------------
  Handle FindFirstFileA(std::string_view path) override {
    log.push_back("FindFirstFileA " + std::string(path));
    if (existing_files.find(path) == existing_files.end()) {
      return FailingPlatform::FindFirstFileA(path);
    }
    ++searches_open;
    return kSearch;
  }
  Bool FindClose(Handle search) override {
    log.push_back("FindClose");
    if (search != kSearch || searches_open == 0) return 0;
    --searches_open;
    return 1;
  }

  // --- System ---------------------------------------------------------------------------------
  Dword GetLastError() override {
    log.push_back("GetLastError");
    return last_error;
  }
  void SetLastError(Dword error) override {
    log.push_back("SetLastError " + std::to_string(error));
    last_error = error;
  }
  void WriteStandardOutput(std::string_view bytes) override {
    log.push_back("WriteStandardOutput");
    FailingPlatform::WriteStandardOutput(bytes);  // kept in `output`
  }
};

}  // namespace testing_support
