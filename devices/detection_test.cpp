#include "devices/detection.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devices/device_enumeration.h"
#include "tests/support/fake_device_platform.h"
#include "tests/support/sim_machine_test.h"

namespace devices {
namespace {

using namespace std::string_literals;
using platform::Dword;
using testing_support::FakeDevicePlatform;
using testing_support::IdList;
using testing_support::SimDevice;
using testing_support::WithBytes;
using testing_support::WithIds;

std::vector<int> FoundRows(const Detection& detection) {
  std::vector<int> rows;
  for (int row = 0; row < kRowCount; ++row) {
    if (detection.Found(static_cast<Row>(row))) rows.push_back(row);
  }
  return rows;
}

const std::string kFirst = "PCI\\VEN_7A3C&DEV_0C39&CC_0680";
const std::string kSecond = "PCI\\VEN_7A3C&DEV_0B52";
const std::string kSecondFull = "PCI\\VEN_7A3C&DEV_0B52&SUBSYS_02591014&REV_01";
const std::string kOtherSecond = "PCI\\VEN_7A3C&DEV_0B52&SUBSYS_03001014&REV_02";
const std::string kDev0 = "MF\\HELMSIG_DEV0";
const std::string kDev1 = "MF\\HELMSIG_DEV1";
const std::string kDev2 = "MF\\HELMSIG_DEV2";
const std::string kDev3 = "MF\\HELMSIG_DEV3";
const std::string kDev4 = "MF\\HELMSIG_DEV4";
const std::string kDev5 = "MF\\HELMSIG_DEV5";

/// A second-adapter ID of exactly `length` characters.
std::string SecondAdapterIdOfLength(std::size_t length) {
  std::string id = kSecond + "&SUBSYS_";
  id.resize(length, '7');
  return id;
}

// --- On the simulated machine -----------------------------------------------------------------

/// Detection on a simulated machine: fill `machine` first, then call Detect().
class DetectionOnSimTest : public testing_support::SimMachineTest {
 protected:
  /// Runs detection into `detection`; it never leaves a handle open.
  int Detect() {
    const int result = DetectHardware(Start(), &detection);
    EXPECT_EQ(Start().OpenHandleCount(), 0u);
    return result;
  }

