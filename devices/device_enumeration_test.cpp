#include "devices/device_enumeration.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fake_device_platform.h"

namespace devices {
namespace {

using namespace std::string_literals;
using platform::Dword;
using testing_support::FakeDevicePlatform;
using testing_support::WithBytes;
using testing_support::WithIds;
using testing_support::WithoutList;
using Step = DeviceEnumeration::Step;

std::vector<std::string> AllIds(HardwareIdList list) {
  std::vector<std::string> ids;
  std::string_view id;
  while (list.Next(&id)) ids.emplace_back(id);
  return ids;
}

// --- HardwareIdList ---------------------------------------------------------------------------

struct ListCase {
  const char* name;
  std::string bytes;  // exactly the reported size
  std::vector<std::string> ids;
};
void PrintTo(const ListCase& c, std::ostream* os) {
  *os << c.name;
}

class HardwareIdListTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(HardwareIdListTest, HandsOutTheWholeIdsWithinTheReportedSize) {
  EXPECT_EQ(AllIds(HardwareIdList(GetParam().bytes)), GetParam().ids);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HardwareIdListTest,
    ::testing::Values(ListCase{"TwoIds", "A\0BC\0\0"s, {"A", "BC"}},
                      ListCase{"EmptyList", "\0"s, {}}, ListCase{"NothingReported", ""s, {}},
                      ListCase{"StopsAtTheEmptyString", "A\0\0B\0\0"s, {"A"}},
                      ListCase{"EndsAtTheReportedSizeWithoutTheEmptyString", "A\0B\0"s, {"A", "B"}},
                      ListCase{"LastStringWithoutNulIsIgnored", "A\0BC"s, {"A"}},
                      ListCase{"OnlyStringWithoutNulIsIgnored", "MF\\HELMSIG_DEV0"s, {}},
                      ListCase{
                          "IdCutByTheReportedSizeIsNotTakenAsAShorterId", "MF\\HELMSIG_DEV0"s, {}},
                      ListCase{"EmptyStringInsideEndsTheList", "A\0\0"s, {"A"}}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

// --- The device information set --------------------------------------------------------------

TEST(DeviceInfoSetTest, AsksForAllPresentDevicesOfAllClassesAndDestroysTheSetKeepingLastError) {
  FakeDevicePlatform fake;
  {
    DeviceInfoSet set(fake);
    ASSERT_TRUE(set.valid());
    EXPECT_EQ(fake.sets_open, 1);
    fake.last_error = 1234;
    fake.log.clear();
  }
  EXPECT_EQ(fake.class_devs_flags, std::vector<Dword>{6});
  EXPECT_EQ(fake.sets_open, 0);
  EXPECT_EQ(fake.log, (std::vector<std::string>{"GetLastError", "SetupDiDestroyDeviceInfoList",
                                                "SetLastError 1234"}));
  EXPECT_EQ(fake.last_error, 1234u);
}

TEST(DeviceInfoSetTest, NoSetIsNotDestroyed) {
  FakeDevicePlatform fake;
  fake.no_set = true;
  { EXPECT_FALSE(DeviceInfoSet(fake).valid()); }
  EXPECT_EQ(fake.log, std::vector<std::string>{"SetupDiGetClassDevsA"});
}

// --- The walk ---------------------------------------------------------------------------------

/// Walks every device and returns the indices handed out and how the walk ended. However it
/// ends, the enumeration leaves no device information set open.
struct Walk {
  std::vector<Dword> devices;
  std::vector<std::vector<std::string>> ids;
  Step end;
};
Walk WalkAll(FakeDevicePlatform& fake) {
  Walk walk;
  {
    DeviceEnumeration enumeration(fake);
    EXPECT_TRUE(enumeration.valid());
    while ((walk.end = enumeration.Next()) == Step::kDevice) {
      walk.devices.push_back(enumeration.device().dev_inst);
      walk.ids.push_back(AllIds(enumeration.ids()));
      EXPECT_EQ(enumeration.set(), FakeDevicePlatform::kSet);
    }
  }
  EXPECT_EQ(fake.sets_open, 0);
  return walk;
}

TEST(DeviceEnumerationTest, FirstReadAsksWithNoBufferThenWithAZeroFilledBufferOfTheSizeNeeded) {
  FakeDevicePlatform fake;
  fake.devices = {WithIds({"MF\\HELMSIG_DEV0"})};  // 15 + 1 + 1 bytes
  const Walk walk = WalkAll(fake);
  EXPECT_EQ(walk.end, Step::kEnd);
  EXPECT_EQ(walk.ids, (std::vector<std::vector<std::string>>{{"MF\\HELMSIG_DEV0"}}));
  ASSERT_EQ(fake.reads.size(), 2u);
  EXPECT_EQ(fake.reads[0].buffer, nullptr);
  EXPECT_EQ(fake.reads[0].size, 0u);
  EXPECT_NE(fake.reads[1].buffer, nullptr);
  EXPECT_EQ(fake.reads[1].size, 17u);
  EXPECT_TRUE(fake.reads[1].zero_filled);
}

TEST(DeviceEnumerationTest, OneBufferServesDeviceAfterDevicePassedWithTheSizeLastReported) {
  FakeDevicePlatform fake;
  fake.devices = {WithBytes(std::string(39, 'L') + '\0'),  // 40 bytes
                  WithBytes(std::string(19, 'S') + '\0'),  // 20: fits the 40-byte buffer
                  WithBytes(std::string(29, 'M') + '\0'),  // 30: more than the 20 last reported
                  WithBytes(std::string(9, 'T') + '\0')};  // 10
  const Walk walk = WalkAll(fake);
  EXPECT_EQ(walk.end, Step::kEnd);
  EXPECT_EQ(walk.devices, (std::vector<Dword>{0, 1, 2, 3}));
  EXPECT_EQ(walk.ids[2], std::vector<std::string>{std::string(29, 'M')});
  // Device 1 is read into device 0's 40-byte buffer, passed with 40; device 2 with the 20 that
  // device 1 reported, which is too small: a new zero-filled buffer of exactly 30 bytes.
  EXPECT_EQ(fake.ReadSizes(), (std::vector<Dword>{0, 40, 40, 20, 30, 30}));
  EXPECT_EQ(fake.reads[2].buffer, fake.reads[1].buffer);
  EXPECT_EQ(fake.reads[3].buffer, fake.reads[1].buffer);
  EXPECT_FALSE(fake.reads[2].zero_filled);
  EXPECT_TRUE(fake.reads[4].zero_filled);
  EXPECT_EQ(fake.reads[5].buffer, fake.reads[4].buffer);
}

TEST(DeviceEnumerationTest, DevicesWithoutListOrWithEmptyListAreSkippedAndTheWalkGoesOn) {
  FakeDevicePlatform fake;
  fake.devices = {WithIds({"A"}), WithoutList(), WithBytes("\0"s), WithBytes(""s), WithIds({"B"})};
  const Walk walk = WalkAll(fake);
  EXPECT_EQ(walk.end, Step::kEnd);
  EXPECT_EQ(walk.devices, (std::vector<Dword>{0, 4}));
  EXPECT_EQ(walk.ids, (std::vector<std::vector<std::string>>{{"A"}, {"B"}}));
  // A device without a list reports no size: device 2 is still passed the 3 of device 0.
  EXPECT_EQ(fake.ReadSizes(), (std::vector<Dword>{0, 3, 3, 3, 1, 0, 3}));
}

class ReadErrorTest : public ::testing::TestWithParam<Dword> {};

TEST_P(ReadErrorTest, AnyOtherReadErrorStopsTheWalkAtOnce) {
  FakeDevicePlatform fake;
  fake.devices = {WithIds({"A"}), WithIds({"B"}), WithIds({"C"})};
  fake.devices[1].read_error = GetParam();
  const Walk walk = WalkAll(fake);
  EXPECT_EQ(walk.end, Step::kReadError);
  EXPECT_EQ(walk.devices, std::vector<Dword>{0});
  EXPECT_EQ(fake.reads.size(), 3u);  // device 2 is never enumerated or read
  EXPECT_EQ(std::count(fake.log.begin(), fake.log.end(), "SetupDiEnumDeviceInfo 2"), 0);
  EXPECT_EQ(fake.last_error, GetParam());
}

// 0 and 259 too: a failed read is a read error whatever last error it leaves.
INSTANTIATE_TEST_SUITE_P(Errors, ReadErrorTest,
                         ::testing::Values(Dword{5}, Dword{87}, Dword{1167}, Dword{0}, Dword{259},
                                           Dword{0xE000020B}));

TEST(DeviceEnumerationTest, AShortageThatAsksForNoMoreThanWasPassedIsAReadErrorNotALoop) {
  FakeDevicePlatform fake;
  fake.devices = {WithIds({"A"})};
  fake.devices[0].always_short = true;
  const Walk walk = WalkAll(fake);
  EXPECT_EQ(walk.end, Step::kReadError);
  EXPECT_EQ(fake.ReadSizes(), (std::vector<Dword>{0, 3}));
}

TEST(DeviceEnumerationTest, AShortageAskingForNothingIsAReadError) {
  FakeDevicePlatform fake;
  fake.devices = {WithIds({"A"})};
  fake.devices[0].needed_size = 0;
  EXPECT_EQ(WalkAll(fake).end, Step::kReadError);
  EXPECT_EQ(fake.reads.size(), 1u);
}

struct HugeCase {
  Dword needed;
  bool allocated;
};
void PrintTo(const HugeCase& c, std::ostream* os) {
  *os << "needed " << c.needed;
}

class ReportedSizeLimitTest : public ::testing::TestWithParam<HugeCase> {};

TEST_P(ReportedSizeLimitTest, ASizeAboveTheLimitEndsTheWalkAsAFailedAllocation) {
  FakeDevicePlatform fake;
  fake.devices = {WithIds({"A"})};
  fake.devices[0].needed_size = GetParam().needed;
  const Walk walk = WalkAll(fake);
  if (GetParam().allocated) {
    EXPECT_EQ(walk.end, Step::kEnd);
    EXPECT_EQ(fake.ReadSizes(), (std::vector<Dword>{0, GetParam().needed}));
    EXPECT_TRUE(fake.reads[1].zero_filled);
  } else {
    EXPECT_EQ(walk.end, Step::kReadError);
    EXPECT_EQ(fake.reads.size(), 1u);
    EXPECT_EQ(fake.last_error, platform::kErrorNotEnoughMemory);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReportedSizeLimitTest,
                         ::testing::Values(HugeCase{kMaxHardwareIdListBytes, true},
                                           HugeCase{kMaxHardwareIdListBytes + 1, false},
                                           HugeCase{0xFFFFFFFFu, false}));

TEST(DeviceEnumerationTest, ASuccessReportingMoreThanWasPassedIsBoundedByTheSizePassed) {
  FakeDevicePlatform fake;
  fake.devices = {WithIds({"AB"}), WithIds({"C"})};
  fake.devices[0].success_size = 5000;
  const Walk walk = WalkAll(fake);
  EXPECT_EQ(walk.end, Step::kEnd);
  EXPECT_EQ(walk.ids, (std::vector<std::vector<std::string>>{{"AB"}, {"C"}}));
  // The next device is passed the 4 bytes the buffer has, not the 5000 claimed.
  EXPECT_EQ(fake.ReadSizes(), (std::vector<Dword>{0, 4, 4}));
}

TEST(DeviceEnumerationTest, AShortReportedSizeBoundsTheScanEvenWhenTheBufferIsLarger) {
  FakeDevicePlatform fake;
  // Device 0 leaves "B\0\0MF\HELMSIG_DEV0\0\0" in the buffer; device 1 writes "XY\0" over its
  // start and reports 3: the ID that still lies behind in the buffer is not device 1's.
  fake.devices = {WithBytes("B\0\0MF\\HELMSIG_DEV0\0\0"s), WithBytes("XY\0"s)};
  const Walk walk = WalkAll(fake);
  EXPECT_EQ(walk.ids, (std::vector<std::vector<std::string>>{{"B"}, {"XY"}}));
  EXPECT_EQ(fake.reads[2].size, 20u);
}

TEST(DeviceEnumerationTest, EndsWhenTheEnumerationReportsNoElement) {
  FakeDevicePlatform fake;
  fake.devices = {WithIds({"A"}), WithIds({"B"})};
  fake.enum_fails_at = 1;
  fake.end_error = platform::kErrorAccessDenied;
  const Walk walk = WalkAll(fake);
  EXPECT_EQ(walk.end, Step::kEnd);
  EXPECT_EQ(walk.devices, std::vector<Dword>{0});
  EXPECT_EQ(fake.last_error, platform::kErrorAccessDenied);  // kept through the clean-up
}

TEST(DeviceEnumerationTest, NoDevicesAtAll) {
  FakeDevicePlatform fake;
  const Walk walk = WalkAll(fake);
  EXPECT_EQ(walk.end, Step::kEnd);
  EXPECT_TRUE(fake.reads.empty());
  EXPECT_EQ(fake.last_error, platform::kErrorNoMoreItems);
}

}  // namespace
}  // namespace devices
