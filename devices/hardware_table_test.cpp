#include "devices/hardware_table.h"

#include <gtest/gtest.h>

namespace devices {
namespace {

struct ExpectedRow {
  Row row;
  std::string_view hardware_id;
  std::string_view inf_path;
  MatchKind match;
  RowSet also_sets;
  bool keeps_matched_id;
};

// The hardware table, written out once more so that a slip in either copy shows.
constexpr ExpectedRow kExpected[] = {
    {kFirstAdapter, "PCI\\VEN_7A3C&DEV_0C39&CC_0680", "\\win2000\\orvan.inf", MatchKind::kWholeId,
     RowBit(kHelmsigDev3) | RowBit(kHelmsigDev5), false},
    {kSecondAdapter, "PCI\\VEN_7A3C&DEV_0B52", "\\win2000\\orvan.inf", MatchKind::kContained, 0,
     true},
    {kZov37D1, "*ZOV37D1", "\\win2000\\orva.inf", MatchKind::kWholeId, 0, false},
    {kZov37D5, "*ZOV37D5", "\\win2000\\orva.inf", MatchKind::kWholeId, 0, false},
    {kZov37D6, "*ZOV37D6", "\\win2000\\orva.inf", MatchKind::kWholeId, 0, false},
    {kZov37C0, "*ZOV37C0", "\\win2000\\orva.inf", MatchKind::kWholeId, 0, false},
    {kHelmsigDev0, "MF\\HELMSIG_DEV0", "\\win2000\\rudx.inf", MatchKind::kWholeId, 0, false},
    {kHelmsigDev1, "MF\\HELMSIG_DEV1", "\\win2000\\kaf.inf", MatchKind::kWholeId, 0, false},
    {kHelmsigDev2, "MF\\HELMSIG_DEV2", "\\win2000\\pivandor.inf", MatchKind::kWholeId,
     RowBit(kHelmsigDev5), false},
    {kHelmsigDev3, "MF\\HELMSIG_DEV3", "\\win2000\\rudx.inf", MatchKind::kWholeId, 0, false},
    {kHelmsigDev4, "MF\\HELMSIG_DEV4", "\\win2000\\kaf.inf", MatchKind::kWholeId,
     RowBit(kHelmsigDev5), false},
    {kHelmsigDev5, "MF\\HELMSIG_DEV5", "\\win2000\\kaf.inf", MatchKind::kWholeId, 0, false},
};
static_assert(std::size(kExpected) == kRowCount);

TEST(HardwareTableTest, RowsHoldTheTwelveIdsInTheirFixedOrder) {
  for (const ExpectedRow& expected : kExpected) {
    SCOPED_TRACE(expected.hardware_id);
    const HardwareRow& row = kHardwareTable[expected.row];
    EXPECT_EQ(row.hardware_id, expected.hardware_id);
    EXPECT_EQ(row.inf_path, expected.inf_path);
    EXPECT_EQ(row.match, expected.match);
    EXPECT_EQ(row.also_sets, expected.also_sets);
    EXPECT_EQ(row.keeps_matched_id, expected.keeps_matched_id);
    EXPECT_EQ(HardwareId(expected.row), expected.hardware_id);
    EXPECT_EQ(InfPath(expected.row), expected.inf_path);
  }
}

TEST(HardwareTableTest, BackslashesAreSingleCharacters) {
  EXPECT_EQ(HardwareId(kHelmsigDev0).size(), 15u);
  EXPECT_EQ(HardwareId(kHelmsigDev0)[2], '\\');
  EXPECT_EQ(InfPath(kFirstAdapter).front(), '\\');
}

struct MatchCase {
  Row row;
  std::string_view id;
  bool matches;
};
void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << "row " << c.row << ", " << c.id;
}

class MatchesTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchesTest, FollowsTheRowsMatchKindCaseSensitively) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(Matches(kHardwareTable[c.row], c.id), c.matches) << c.id;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchesTest,
    ::testing::Values(
        MatchCase{kFirstAdapter, "PCI\\VEN_7A3C&DEV_0C39&CC_0680", true},
        MatchCase{kFirstAdapter, "PCI\\VEN_7A3C&DEV_0C39&CC_068000", false},  // whole ID only
        MatchCase{kFirstAdapter, "PCI\\VEN_7A3C&DEV_0C39", false},
        MatchCase{kFirstAdapter, "pci\\ven_7a3c&dev_0c39&cc_0680", false},
        MatchCase{kSecondAdapter, "PCI\\VEN_7A3C&DEV_0B52", true},
        MatchCase{kSecondAdapter, "PCI\\VEN_7A3C&DEV_0B52&SUBSYS_02591014&REV_01", true},
        MatchCase{kSecondAdapter, "XPCI\\VEN_7A3C&DEV_0B52X", true},  // anywhere inside
        MatchCase{kSecondAdapter, "PCI\\VEN_7A3C&DEV_0b52", false},
        MatchCase{kSecondAdapter, "PCI\\VEN_7A3C&DEV_0B5", false},
        MatchCase{kZov37D1, "*ZOV37D1", true}, MatchCase{kZov37D1, "ACPI\\*ZOV37D1", false},
        MatchCase{kHelmsigDev0, "MF\\HELMSIG_DEV0", true},
        MatchCase{kHelmsigDev0, "mf\\helmsig_dev0", false},
        MatchCase{kHelmsigDev0, "MF\\HELMSIG_DEV01", false}, MatchCase{kHelmsigDev0, "", false}));

}  // namespace
}  // namespace devices
