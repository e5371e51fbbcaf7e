// Hardware detection: which rows of the hardware table are present.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "devices/hardware_table.h"
#include "platform/platform.h"

namespace devices {

/// The matched adapter ID lives in a 256-byte buffer: at most this many characters. A
/// second-adapter ID that is longer is refused for row 1 (the device may still take another row
/// with a later ID).
inline constexpr std::size_t kMaxMatchedAdapterIdLength = 255;

/// What detection leaves behind. The caller clears it once at the start of the run; detection
/// only ever sets flags and writes the matched adapter ID at most once.
struct Detection {
  std::array<bool, kRowCount> flags{};
  /// The whole ID string in which the row-1 hardware ID was found; empty until row 1 is taken.
  std::string matched_adapter_id;
  /// The hardware IDs that took a row, in the order the devices were found (at most one per
  /// row, so never more than kRowCount).
  std::vector<std::string> found_ids;

  bool Found(Row row) const { return flags[row]; }
  bool AnyFound() const;
};

/// Walks every present device of every class and matches its hardware IDs against the hardware
/// table, setting flags in `*detection`. Returns 1 when the enumeration ended normally (last
/// error 0 or ERROR_NO_MORE_ITEMS) and at least one flag is set, 0 otherwise. On return the
/// thread's last-error value is the one the enumeration ended with.
int DetectHardware(platform::Platform& platform, Detection* detection);

/// Matches one ID string of a device against the table: the first matching
/// row whose flag is still clear is taken, with its further flags. Returns whether a row was
/// taken, which ends the device.
bool TakeRow(std::string_view id, Detection* detection);

}  // namespace devices
