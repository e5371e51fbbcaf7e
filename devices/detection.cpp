#include "devices/detection.h"

#include <algorithm>

#include "devices/device_enumeration.h"

namespace devices {

bool Detection::AnyFound() const {
  return std::any_of(flags.begin(), flags.end(), [](bool flag) { return flag; });
}

bool TakeRow(std::string_view id, Detection* detection) {
  for (int index = 0; index < kRowCount; ++index) {
    const HardwareRow& row = kHardwareTable[index];
    if (!Matches(row, id) || detection->flags[index]) continue;
    if (row.keeps_matched_id && id.size() > kMaxMatchedAdapterIdLength) continue;
    detection->flags[index] = true;
    for (int further = 0; further < kRowCount; ++further) {
      if (row.also_sets & RowBit(static_cast<Row>(further))) detection->flags[further] = true;
    }
    if (row.keeps_matched_id) detection->matched_adapter_id.assign(id);
    detection->found_ids.emplace_back(id);
    return true;
  }
  return false;
}

int DetectHardware(platform::Platform& platform, Detection* detection) {
  DeviceEnumeration devices(platform);
  if (!devices.valid()) return 0;

  DeviceEnumeration::Step step;
  while ((step = devices.Next()) == DeviceEnumeration::Step::kDevice) {
    HardwareIdList ids = devices.ids();
    std::string_view id;
    while (ids.Next(&id)) {
      if (TakeRow(id, detection)) break;  // the device is done
    }
  }
  if (step == DeviceEnumeration::Step::kReadError) return 0;

  const platform::Dword last_error = platform.GetLastError();
  if (last_error != platform::kErrorSuccess && last_error != platform::kErrorNoMoreItems) return 0;
  return detection->AnyFound() ? 1 : 0;
  // `devices` releases the list buffer, then the set, keeping the last-error value.
}

}  // namespace devices