  Detection detection;
};

struct DetectCase {
  const char* name;
  std::vector<IdList> devices;  // in enumeration order; nothing: a device without a list
  std::vector<int> rows;
  int result;
  std::string matched_adapter_id = "";
};
void PrintTo(const DetectCase& c, std::ostream* os) {
  *os << c.name;
}

const DetectCase kDetectCases[] = {
    {"NoPresentDevices", {}, {}, 0},
    {"UnsupportedIdsOnly", {{{"PCI\\VEN_8086&DEV_7110", "ACPI\\PNP0A03"}}}, {}, 0},
    {"FirstAdapterAlsoSetsDev3AndDev5", {{{kFirst}}}, {0, 9, 11}, 1},
    {"FirstAdapterIdWithMoreCharactersTakesNoRow", {{{kFirst + "00"}}}, {}, 0},
    {"FirstAdapterAsALaterId", {{{kFirst + "00", kFirst}}}, {0, 9, 11}, 1},
    {"SecondAdapterKeepsItsWholeFirstIdAndIsDone",
     {{{kSecondFull, kSecond, kDev0}}},
     {1},
     1,
     kSecondFull},
    {"SecondAdapterTextAnywhereInTheId", {{{"X" + kSecond + "X"}}}, {1}, 1, "X" + kSecond + "X"},
    {"SecondDeviceWithTheAdapterTextIsPassedOver",
     {{{kSecondFull}}, {{kOtherSecond}}},
     {1},
     1,
     kSecondFull},
    {"PassedOverDeviceTakesARowWithALaterId",
     {{{kSecondFull}}, {{kOtherSecond, kDev0}}},
     {1, 6},
     1,
     kSecondFull},
    {"LowerCaseWholeIdMatchesNothing", {{{"mf\\helmsig_dev0"}}}, {}, 0},
    {"LowerCaseAdapterTextIsNotContained", {{{"pci\\ven_7a3c&dev_0b52&subsys_1"}}}, {}, 0},
    {"Dev5PassedOverAfterTheFirstAdapterThenDev1Taken",
     {{{kFirst}}, {{kDev5, kDev1}}},
     {0, 7, 9, 11},
     1},
    {"ATakenRowEndsTheDevice", {{{kDev5, kDev1}}}, {11}, 1},
    {"Dev2AlsoSetsDev5", {{{kDev2}}}, {8, 11}, 1},
    {"Dev4AlsoSetsDev5", {{{kDev4}}}, {10, 11}, 1},
    {"Dev5ThenFirstAdapter", {{{kDev5}}, {{kFirst}}}, {0, 9, 11}, 1},
    {"TwoDevicesWithOneId", {{{"*ZOV37D1"}}, {{"*ZOV37D1"}}}, {2}, 1},
    {"LongerListAfterAShorterOneStillMatches",
     {{{"*ZOV37D5"}},
      {{std::string(120, 'A'), std::string(200, 'B'), "ACPI\\" + std::string(90, 'C'), kDev3}}},
     {3, 9},
     1},
    {"DeviceWithoutListMidEnumeration", {{{kDev0}}, std::nullopt, {{kDev1}}}, {6, 7}, 1},
    {"EmptyListMidEnumeration", {{{kDev0}}, {{}}, {{kDev1}}}, {6, 7}, 1},
    {"OnlyDevicesWithoutOrWithEmptyLists", {std::nullopt, {{}}}, {}, 0},
    {"EveryRow",
     {{{kFirst}},
      {{kSecondFull}},
      {{"*ZOV37D1"}},
      {{"*ZOV37D5"}},
      {{"*ZOV37D6"}},
      {{"*ZOV37C0"}},
      {{kDev0}},
      {{kDev1}},
      {{kDev2}},
      {{kDev3}},
      {{kDev4}},
      {{kDev5}}},
     {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
     1,
     kSecondFull},
    {"AdapterIdOf255CharactersIsKept",
     {{{SecondAdapterIdOfLength(255)}}},
     {1},
     1,
     SecondAdapterIdOfLength(255)},
    {"AdapterIdOf256CharactersIsRefused", {{{SecondAdapterIdOfLength(256)}}}, {}, 0},
    {"RefusedAdapterIdThenALaterAdapterIdOfTheSameDevice",
     {{{SecondAdapterIdOfLength(300), kSecondFull}}},
     {1},
     1,
     kSecondFull},
    {"RefusedAdapterIdThenAnotherRow", {{{SecondAdapterIdOfLength(256), kDev0}}}, {6}, 1},
    {"RefusedAdapterIdLeavesRowOneForALaterDevice",
     {{{SecondAdapterIdOfLength(256)}}, {{kSecondFull}}},
     {1},
     1,
     kSecondFull},
};

class DetectOnSimulatedMachineTest : public DetectionOnSimTest,
                                     public ::testing::WithParamInterface<DetectCase> {};

TEST_P(DetectOnSimulatedMachineTest, SetsTheRowsAndTheResult) {
  const DetectCase& c = GetParam();
  AddDevices(c.devices);

  EXPECT_EQ(Detect(), c.result);
  EXPECT_EQ(FoundRows(detection), c.rows);
  EXPECT_EQ(detection.matched_adapter_id, c.matched_adapter_id);
  EXPECT_LE(detection.matched_adapter_id.size(), kMaxMatchedAdapterIdLength);
  EXPECT_EQ(Start().GetLastError(), platform::kErrorNoMoreItems);
  EXPECT_EQ(output, "");                             // detection prints nothing
  EXPECT_EQ(PresentIds().size(), c.devices.size());  // and changes nothing
}

INSTANTIATE_TEST_SUITE_P(Cases, DetectOnSimulatedMachineTest, ::testing::ValuesIn(kDetectCases),
                         [](const ::testing::TestParamInfo<DetectCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(DetectionOnSimTest, OnlySetsFlagsAndPassesOverRowsAlreadySet) {
  machine.devices = {SimDevice({kDev0, kDev1})};
  detection.flags[kZov37C0] = true;
  detection.flags[kHelmsigDev0] = true;
  detection.matched_adapter_id = "kept";
  EXPECT_EQ(Detect(), 1);
  EXPECT_EQ(FoundRows(detection), (std::vector<int>{5, 6, 7}));
  EXPECT_EQ(detection.matched_adapter_id, "kept");
}

TEST_F(DetectionOnSimTest, NoDeviceInformationSetLeavesEverythingUntouched) {
  machine.devices = {SimDevice({kDev0})};
  machine.faults = {{"SetupDiGetClassDevsA", std::nullopt, platform::kErrorNotEnoughMemory, 1}};
  detection.flags[kZov37D1] = true;
  EXPECT_EQ(Detect(), 0);
  EXPECT_EQ(FoundRows(detection), std::vector<int>{2});
}

TEST_F(DetectionOnSimTest, AReadErrorEndsTheEnumerationWithResultZeroKeepingTheFlagsSet) {
  machine.devices = {SimDevice({kDev0}), SimDevice({"ACPI\\BROKEN"}), SimDevice({kDev1})};
  machine.faults = {
      {"SetupDiGetDeviceRegistryPropertyA", "ACPI\\BROKEN", platform::kErrorGenFailure, {}}};
  EXPECT_EQ(Detect(), 0);
  EXPECT_EQ(FoundRows(detection), std::vector<int>{6});  // the enumeration stopped at device 1
  EXPECT_EQ(Start().GetLastError(), platform::kErrorGenFailure);
}

TEST_F(DetectionOnSimTest, AnEnumerationEndingWithAnotherErrorGivesZeroWhateverIsSet) {
  machine.devices = {SimDevice({kDev0}), SimDevice({kDev1})};
  machine.faults = {{"SetupDiEnumDeviceInfo", kDev1, platform::kErrorAccessDenied, {}}};
  EXPECT_EQ(Detect(), 0);
  EXPECT_EQ(FoundRows(detection), std::vector<int>{6});
  EXPECT_EQ(Start().GetLastError(), platform::kErrorAccessDenied);
}

// --- Byte-level protocol cases on the fake platform ------------------------------------------

/// Detection on the fake platform: fill `fake` first, then call Detect().
class DetectionTest : public ::testing::Test {
 protected:
  /// Runs detection into `detection`; every set it opens is released.
  int Detect() {
    const int result = DetectHardware(fake, &detection);
    EXPECT_EQ(fake.sets_open, 0);
    return result;
  }

  FakeDevicePlatform fake;
  Detection detection;
};

TEST_F(DetectionTest, AsksForAllPresentDevicesOfAllClasses) {
  EXPECT_EQ(Detect(), 0);
  EXPECT_EQ(fake.class_devs_flags, std::vector<Dword>{6});
}

TEST_F(DetectionTest, NoDeviceInformationSetReturnsZeroAtOnce) {
  fake.no_set = true;
  fake.devices = {WithIds({kDev0})};
  detection.flags[kHelmsigDev3] = true;
  EXPECT_EQ(Detect(), 0);
  EXPECT_EQ(FoundRows(detection), std::vector<int>{9});
  EXPECT_EQ(fake.log, std::vector<std::string>{"SetupDiGetClassDevsA"});
}

struct BytesCase {
  const char* name;
  std::string bytes;              // what the platform writes
  std::optional<Dword> reported;  // the size it reports, when not the length of `bytes`
  std::vector<int> rows;
  std::string matched_adapter_id = "";
};
void PrintTo(const BytesCase& c, std::ostream* os) {
  *os << c.name;
}

const BytesCase kBytesCases[] = {
    {"WellFormed", "XYZ\0MF\\HELMSIG_DEV0\0\0"s, std::nullopt, {6}},
    {"WithoutTheFinalEmptyString", "XYZ\0MF\\HELMSIG_DEV0\0"s, std::nullopt, {6}},
    {"ReportedSizeEndsJustAfterTheIdsNul", "XYZ\0MF\\HELMSIG_DEV0\0\0"s, 20, {6}},
    {"ReportedSizeCutsTheIdsNul", "XYZ\0MF\\HELMSIG_DEV0\0\0"s, 19, {}},
    {"ReportedSizeEndsBeforeTheId", "XYZ\0MF\\HELMSIG_DEV0\0\0"s, 4, {}},
    {"ReportedSizeZero", "MF\\HELMSIG_DEV0\0\0"s, 0, {}},
    {"CutIdIsNotTakenAsAShorterWholeId", "MF\\HELMSIG_DEV01\0\0"s, 15, {}},
    {"CutIdIsNotTakenAsContainingTheAdapterText", "PCI\\VEN_7A3C&DEV_0B52&SUBSYS_1\0\0"s, 25, {}},
    {"OnlyIdWithoutNul", "MF\\HELMSIG_DEV0"s, std::nullopt, {}},
    {"LastIdWithoutNul", "XYZ\0MF\\HELMSIG_DEV0"s, std::nullopt, {}},
    {"AdapterIdWithoutNul", "PCI\\VEN_7A3C&DEV_0B52&SUBSYS_1"s, std::nullopt, {}},
    {"IdsBeforeTheCutStillCount", "MF\\HELMSIG_DEV1\0MF\\HELMSIG_DEV0"s, std::nullopt, {7}},
    {"AdapterIdBeforeTheCut",
     "PCI\\VEN_7A3C&DEV_0B52&SUBSYS_1\0MF\\HELMSIG_DEV0"s,
     std::nullopt,
     {1},
     "PCI\\VEN_7A3C&DEV_0B52&SUBSYS_1"},
};

class DetectionBytesTest : public DetectionTest, public ::testing::WithParamInterface<BytesCase> {};

TEST_P(DetectionBytesTest, ScansOnlyWholeIdsWithinTheReportedSize) {
  const BytesCase& c = GetParam();
  fake.devices = {WithBytes(c.bytes)};
  fake.devices[0].success_size = c.reported;
  EXPECT_EQ(Detect(), c.rows.empty() ? 0 : 1);
  EXPECT_EQ(FoundRows(detection), c.rows);
  EXPECT_EQ(detection.matched_adapter_id, c.matched_adapter_id);
}

INSTANTIATE_TEST_SUITE_P(Cases, DetectionBytesTest, ::testing::ValuesIn(kBytesCases),
                         [](const ::testing::TestParamInfo<BytesCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(DetectionTest, BytesLeftInALargerBufferPastTheReportedSizeAreNotScanned) {
  // Device 0's own scan stops at its empty string; device 1 overwrites only "XY\0" and reports
  // 3, so "MF\HELMSIG_DEV0" still lies in the buffer behind it, beyond the reported size.
  fake.devices = {WithBytes("B\0\0MF\\HELMSIG_DEV0\0\0"s), WithBytes("XY\0"s)};
  EXPECT_EQ(Detect(), 0);
  EXPECT_EQ(FoundRows(detection), std::vector<int>{});
  EXPECT_EQ(fake.ReadSizes(), (std::vector<Dword>{0, 20, 20}));
}

TEST_F(DetectionTest, ALongerListAfterAShorterOneGetsANewZeroFilledBufferOfExactlyItsSize) {
  fake.devices = {WithIds({"*ZOV37D6"}), WithIds({std::string(40, 'Q'), kDev2})};
  EXPECT_EQ(Detect(), 1);
  EXPECT_EQ(FoundRows(detection), (std::vector<int>{4, 8, 11}));
  EXPECT_EQ(fake.ReadSizes(), (std::vector<Dword>{0, 10, 10, 58}));
  EXPECT_TRUE(fake.reads[3].zero_filled);
}

class DetectionReadErrorTest : public DetectionTest, public ::testing::WithParamInterface<Dword> {};

TEST_P(DetectionReadErrorTest, StopsTheEnumerationWithResultZero) {
  fake.devices = {WithIds({kDev0}), WithIds({kDev1}), WithIds({kDev3})};
  fake.devices[1].read_error = GetParam();
  EXPECT_EQ(Detect(), 0);
  EXPECT_EQ(FoundRows(detection), std::vector<int>{6});  // set so far, and kept
  EXPECT_EQ(fake.last_error, GetParam());
}

// Even a failed read that leaves 0 or 259 ends the enumeration with result 0.
INSTANTIATE_TEST_SUITE_P(Errors, DetectionReadErrorTest,
                         ::testing::Values(Dword{5}, Dword{31}, Dword{87}, Dword{0}, Dword{259}));

TEST_F(DetectionTest, AFailedAllocationEndsTheEnumerationWithResultZero) {
  fake.devices = {WithIds({kDev0}), WithIds({"ACPI\\PNP0A03", kDev1}), WithIds({kDev3})};
  fake.devices[1].needed_size = kMaxHardwareIdListBytes + 1;  // its list needs a new buffer
  EXPECT_EQ(Detect(), 0);
  EXPECT_EQ(FoundRows(detection), std::vector<int>{6});
  EXPECT_EQ(fake.last_error, platform::kErrorNotEnoughMemory);
  EXPECT_EQ(fake.reads.size(), 3u);  // no read with the size that was refused
}

TEST_F(DetectionTest, ALyingShortageEndsTheEnumerationWithResultZero) {
  fake.devices = {WithIds({kDev0})};
  fake.devices[0].always_short = true;
  EXPECT_EQ(Detect(), 0);
  EXPECT_EQ(fake.reads.size(), 2u);
}

struct EndCase {
  Dword end_error;
  int result;
};
void PrintTo(const EndCase& c, std::ostream* os) {
  *os << "ends with " << c.end_error;
}

class DetectionEndErrorTest : public DetectionTest,
                              public ::testing::WithParamInterface<EndCase> {};

TEST_P(DetectionEndErrorTest, TheResultFollowsTheLastErrorTheEnumerationEndedWith) {
  fake.devices = {WithIds({kDev0})};
  fake.end_error = GetParam().end_error;
  EXPECT_EQ(Detect(), GetParam().result);
  EXPECT_EQ(FoundRows(detection), std::vector<int>{6});
  EXPECT_EQ(fake.last_error, GetParam().end_error);  // the clean-up puts it back
}

INSTANTIATE_TEST_SUITE_P(Errors, DetectionEndErrorTest,
                         ::testing::Values(EndCase{0, 1}, EndCase{259, 1}, EndCase{5, 0},
                                           EndCase{87, 0}, EndCase{122, 0}));

TEST_F(DetectionTest, CleanUpReadsLastErrorDestroysTheSetAndSetsLastErrorBack) {
  fake.devices = {WithIds({kDev0})};
  EXPECT_EQ(Detect(), 1);
  // The fake's destroy clears the last-error value; the clean-up restores it.
  ASSERT_GE(fake.log.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(fake.log.end() - 3, fake.log.end()),
            (std::vector<std::string>{"GetLastError", "SetupDiDestroyDeviceInfoList",
                                      "SetLastError 259"}));
  EXPECT_EQ(fake.last_error, platform::kErrorNoMoreItems);
}

TEST_F(DetectionTest, TakeRowTestsTheRowsInTableOrder) {
  EXPECT_FALSE(TakeRow("unknown", &detection));
  EXPECT_TRUE(TakeRow(kFirst, &detection));
  EXPECT_EQ(FoundRows(detection), (std::vector<int>{0, 9, 11}));
  EXPECT_FALSE(TakeRow(kFirst, &detection));  // row 0 is set: passed over, nothing else
  EXPECT_FALSE(TakeRow(kDev5, &detection));   // likewise row 11
  EXPECT_TRUE(TakeRow(kSecond, &detection));
  EXPECT_EQ(detection.matched_adapter_id, kSecond);
  EXPECT_FALSE(TakeRow(kSecondFull, &detection));
  EXPECT_EQ(detection.matched_adapter_id, kSecond);
}

}  // namespace
}  // namespace devices
