#include "devices/device_operations.h"

#include "devices/device_enumeration.h"
#include "messages/builtin_catalogue.h"

namespace devices {

int UpdateDriver(platform::Platform& platform, messages::Console& console, messages::SetupLog& log,
                 std::string_view hardware_id, std::string_view inf_path, platform::Bool* reboot) {
  const platform::Handle search = platform.FindFirstFileA(inf_path);
  const bool inf_exists = search != platform::kInvalidHandleValue;
  if (inf_exists) platform.FindClose(search);

  console.Print(messages::kInstallingDrivers, {inf_path});

  platform::Bool fresh = 0;
  const platform::Bool updated = platform.UpdateDriverForPlugAndPlayDevicesA(
      hardware_id, inf_path, platform::INSTALLFLAG_FORCE, &fresh);
  const platform::Dword error = updated ? platform::kErrorSuccess : platform.GetLastError();
  if (fresh && reboot != nullptr) *reboot = 1;

  if (!inf_exists) {
    log.Write(messages::kLogInfMissing, {inf_path, hardware_id});
  } else if (!updated) {
    log.Write(messages::kLogDriverFailed, {inf_path, hardware_id, messages::LogError(error)});
  } else {
    log.Write(messages::kLogDriverInstalled,
              {inf_path, hardware_id,
               fresh ? messages::kLogRestartNeeded : messages::kLogNoRestartNeeded});
  }
  return inf_exists && updated ? 1 : 0;
}

Removal RemoveDevice(platform::Platform& platform, std::string_view hardware_id) {
  using Outcome = Removal::Outcome;
  DeviceEnumeration devices(platform);
  if (!devices.valid()) return {Outcome::kFailed, platform.GetLastError()};

  DeviceEnumeration::Step step;
  while ((step = devices.Next()) == DeviceEnumeration::Step::kDevice) {
    HardwareIdList ids = devices.ids();
    std::string_view id;
    while (ids.Next(&id)) {
      if (id == hardware_id) {
        // Whatever the platform answers: at most one device per call.
        if (platform.SetupDiCallClassInstaller(platform::DIF_REMOVE, devices.set(),
                                               devices.device()) == 0) {
          return {Outcome::kFailed, platform.GetLastError()};
        }
        return {Outcome::kRemoved, platform::kErrorSuccess};
      }
    }
  }
  // A walk that could not read a device's list cannot say the device is not there.
  if (step == DeviceEnumeration::Step::kReadError) {
    return {Outcome::kFailed, platform.GetLastError()};
  }
  return {Outcome::kNotPresent, platform::kErrorSuccess};
}

}  // namespace devices
