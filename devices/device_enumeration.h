// The walk over all present devices and their hardware-ID lists that detection and
// device removal share: one device information set, one list buffer, the same rules.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "platform/platform.h"

namespace devices {

/// A reported list size above this is not allocated: the read ends as a failed allocation does.
/// Real hardware-ID lists are a few hundred bytes.
inline constexpr platform::Dword kMaxHardwareIdListBytes = 1u << 20;

/// Owns a device information set of all present devices of all classes (SetupDiGetClassDevsA,
/// DIGCF_PRESENT | DIGCF_ALLCLASSES) and releases it when it goes: it reads the thread's
/// last-error value, destroys the set and sets the value back, so the release never changes it.
class DeviceInfoSet {
 public:
  explicit DeviceInfoSet(platform::Platform& platform);
  ~DeviceInfoSet();
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;

  /// False when the platform gave no set (INVALID_HANDLE_VALUE).
  bool valid() const { return handle_ != platform::kInvalidHandleValue; }
  platform::Handle handle() const { return handle_; }

 private:
  platform::Platform& platform_;
  platform::Handle handle_;
};

/// The ID strings of one hardware-ID list (REG_MULTI_SZ), in order. The scan never looks past
/// `list`, the reported size: it stops at the terminating empty string or at the end of `list`.
/// A string whose NUL does not lie inside `list` (cut off by the reported size, or never
/// terminated) is not a whole ID and is not handed out.
class HardwareIdList {
 public:
  explicit HardwareIdList(std::string_view list) : list_(list) {}
  /// The next ID string into `*id`; false when the list has no more.
  bool Next(std::string_view* id);

 private:
  std::string_view list_;
  std::size_t position_ = 0;
};

/// Walks the present devices with index 0, 1, 2, ... and reads each device's hardware-ID list
/// into one buffer that serves the whole walk. Devices without a list
/// (ERROR_INVALID_DATA) and devices with an empty list are skipped.
///
/// Members are released in the order the walk needs: the list buffer first, then the set
/// (which keeps the last-error value as it was).
class DeviceEnumeration {
 public:
  explicit DeviceEnumeration(platform::Platform& platform);

  /// False when the platform gave no device information set; then Next must not be called.
  bool valid() const { return set_.valid(); }

  enum class Step {
    kDevice,     // the next device with a non-empty list: see device() and ids()
    kEnd,        // the platform reported no further element (the last-error value says why)
    kReadError,  // a read failed with an error other than 13 or 122, or the buffer could not be
                 // allocated (the last-error value is then ERROR_NOT_ENOUGH_MEMORY): stop
  };
  Step Next();

  /// The current device's element, for SetupDiCallClassInstaller.
  const platform::DeviceInfoData& device() const { return device_; }
  platform::Handle set() const { return set_.handle(); }
  /// The current device's ID strings, within the reported size and the allocated buffer.
  HardwareIdList ids() const;

 private:
  enum class Read { kList, kNoList, kError };
  Read ReadList();
  bool Reallocate(platform::Dword size);

  platform::Platform& platform_;
  DeviceInfoSet set_;  // declared before the buffer so that it is released after it
  std::unique_ptr<unsigned char[]> buffer_;
  platform::Dword allocated_size_ = 0;
  /// The size the platform last reported: passed with every read, bounds every scan.
  platform::Dword reported_size_ = 0;
  platform::Dword index_ = 0;
  platform::DeviceInfoData device_;
};

}  // namespace devices
