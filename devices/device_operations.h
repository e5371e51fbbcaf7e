// The two device operations: driver update and device removal. Neither knows the
// hardware table: the caller hands in the hardware ID and the INF path.
#pragma once

#include <string_view>

#include "messages/console.h"
#include "messages/setup_log.h"
#include "platform/platform.h"

namespace devices {

/// Installs the drivers of `inf_path` (the full path) for the devices that carry `hardware_id`:
/// checks that the INF exists, prints catalogue entry 79 with the INF path (whether it exists or
/// not), and calls the update service with INSTALLFLAG_FORCE. Returns 1 when the INF exists and
/// the service returned TRUE, 0 otherwise; prints nothing on failure.
///
/// `*reboot` is the run's reboot flag: the service gets a fresh FALSE flag of its own, and a
/// TRUE that it reports is carried over into `*reboot`. Nothing here ever clears `*reboot`, so
/// no later update can undo an earlier update's need for a restart. What came of it goes to
/// `log`.
int UpdateDriver(platform::Platform& platform, messages::Console& console, messages::SetupLog& log,
                 std::string_view hardware_id, std::string_view inf_path, platform::Bool* reboot);

/// What came of a device removal.
struct Removal {
  enum class Outcome { kRemoved, kNotPresent, kFailed } outcome = Outcome::kNotPresent;
  platform::Dword error = 0;  // the system's error code when the removal (or the walk) failed
};

/// Removes the first present device (in enumeration order) that carries `hardware_id` as one of
/// its hardware IDs, whole and case-sensitive: at most one device per call. Nothing is printed;
/// the caller learns what came of it.
Removal RemoveDevice(platform::Platform& platform, std::string_view hardware_id);

}  // namespace devices
