#include "devices/device_operations.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devices/hardware_table.h"
#include "messages/catalogue.h"
#include "messages/console.h"
#include "tests/support/fake_device_platform.h"
#include "tests/support/sim_machine_test.h"

namespace devices {
namespace {

using namespace std::string_literals;
using platform::Bool;
using platform::Dword;
using testing_support::FakeDevicePlatform;
using testing_support::SimDevice;
using testing_support::WithBytes;
using testing_support::WithIds;
using testing_support::WithoutList;

const std::string kPackageRoot = "C:\\WINNT\\system32\\drivers\\orvan";
const std::string kOrvanInf = kPackageRoot + "\\win2000\\orvan.inf";
const std::string kRudxInf = kPackageRoot + "\\win2000\\rudx.inf";
const std::string kKafInf = kPackageRoot + "\\win2000\\kaf.inf";
const std::string kAdapterId = "PCI\\VEN_7A3C&DEV_0B52&SUBSYS_02591014&REV_01";
const std::string kDev0 = "MF\\HELMSIG_DEV0";
const std::string kDev1 = "MF\\HELMSIG_DEV1";
const std::string kDev2 = "MF\\HELMSIG_DEV2";
const std::string kDev4 = "MF\\HELMSIG_DEV4";

using Ids = std::vector<std::vector<std::string>>;

/// What the driver update prints for each INF.
std::string Announced(const std::string& inf) {
  return "Installing drivers for " + inf + ".\n";
}

/// The driver update on a fake platform, with the console on `catalogue`.
int UpdateOnFake(FakeDevicePlatform& fake, std::string_view hardware_id, std::string_view inf_path,
                 Bool* reboot,
                 const messages::Catalogue& catalogue = messages::BuiltinCatalogue()) {
  messages::Console console(fake, catalogue);
  messages::SetupLog log;
  return UpdateDriver(fake, console, log, hardware_id, inf_path, reboot);
}

// --- Driver update on the simulated machine --------------------------------------------------

class UpdateDriverOnSimTest : public testing_support::SimMachineTest {
 protected:
  int Update(std::string_view hardware_id, std::string_view inf_path) {
    messages::Catalogue catalogue = messages::BuiltinCatalogue();
    messages::Console console(Start(), catalogue);
    messages::SetupLog log;
    return UpdateDriver(Start(), console, log, hardware_id, inf_path, &reboot);
  }
  std::vector<sim::Json> Updates() const { return Entries("UpdateDriverForPlugAndPlayDevicesA"); }

  Bool reboot = 0;  // the caller's restart flag, passed to every update
};

TEST_F(UpdateDriverOnSimTest, InstallsTheInfForTheDevicesThatCarryTheId) {
  machine.devices = {SimDevice({kAdapterId, "PCI\\VEN_7A3C&DEV_0B52"})};
  WriteFile(kOrvanInf, "[Models]\n%Adapter% = Install, PCI\\VEN_7A3C&DEV_0B52\n");
  sim::SimPlatform& platform = Start();
  EXPECT_EQ(Update(kAdapterId, kOrvanInf), 1);
  EXPECT_EQ(reboot, 0);
  EXPECT_EQ(output, Announced(kOrvanInf));
  const std::vector<sim::Json> updates = Updates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0]["hardware_id"], kAdapterId);
  EXPECT_EQ(updates[0]["inf"], kOrvanInf);
  EXPECT_EQ(updates[0]["flags"], platform::INSTALLFLAG_FORCE);
  EXPECT_EQ(updates[0]["ok"], true);
  EXPECT_EQ(machine.devices[0].driver, kOrvanInf);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);  // the existence check keeps nothing open
}

TEST_F(UpdateDriverOnSimTest, AMissingInfIsStillAnnouncedAndPassedToTheServiceAndGivesZero) {
  machine.devices = {SimDevice({kDev0})};
  sim::SimPlatform& platform = Start();
  EXPECT_EQ(Update(kDev0, kRudxInf), 0);
  EXPECT_EQ(output, Announced(kRudxInf));
  const std::vector<sim::Json> updates = Updates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0]["inf"], kRudxInf);
  EXPECT_EQ(updates[0]["ok"], false);
  EXPECT_EQ(updates[0]["error"], platform::kErrorFileNotFound);
  EXPECT_EQ(reboot, 0);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

