#include "devices/device_operations.h"

#include "devices/device_enumeration.h"
#include "messages/builtin_catalogue.h"

namespace devices {

int UpdateDriver(platform::Platform& platform, messages::Console& console,
                 std::string_view hardware_id, std::string_view inf_path, platform::Bool* reboot) {
  const platform::Handle search = platform.FindFirstFileA(inf_path);
  const bool inf_exists = search != platform::kInvalidHandleValue;
  if (inf_exists) platform.FindClose(search);

  console.Print(messages::kInstallingDrivers, {inf_path});

  platform::Bool fresh = 0;
  const platform::Bool updated = platform.UpdateDriverForPlugAndPlayDevicesA(
      hardware_id, inf_path, platform::INSTALLFLAG_FORCE, &fresh);
  if (fresh && reboot != nullptr) *reboot = 1;

  return inf_exists && updated ? 1 : 0;
}

void RemoveDevice(platform::Platform& platform, std::string_view hardware_id) {
  DeviceEnumeration devices(platform);
  if (!devices.valid()) return;

  while (devices.Next() == DeviceEnumeration::Step::kDevice) {
    HardwareIdList ids = devices.ids();
    std::string_view id;
    while (ids.Next(&id)) {
      if (id == hardware_id) {
        platform.SetupDiCallClassInstaller(platform::DIF_REMOVE, devices.set(), devices.device());
        return;  // whatever the platform answered: at most one device per call
      }
    }
  }
}

}  // namespace devices
