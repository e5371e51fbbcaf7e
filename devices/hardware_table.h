// The hardware table: the twelve supported hardware IDs, their INF files, how each is
// matched and what else a match sets. The one place where these are spelled.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace devices {

inline constexpr int kRowCount = 12;

/// The rows of the hardware table, in table order.
enum Row : int {
  kFirstAdapter = 0,   // PCI adapter, class code 0680
  kSecondAdapter = 1,  // PCI adapter, matched by vendor and device only
  kZov37D1 = 2,
  kZov37D5 = 3,
  kZov37D6 = 4,
  kZov37C0 = 5,
  kHelmsigDev0 = 6,
  kHelmsigDev1 = 7,
  kHelmsigDev2 = 8,  // older generation: leads to the upgrade path
  kHelmsigDev3 = 9,
  kHelmsigDev4 = 10,  // older generation: leads to the upgrade path
  kHelmsigDev5 = 11,
};

enum class MatchKind {
  kWholeId,    // the device's ID string equals the row's hardware ID, byte for byte
  kContained,  // the row's hardware ID occurs anywhere inside the device's ID string
};

/// A set of rows, one bit per row.
using RowSet = std::uint16_t;
constexpr RowSet RowBit(Row row) {
  return static_cast<RowSet>(1u << row);
}

struct HardwareRow {
  std::string_view hardware_id;
  /// Relative to the package root, beginning with a backslash; the caller joins the two.
  std::string_view inf_path;
  MatchKind match;
  /// The further rows whose detection flags a match of this row sets.
  RowSet also_sets;
  /// Whether a match copies the device's whole ID string to the matched adapter ID.
  bool keeps_matched_id;
};

// clang-format off
inline constexpr std::array<HardwareRow, kRowCount> kHardwareTable = {{
    {"PCI\\VEN_7A3C&DEV_0C39&CC_0680", "\\win2000\\orvan.inf",    MatchKind::kWholeId,
     RowBit(kHelmsigDev3) | RowBit(kHelmsigDev5), false},
    {"PCI\\VEN_7A3C&DEV_0B52",         "\\win2000\\orvan.inf",    MatchKind::kContained, 0, true},
    {"*ZOV37D1",                       "\\win2000\\orva.inf",     MatchKind::kWholeId,   0, false},
    {"*ZOV37D5",                       "\\win2000\\orva.inf",     MatchKind::kWholeId,   0, false},
    {"*ZOV37D6",                       "\\win2000\\orva.inf",     MatchKind::kWholeId,   0, false},
    {"*ZOV37C0",                       "\\win2000\\orva.inf",     MatchKind::kWholeId,   0, false},
    {"MF\\HELMSIG_DEV0",               "\\win2000\\rudx.inf",     MatchKind::kWholeId,   0, false},
    {"MF\\HELMSIG_DEV1",               "\\win2000\\kaf.inf",      MatchKind::kWholeId,   0, false},
    {"MF\\HELMSIG_DEV2",               "\\win2000\\pivandor.inf", MatchKind::kWholeId,
     RowBit(kHelmsigDev5), false},
    {"MF\\HELMSIG_DEV3",               "\\win2000\\rudx.inf",     MatchKind::kWholeId,   0, false},
    {"MF\\HELMSIG_DEV4",               "\\win2000\\kaf.inf",      MatchKind::kWholeId,
     RowBit(kHelmsigDev5), false},
    {"MF\\HELMSIG_DEV5",               "\\win2000\\kaf.inf",      MatchKind::kWholeId,   0, false},
}};
// clang-format on

/// The row's hardware ID.
constexpr std::string_view HardwareId(Row row) {
  return kHardwareTable[row].hardware_id;
}
/// The row's INF path, relative to the package root.
constexpr std::string_view InfPath(Row row) {
  return kHardwareTable[row].inf_path;
}

/// Whether the device ID string `id` matches `row` by the row's match kind (case-sensitive).
constexpr bool Matches(const HardwareRow& row, std::string_view id) {
  return row.match == MatchKind::kWholeId ? id == row.hardware_id
                                          : id.find(row.hardware_id) != std::string_view::npos;
}

}  // namespace devices