TEST_F(UpdateDriverOnSimTest, AFailingServiceGivesZeroAndPrintsNothingMore) {
  machine.devices = {SimDevice({kDev0}, "fail")};
  WriteFile(kRudxInf, "MF\\HELMSIG_DEV0\n");
  Start();
  EXPECT_EQ(Update(kDev0, kRudxInf), 0);
  EXPECT_EQ(output, Announced(kRudxInf));
  EXPECT_EQ(Updates().at(0)["error"], platform::kErrorGenFailure);
}

TEST_F(UpdateDriverOnSimTest, NoDeviceWithTheIdGivesZero) {
  WriteFile(kRudxInf, "MF\\HELMSIG_DEV0\n");
  Start();
  EXPECT_EQ(Update(kDev0, kRudxInf), 0);
  EXPECT_EQ(Updates().at(0)["error"], platform::kErrorNoSuchDevinst);
}

TEST_F(UpdateDriverOnSimTest, ARestartNeededByOneUpdateSurvivesTheNextUpdates) {
  machine.devices = {SimDevice({kDev0}, "reboot"), SimDevice({kDev1}), SimDevice({kDev2})};
  WriteFile(kRudxInf, "MF\\HELMSIG_DEV0\n");
  WriteFile(kKafInf, "MF\\HELMSIG_DEV1\n");
  sim::SimPlatform& platform = Start();
  EXPECT_EQ(Update(kDev0, kRudxInf), 1);
  EXPECT_EQ(reboot, 1);
  EXPECT_EQ(Update(kDev1, kKafInf), 1);  // no restart needed for this one
  EXPECT_EQ(Update(kDev2, kKafInf), 0);  // the INF does not serve DEV2
  EXPECT_EQ(reboot, 1);
  EXPECT_EQ(output, Announced(kRudxInf) + Announced(kKafInf) + Announced(kKafInf));
  // The service always gets a fresh flag: the journal shows its own value after each call.
  const std::vector<sim::Json> updates = Updates();
  ASSERT_EQ(updates.size(), 3u);
  EXPECT_EQ(updates[0]["reboot"], true);
  EXPECT_EQ(updates[1]["reboot"], false);
  EXPECT_EQ(updates[2]["reboot"], false);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

// --- Driver update on the fake platform ------------------------------------------------------

struct UpdateCase {
  bool inf_exists;
  Bool service_result;
  int result;
};
void PrintTo(const UpdateCase& c, std::ostream* os) {
  *os << "inf " << (c.inf_exists ? "exists" : "missing") << ", service " << c.service_result;
}

class UpdateDriverResultTest : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(UpdateDriverResultTest, OneOnlyWhenTheInfExistsAndTheServiceSucceeded) {
  const UpdateCase& c = GetParam();
  FakeDevicePlatform fake;
  if (c.inf_exists) fake.existing_files.insert(kOrvanInf);
  fake.update_result = c.service_result;
  Bool reboot = 0;
  EXPECT_EQ(UpdateOnFake(fake, "PCI\\VEN_7A3C&DEV_0B52", kOrvanInf, &reboot), c.result);
  std::vector<std::string> expected_log = {"FindFirstFileA " + kOrvanInf};
  if (c.inf_exists) expected_log.push_back("FindClose");
  expected_log.push_back("WriteStandardOutput");
  expected_log.push_back("UpdateDriverForPlugAndPlayDevicesA");
  if (!c.service_result) expected_log.push_back("GetLastError");  // for the log
  EXPECT_EQ(fake.log, expected_log);
  EXPECT_EQ(fake.searches_open, 0);
  EXPECT_EQ(fake.output, Announced(kOrvanInf));
  ASSERT_EQ(fake.updates.size(), 1u);
  EXPECT_EQ(fake.updates[0].hardware_id, "PCI\\VEN_7A3C&DEV_0B52");
  EXPECT_EQ(fake.updates[0].inf_path, kOrvanInf);
  EXPECT_EQ(fake.updates[0].flags, platform::INSTALLFLAG_FORCE);
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateDriverResultTest,
                         ::testing::Values(UpdateCase{true, 1, 1}, UpdateCase{true, 0, 0},
                                           UpdateCase{false, 1, 0}, UpdateCase{false, 0, 0},
                                           UpdateCase{true, 7, 1}));

struct RebootCase {
  Bool before;
  std::optional<Bool> service_writes;
  Bool after;
};
void PrintTo(const RebootCase& c, std::ostream* os) {
  *os << "before " << c.before << ", service writes "
      << (c.service_writes ? std::to_string(*c.service_writes) : "nothing");
}

class UpdateDriverRebootTest : public ::testing::TestWithParam<RebootCase> {};

TEST_P(UpdateDriverRebootTest, OnlyATrueFromTheServiceIsCarriedOverAndNothingIsCleared) {
  const RebootCase& c = GetParam();
  FakeDevicePlatform fake;
  fake.existing_files.insert(kRudxInf);
  fake.update_writes_reboot = c.service_writes;
  Bool reboot = c.before;
  EXPECT_EQ(UpdateOnFake(fake, kDev0, kRudxInf, &reboot), 1);
  EXPECT_EQ(reboot, c.after);
  ASSERT_EQ(fake.updates.size(), 1u);
  EXPECT_EQ(fake.updates[0].reboot_passed, 0);  // a fresh FALSE flag of its own
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateDriverRebootTest,
                         ::testing::Values(RebootCase{0, std::nullopt, 0}, RebootCase{0, 0, 0},
                                           RebootCase{0, 1, 1}, RebootCase{0, 2, 1},
                                           RebootCase{1, std::nullopt, 1}, RebootCase{1, 0, 1},
                                           RebootCase{1, 1, 1}));

TEST(UpdateDriverTest, PrintsEntry79OfTheCurrentCatalogue) {
  FakeDevicePlatform fake;
  messages::Catalogue catalogue = messages::BuiltinCatalogue();
  catalogue.entries[messages::kInstallingDrivers] = "Treiber fuer %s werden installiert.\n";
  Bool reboot = 0;
  EXPECT_EQ(UpdateOnFake(fake, kDev0, "C:\\x\\rudx.inf", &reboot, catalogue), 0);
  EXPECT_EQ(fake.output, "Treiber fuer C:\\x\\rudx.inf werden installiert.\n");
}

// --- Device removal on the simulated machine -------------------------------------------------

struct RemoveCase {
  const char* name;
  std::vector<testing_support::IdList> devices;
  std::string hardware_id;
  std::optional<std::size_t> removed;  // index of the device removed, if any
};
void PrintTo(const RemoveCase& c, std::ostream* os) {
  *os << c.name;
}

const RemoveCase kRemoveCases[] = {
    {"NoDevices", {}, kDev2, std::nullopt},
    {"NoDeviceCarriesTheId", {{{kDev0}}, {{"ACPI\\PNP0A03"}}, std::nullopt}, kDev2, std::nullopt},
    {"OnlyDevice", {{{kDev2}}}, kDev2, 0},
    {"TheIdAsALaterEntry", {{{"ACPI\\PNP0A03"}}, {{"MF\\CHILD0004", kDev4}}}, kDev4, 1},
    {"FirstOfTwoDevicesWithTheId", {{{kDev2, "A"}}, {{kDev2, "B"}}}, kDev2, 0},
    {"ContainingTheIdIsNotEnough", {{{kDev2 + "X"}}, {{"X" + kDev2}}}, kDev2, std::nullopt},
    {"LetterCaseDiffers", {{{"mf\\helmsig_dev2"}}, {{"MF\\HELMSIG_Dev2"}}}, kDev2, std::nullopt},
    {"AfterDevicesWithoutOrWithEmptyLists", {std::nullopt, {{}}, {{kDev4}}}, kDev4, 2},
    {"AfterALongerList",
     {{{"*ZOV37D1"}}, {{std::string(150, 'Z'), std::string(150, 'Y'), kDev2}}},
     kDev2,
     1},
    {"FirstAdapterWholeIdOnly",
     {{{"PCI\\VEN_7A3C&DEV_0C39&CC_068000"}}, {{"PCI\\VEN_7A3C&DEV_0C39&CC_0680"}}},
     "PCI\\VEN_7A3C&DEV_0C39&CC_0680",
     1},
};

class RemoveDeviceSimTest : public testing_support::SimMachineTest {
 protected:
  /// Removes the device with `hardware_id`; no call leaves a handle open.
  void Remove(const std::string& hardware_id) {
    RemoveDevice(Start(), hardware_id);
    EXPECT_EQ(Start().OpenHandleCount(), 0u);
  }
};

class RemoveDeviceOnSimTest : public RemoveDeviceSimTest,
                              public ::testing::WithParamInterface<RemoveCase> {};

TEST_P(RemoveDeviceOnSimTest, RemovesAtMostTheFirstDeviceCarryingTheWholeId) {
  const RemoveCase& c = GetParam();
  AddDevices(c.devices);
  const Ids before = PresentIds();

  Remove(c.hardware_id);

  Ids expected = before;
  const std::vector<sim::Json> removals = Entries("SetupDiCallClassInstaller");
  if (c.removed) {
    ASSERT_EQ(removals.size(), 1u);
    EXPECT_EQ(removals[0]["function"], "DIF_REMOVE");
    EXPECT_EQ(removals[0]["hardware_ids"], sim::Json(before[*c.removed]));
    expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(*c.removed));
  } else {
    EXPECT_TRUE(removals.empty());
  }
  EXPECT_EQ(PresentIds(), expected);
  EXPECT_EQ(output, "");
}

