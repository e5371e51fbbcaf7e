#include "devices/device_enumeration.h"

#include <algorithm>
#include <new>

namespace devices {

using platform::Dword;

DeviceInfoSet::DeviceInfoSet(platform::Platform& platform)
    : platform_(platform),
      handle_(platform.SetupDiGetClassDevsA(platform::DIGCF_PRESENT | platform::DIGCF_ALLCLASSES)) {
}

DeviceInfoSet::~DeviceInfoSet() {
  if (!valid()) return;
  const Dword last_error = platform_.GetLastError();
  platform_.SetupDiDestroyDeviceInfoList(handle_);
  platform_.SetLastError(last_error);
}

bool HardwareIdList::Next(std::string_view* id) {
  if (position_ >= list_.size() || list_[position_] == '\0') return false;
  const std::size_t end = list_.find('\0', position_);
  if (end == std::string_view::npos) {
    // Cut off by the reported size, or never terminated: not a whole ID, and the last string.
    position_ = list_.size();
    return false;
  }
  *id = list_.substr(position_, end - position_);
  position_ = end + 1;
  return true;
}

DeviceEnumeration::DeviceEnumeration(platform::Platform& platform)
    : platform_(platform), set_(platform) {}

DeviceEnumeration::Step DeviceEnumeration::Next() {
  for (;;) {
    device_ = platform::DeviceInfoData{};
    if (!platform_.SetupDiEnumDeviceInfo(set_.handle(), index_, &device_)) return Step::kEnd;
    ++index_;
    switch (ReadList()) {
      case Read::kError:
        return Step::kReadError;
      case Read::kNoList:
        continue;
      case Read::kList:
        if (reported_size_ == 0 || buffer_[0] == '\0') continue;  // an empty list
        return Step::kDevice;
    }
  }
}

DeviceEnumeration::Read DeviceEnumeration::ReadList() {
  for (;;) {
    const Dword passed = reported_size_;
    Dword type = 0;
    Dword required = reported_size_;
    if (platform_.SetupDiGetDeviceRegistryPropertyA(set_.handle(), device_,
                                                    platform::SPDRP_HARDWAREID, &type,
                                                    buffer_.get(), passed, &required)) {
      // The platform cannot have written more than it was given; a larger size is not believed.
      reported_size_ = std::min(required, passed);
      return Read::kList;
    }
    const Dword error = platform_.GetLastError();
    if (error == platform::kErrorInvalidData) return Read::kNoList;
    if (error != platform::kErrorInsufficientBuffer) return Read::kError;
    // A shortage that asks for no more than was passed is no shortage: reading again with the
    // same size could go on for ever.
    if (required <= passed) return Read::kError;
    if (!Reallocate(required)) return Read::kError;
  }
}

bool DeviceEnumeration::Reallocate(Dword size) {
  buffer_.reset();
  allocated_size_ = 0;
  reported_size_ = 0;
  if (size <= kMaxHardwareIdListBytes) buffer_.reset(new (std::nothrow) unsigned char[size]());
  if (!buffer_) {
    platform_.SetLastError(platform::kErrorNotEnoughMemory);
    return false;
  }
  allocated_size_ = size;
  reported_size_ = size;
  return true;
}

HardwareIdList DeviceEnumeration::ids() const {
  if (!buffer_) return HardwareIdList(std::string_view());
  return HardwareIdList(std::string_view(reinterpret_cast<const char*>(buffer_.get()),
                                         std::min(reported_size_, allocated_size_)));
}

}  // namespace devices