INSTANTIATE_TEST_SUITE_P(Cases, RemoveDeviceOnSimTest, ::testing::ValuesIn(kRemoveCases),
                         [](const ::testing::TestParamInfo<RemoveCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(RemoveDeviceSimTest, ASecondCallIsNeededForTheSecondDeviceWithTheId) {
  machine.devices = {SimDevice({kDev2, "A"}), SimDevice({kDev0}), SimDevice({kDev2, "B"})};
  Remove(kDev2);
  EXPECT_EQ(PresentIds(), (Ids{{kDev0}, {kDev2, "B"}}));
  Remove(kDev2);
  EXPECT_EQ(PresentIds(), (Ids{{kDev0}}));
  Remove(kDev2);
  EXPECT_EQ(PresentIds(), (Ids{{kDev0}}));
  EXPECT_EQ(Entries("SetupDiCallClassInstaller").size(), 2u);
}

TEST_F(RemoveDeviceSimTest, AFailedRemovalStillEndsTheCall) {
  machine.devices = {SimDevice({kDev2, "A"}), SimDevice({kDev2, "B"})};
  machine.faults = {{"SetupDiCallClassInstaller", "A", platform::kErrorAccessDenied, {}}};
  Remove(kDev2);
  const std::vector<sim::Json> removals = Entries("SetupDiCallClassInstaller");
  ASSERT_EQ(removals.size(), 1u);
  EXPECT_EQ(removals[0]["ok"], false);
  EXPECT_EQ(PresentIds().size(), 2u);
}

TEST_F(RemoveDeviceSimTest, AReadErrorEndsTheRemoval) {
  machine.devices = {SimDevice({"ACPI\\BROKEN"}), SimDevice({kDev2})};
  machine.faults = {
      {"SetupDiGetDeviceRegistryPropertyA", "ACPI\\BROKEN", platform::kErrorGenFailure, {}}};
  Remove(kDev2);
  EXPECT_TRUE(Entries("SetupDiCallClassInstaller").empty());
  EXPECT_EQ(PresentIds().size(), 2u);
}

TEST_F(RemoveDeviceSimTest, NoDeviceInformationSetRemovesNothing) {
  machine.devices = {SimDevice({kDev2})};
  machine.faults = {{"SetupDiGetClassDevsA", std::nullopt, platform::kErrorNotEnoughMemory, 1}};
  Remove(kDev2);
  EXPECT_EQ(PresentIds().size(), 1u);
}

// --- Device removal on the fake platform -----------------------------------------------------

using Outcome = Removal::Outcome;

/// Removes the device with `hardware_id` from the fake; every set it opens is released.
Outcome RemoveFromFake(FakeDevicePlatform& fake, const std::string& hardware_id) {
  const Removal removal = RemoveDevice(fake, hardware_id);
  EXPECT_EQ(fake.sets_open, 0);
  return removal.outcome;
}

TEST(RemoveDeviceTest, NoDeviceInformationSetEndsAtOnce) {
  FakeDevicePlatform fake;
  fake.no_set = true;
  fake.devices = {WithIds({kDev2})};
  EXPECT_EQ(RemoveFromFake(fake, kDev2), Outcome::kFailed);
  EXPECT_EQ(fake.log, (std::vector<std::string>{"SetupDiGetClassDevsA", "GetLastError"}));
}

TEST(RemoveDeviceTest, HandsTheMatchingDevicesElementToTheClassInstallerOnce) {
  FakeDevicePlatform fake;
  fake.devices = {WithIds({kDev0}), WithoutList(), WithIds({"X", kDev2}), WithIds({kDev2})};
  fake.remove_result = 0;  // whatever it answers, the call ends
  EXPECT_EQ(RemoveFromFake(fake, kDev2), Outcome::kFailed);
  EXPECT_EQ(fake.class_devs_flags, std::vector<Dword>{6});
  EXPECT_EQ(fake.removed, std::vector<Dword>{2});
  EXPECT_EQ(std::count(fake.log.begin(), fake.log.end(), "SetupDiEnumDeviceInfo 3"), 0);
}

TEST(RemoveDeviceTest, FollowsTheListRulesOfDetection) {
  FakeDevicePlatform fake;
  fake.devices = {WithIds({std::string(30, 'L')}), WithIds({"S"}), WithIds({"MM", kDev4})};
  EXPECT_EQ(RemoveFromFake(fake, kDev4), Outcome::kRemoved);
  EXPECT_EQ(fake.ReadSizes(), (std::vector<Dword>{0, 32, 32, 3, 20}));
  EXPECT_TRUE(fake.reads[4].zero_filled);
  EXPECT_EQ(fake.removed, std::vector<Dword>{2});
}

class RemoveDeviceReadErrorTest : public ::testing::TestWithParam<Dword> {};

TEST_P(RemoveDeviceReadErrorTest, AReadErrorEndsTheRemovalAndReleasesTheSet) {
  FakeDevicePlatform fake;
  fake.devices = {WithIds({"A"}), WithIds({kDev2})};
  fake.devices[0].read_error = GetParam();
  EXPECT_EQ(RemoveFromFake(fake, kDev2), Outcome::kFailed);
  EXPECT_TRUE(fake.removed.empty());
  EXPECT_EQ(fake.reads.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Errors, RemoveDeviceReadErrorTest,
                         ::testing::Values(Dword{5}, Dword{0}, Dword{259}));

TEST(RemoveDeviceTest, AFailedAllocationEndsTheRemoval) {
  FakeDevicePlatform fake;
  fake.devices = {WithIds({kDev2})};
  fake.devices[0].needed_size = 0xFFFFFFF0u;
  EXPECT_EQ(RemoveFromFake(fake, kDev2), Outcome::kFailed);
  EXPECT_TRUE(fake.removed.empty());
}

struct RemoveBytesCase {
  const char* name;
  std::string bytes;
  std::optional<Dword> reported;
  bool removed;
};
void PrintTo(const RemoveBytesCase& c, std::ostream* os) {
  *os << c.name;
}

class RemoveDeviceBytesTest : public ::testing::TestWithParam<RemoveBytesCase> {};

TEST_P(RemoveDeviceBytesTest, ComparesOnlyWholeIdsWithinTheReportedSize) {
  FakeDevicePlatform fake;
  fake.devices = {WithBytes(GetParam().bytes)};
  fake.devices[0].success_size = GetParam().reported;
  EXPECT_EQ(RemoveFromFake(fake, kDev2),
            GetParam().removed ? Outcome::kRemoved : Outcome::kNotPresent);
  EXPECT_EQ(fake.removed.size(), GetParam().removed ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemoveDeviceBytesTest,
    ::testing::Values(RemoveBytesCase{"WellFormed", "A\0MF\\HELMSIG_DEV2\0\0"s, std::nullopt, true},
                      RemoveBytesCase{"EndsAtTheIdsNul", "A\0MF\\HELMSIG_DEV2\0\0"s, 18, true},
                      RemoveBytesCase{"CutsTheIdsNul", "A\0MF\\HELMSIG_DEV2\0\0"s, 17, false},
                      RemoveBytesCase{"CutsALongerId", "MF\\HELMSIG_DEV20\0\0"s, 15, false},
                      RemoveBytesCase{"AfterTheEmptyString", "A\0\0MF\\HELMSIG_DEV2\0\0"s,
                                      std::nullopt, false},
                      RemoveBytesCase{"WithoutNul", "A\0MF\\HELMSIG_DEV2"s, std::nullopt, false}),
    [](const ::testing::TestParamInfo<RemoveBytesCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace devices
