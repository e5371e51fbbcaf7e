#include "platform/sim/sim_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failing_platform.h"
#include "platform/sim/operations.h"
#include "tests/support/sim_machine_test.h"
#include "tests/support/temp_machine.h"

namespace sim {
namespace {

using testing_support::SimDevice;
using testing_support::TempMachine;

/// A device information set of all present devices of all classes.
platform::Handle AllPresent(platform::Platform& p) {
  return p.SetupDiGetClassDevsA(platform::DIGCF_PRESENT | platform::DIGCF_ALLCLASSES);
}

TEST(SimPlatform, LooksUpPathsIgnoringLetterCase) {
  TempMachine m;
  m.WriteFile("D:\\NLS\\ENGLISH.NLS", "x");
  EXPECT_EQ(m.platform().HostPath("d:\\nls\\english.nls"), m.Host("D:\\NLS\\ENGLISH.NLS"));
  // A new name keeps the case it was given, below the part that exists.
  EXPECT_EQ(m.platform().HostPath("D:\\nls\\New\\File.txt"), m.Host("D:\\NLS\\New\\File.txt"));
  // Without a drive letter a path is on the current drive; ".." never leaves the drive.
  EXPECT_EQ(m.platform().HostPath("\\nls\\english.nls"), m.Host("C:\\nls\\english.nls"));
  EXPECT_EQ(m.platform().HostPath("D:\\..\\..\\nls\\english.nls"), m.Host("D:\\NLS\\ENGLISH.NLS"));
  m.machine.current_drive = "";
  EXPECT_EQ(m.platform().HostPath("\\nls"), std::filesystem::path());
}

TEST(SimPlatform, FindsTheProgramWhereWindowsWouldStartIt) {
  TempMachine m;
  m.machine.current_directory = "E:\\Driver Disk\\win2000";
  m.machine.current_drive = "E";
  const struct {
    const char* started_as;
    const char* module_path;  // empty: the call fails
  } cases[] = {
      {"D:\\win2000\\SETUP.EXE", "D:\\win2000\\SETUP.EXE"},
      {"SETUP", "E:\\Driver Disk\\win2000\\SETUP.EXE"},
      {"setup.exe", "E:\\Driver Disk\\win2000\\setup.exe"},
      {"win2000\\SETUP.EXE", "E:\\Driver Disk\\win2000\\win2000\\SETUP.EXE"},
      {"\\tools\\SETUP.EXE", "E:\\tools\\SETUP.EXE"},
      {"E:SETUP.EXE", "E:\\Driver Disk\\win2000\\SETUP.EXE"},
      {"D:SETUP.EXE", "D:\\SETUP.EXE"},
      {"", ""},
  };
  for (const auto& c : cases) {
    m.platform().SetProgramPath(c.started_as);
    EXPECT_EQ(m.platform().GetModuleFileNameA(), c.module_path) << c.started_as;
  }
  // A relative path lies below the current directory.
  EXPECT_EQ(m.platform().HostPath("..\\nls"), m.Host("E:\\Driver Disk\\nls"));

  // Without a current directory a bare name lies at the root of the current drive; without a
  // current drive, nowhere.
  m.machine.current_directory.clear();
  m.platform().SetProgramPath("SETUP");
  EXPECT_EQ(m.platform().GetModuleFileNameA(), "E:\\SETUP.EXE");
  m.machine.current_drive = "";
  EXPECT_EQ(m.platform().GetModuleFileNameA(), "");
  EXPECT_EQ(m.platform().GetLastError(), platform::kErrorFileNotFound);
  m.machine.current_drive = "E";
  m.machine.faults.push_back({"GetModuleFileNameA", std::nullopt, 122, 1});
  EXPECT_EQ(m.platform().GetModuleFileNameA(), "");
  EXPECT_EQ(m.platform().GetLastError(), 122u);
}

TEST(SimPlatform, CopyFileRespectsReadOnlyDestinationsAndNeverHalfWrites) {
  TempMachine m;
  m.WriteFile("D:\\a.txt", "new");
  m.WriteFile("C:\\b.txt", "old");
  sim::SimPlatform& p = m.platform();
  ASSERT_TRUE(p.SetFileAttributesA("C:\\b.txt", platform::FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(p.CopyFileA("D:\\a.txt", "C:\\B.TXT", 0));
  EXPECT_EQ(p.GetLastError(), platform::kErrorAccessDenied);
  ASSERT_TRUE(p.SetFileAttributesA("c:\\b.txt", platform::FILE_ATTRIBUTE_NORMAL));
  m.machine.faults.push_back({"CopyFileA", "C:\\b.txt\\", 112, 1});
  EXPECT_FALSE(p.CopyFileA("D:\\a.txt", "C:\\b.txt", 0));
  EXPECT_EQ(p.GetLastError(), 112u);
  EXPECT_EQ(*m.machine.faults[0].count, 0);
  EXPECT_TRUE(p.CopyFileA("D:\\a.txt", "C:\\b.txt", 0));
  std::ifstream in(m.Host("C:\\b.txt"));
  std::string text;
  in >> text;
  EXPECT_EQ(text, "new");
  EXPECT_FALSE(p.CopyFileA("D:\\missing", "C:\\b.txt", 0));
  EXPECT_EQ(p.GetLastError(), platform::kErrorFileNotFound);
  EXPECT_FALSE(p.CopyFileA("D:\\a.txt", "C:\\no\\b.txt", 0));
  EXPECT_EQ(p.GetLastError(), platform::kErrorPathNotFound);
  // No temporary file is left beside the destination.
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(m.Host("C:\\"))) {
    ++files;
  }
  EXPECT_EQ(files, 1u);
}

TEST(SimPlatform, HardwareIdsFollowTheMultiStringProtocol) {
  TempMachine m;
  m.machine.devices = {SimDevice({"AB", "C"}), Device{}, SimDevice({})};
  sim::SimPlatform& p = m.platform();
  const platform::Handle set = AllPresent(p);
  platform::DeviceInfoData data;
  platform::Dword required = 0;
  platform::Dword type = 0;
  unsigned char buffer[16] = {};
  const auto read_ids = [&](unsigned char* into, platform::Dword size) {
    return p.SetupDiGetDeviceRegistryPropertyA(set, data, platform::SPDRP_HARDWAREID, &type, into,
                                               size, &required);
  };
  ASSERT_TRUE(p.SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_FALSE(read_ids(nullptr, 0));
  EXPECT_EQ(p.GetLastError(), platform::kErrorInsufficientBuffer);
  EXPECT_EQ(required, 6u);
  ASSERT_TRUE(read_ids(buffer, sizeof buffer));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6), std::string("AB\0C\0\0", 6));
  ASSERT_TRUE(p.SetupDiEnumDeviceInfo(set, 1, &data));
  EXPECT_FALSE(read_ids(buffer, sizeof buffer));
  EXPECT_EQ(p.GetLastError(), platform::kErrorInvalidData);
  ASSERT_TRUE(p.SetupDiEnumDeviceInfo(set, 2, &data));
  ASSERT_TRUE(read_ids(buffer, sizeof buffer));
  EXPECT_EQ(required, 1u);
  EXPECT_FALSE(p.SetupDiEnumDeviceInfo(set, 3, &data));
  EXPECT_EQ(p.GetLastError(), platform::kErrorNoMoreItems);
  EXPECT_TRUE(p.SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(p.OpenHandleCount(), 0u);
}

TEST(SimPlatform, UpdateDriverAnswersAsTheServiceDoes) {
  TempMachine m;
  m.WriteFile("C:\\good.inf", "[Models]\n%D%=I,pci\\ven_1\n");
  m.WriteFile("C:\\other.inf", "[Models]\n%D%=I,PCI\\VEN_2\n");
  Device adapter = SimDevice({"PCI\\VEN_1&SUB", "PCI\\VEN_1"}, "reboot");
  adapter.children = {SimDevice({"MF\\CHILD"})};
  m.machine.devices = {adapter, SimDevice({"PCI\\VEN_9"}, "fail")};
  sim::SimPlatform& p = m.platform();
  platform::Bool reboot = 0;
  const auto update = [&](const char* id, const char* inf) {
    return p.UpdateDriverForPlugAndPlayDevicesA(id, inf, 1, &reboot);
  };
  const struct {
    const char* id;
    const char* inf;
    platform::Dword error;
  } failures[] = {
      {"PCI\\VEN_1", "C:\\missing.inf", platform::kErrorFileNotFound},
      {"PCI\\VEN_3", "C:\\good.inf", platform::kErrorNoSuchDevinst},
      {"PCI\\VEN_1", "C:\\other.inf", platform::kErrorNoDriverSelected},
  };
  for (const auto& f : failures) {
    EXPECT_FALSE(update(f.id, f.inf)) << f.id;
    EXPECT_EQ(p.GetLastError(), f.error) << f.id;
  }
  m.WriteFile("C:\\nine.inf", "PCI\\VEN_9");
  EXPECT_FALSE(update("PCI\\VEN_9", "C:\\nine.inf"));
  EXPECT_EQ(p.GetLastError(), platform::kErrorGenFailure);
  EXPECT_EQ(reboot, 0);
  EXPECT_EQ(m.machine.devices.size(), 2u);

  ASSERT_TRUE(update("pci\\ven_1", "C:\\good.inf"));
  EXPECT_EQ(reboot, 1);
  ASSERT_EQ(m.machine.devices.size(), 3u);
  EXPECT_EQ(*m.machine.devices[0].driver, "C:\\good.inf");
  EXPECT_EQ(m.machine.devices[1].hardware_ids->front(), "MF\\CHILD") << "right after its parent";
  // A second update brings no second set of children.
  ASSERT_TRUE(update("PCI\\VEN_1", "C:\\good.inf"));
  EXPECT_EQ(m.machine.devices.size(), 3u);
}

// --- Faults on device operations ----------------------------------------------------------------

// The second adapter as the example machine has it: its whole ID first, then the shorter one.
constexpr const char* kAdapterWholeId = "PCI\\VEN_7A3C&DEV_0B52&SUBSYS_02591014&REV_01";
constexpr const char* kAdapterId = "PCI\\VEN_7A3C&DEV_0B52";
constexpr const char* kOtherId = "MF\\HELMSIG_DEV0";
constexpr platform::Dword kFaultError = 1167;  // an error no device operation gives by itself

/// A machine with the adapter, then another device, and an INF that serves both.
void SetUpAdapterMachine(TempMachine& m) {
  m.machine.devices = {SimDevice({kAdapterWholeId, kAdapterId}), SimDevice({kOtherId})};
  m.WriteFile("C:\\orvan.inf", std::string(kAdapterId) + "\n" + kOtherId + "\n");
}

struct UpdateFaultCase {
  const char* name;
  const char* fault_path;
  const char* updated_id;  // the hardware ID passed to the update
  bool fails;              // with the fault's error
};
void PrintTo(const UpdateFaultCase& c, std::ostream* out) {
  *out << c.name;
}

class UpdateDriverFaultTest : public ::testing::TestWithParam<UpdateFaultCase> {};

TEST_P(UpdateDriverFaultTest, MatchesAnyHardwareIdTheUpdatedDeviceCarries) {
  const UpdateFaultCase& c = GetParam();
  TempMachine m;
  SetUpAdapterMachine(m);
  m.machine.faults.push_back({"UpdateDriverForPlugAndPlayDevicesA", c.fault_path, kFaultError, 1});
  sim::SimPlatform& p = m.platform();
  platform::Bool reboot = 0;
  const platform::Bool updated =
      p.UpdateDriverForPlugAndPlayDevicesA(c.updated_id, "C:\\orvan.inf", 1, &reboot);
  ASSERT_FALSE(m.journal.empty());
  const Json& entry = m.journal.back();
  EXPECT_EQ(entry["op"], "UpdateDriverForPlugAndPlayDevicesA");
  if (c.fails) {
    EXPECT_FALSE(updated);
    EXPECT_EQ(p.GetLastError(), kFaultError);
    EXPECT_EQ(entry["ok"], false);
    EXPECT_EQ(entry["error"], kFaultError);
    EXPECT_EQ(*m.machine.faults[0].count, 0) << "the failure is counted";
    for (const Device& device : m.machine.devices)
      EXPECT_FALSE(device.driver) << "nothing installed";
  } else {
    EXPECT_TRUE(updated);
    EXPECT_EQ(entry["ok"], true);
    EXPECT_EQ(*m.machine.faults[0].count, 1) << "the fault did not fire";
  }
}

INSTANTIATE_TEST_SUITE_P(
    SimPlatform, UpdateDriverFaultTest,
    ::testing::Values(
        UpdateFaultCase{"ShorterIdFailsTheUpdateByTheWholeId", kAdapterId, kAdapterWholeId, true},
        UpdateFaultCase{"WholeIdFailsTheUpdateByTheShorterId", kAdapterWholeId, kAdapterId, true},
        UpdateFaultCase{"TheIdPassedFailsItsUpdate", kAdapterId, kAdapterId, true},
        UpdateFaultCase{"LetterCaseAndATrailingBackslashAreIgnored", "pci\\ven_7a3c&dev_0b52\\",
                        kAdapterWholeId, true},
        UpdateFaultCase{"AnIdTheDeviceDoesNotCarryLeavesItsUpdateAlone", kAdapterId, kOtherId,
                        false},
        UpdateFaultCase{"APartOfAnIdIsNoMatch", "PCI\\VEN_7A3C", kAdapterWholeId, false},
        UpdateFaultCase{"APartOfTheIdPassedIsNoMatch", "PCI\\VEN_7A3C&DEV_0B52&SUBSYS_02591014",
                        kAdapterId, false}),
    [](const ::testing::TestParamInfo<UpdateFaultCase>& info) { return info.param.name; });

TEST(SimPlatform, UpdateDriverFaultOnAnIdNoDeviceCarriesFailsWithTheFaultsError) {
  TempMachine m;
  SetUpAdapterMachine(m);
  m.machine.faults.push_back(
      {"UpdateDriverForPlugAndPlayDevicesA", "PCI\\VEN_FFFF", kFaultError, std::nullopt});
  platform::Bool reboot = 0;
  sim::SimPlatform& p = m.platform();
  EXPECT_FALSE(p.UpdateDriverForPlugAndPlayDevicesA("pci\\ven_ffff", "C:\\orvan.inf", 1, &reboot));
  EXPECT_EQ(p.GetLastError(), kFaultError);
  // Without the fault the same call finds no device.
  m.machine.faults.clear();
  EXPECT_FALSE(p.UpdateDriverForPlugAndPlayDevicesA("PCI\\VEN_FFFF", "C:\\orvan.inf", 1, &reboot));
  EXPECT_EQ(p.GetLastError(), platform::kErrorNoSuchDevinst);
}

/// Which device operations fail, device by device, under a fault on `op` at `path`: for each
/// present device in order, whether enumerating it, reading its hardware IDs or removing it
/// failed with the fault's error.
struct DeviceCallsFailed {
  std::vector<bool> enumerate, read, remove;
};

DeviceCallsFailed RunDeviceCallsUnderFault(const std::string& op, const std::string& path) {
  TempMachine m;
  SetUpAdapterMachine(m);
  m.machine.faults.push_back({op, path, kFaultError, std::nullopt});
  sim::SimPlatform& p = m.platform();
  DeviceCallsFailed failed;
  const std::size_t count = m.machine.devices.size();
  // Removal takes the device out of the machine: remove from the last device back, each with a
  // set of its own, so that every device is tried.
  for (std::size_t i = 0; i < count; ++i) {
    const platform::Handle set = AllPresent(p);
    EXPECT_NE(set, platform::kInvalidHandleValue);
    platform::DeviceInfoData data;
    const auto index = static_cast<platform::Dword>(i);
    const bool enumerated = p.SetupDiEnumDeviceInfo(set, index, &data) != 0;
    failed.enumerate.push_back(!enumerated && p.GetLastError() == kFaultError);
    if (enumerated) {
      unsigned char buffer[256] = {};
      platform::Dword required = 0;
      const bool read = p.SetupDiGetDeviceRegistryPropertyA(
          set, data, platform::SPDRP_HARDWAREID, nullptr, buffer, sizeof buffer, &required);
      failed.read.push_back(!read && p.GetLastError() == kFaultError);
    } else {
      failed.read.push_back(false);
    }
    EXPECT_TRUE(p.SetupDiDestroyDeviceInfoList(set));
  }
  for (std::size_t i = count; i-- > 0;) {
    const platform::Handle set = AllPresent(p);
    platform::DeviceInfoData data;
    bool removal_failed = false;
    if (p.SetupDiEnumDeviceInfo(set, static_cast<platform::Dword>(i), &data)) {
      removal_failed = !p.SetupDiCallClassInstaller(platform::DIF_REMOVE, set, data) &&
                       p.GetLastError() == kFaultError;
    }
    failed.remove.insert(failed.remove.begin(), removal_failed);
    EXPECT_TRUE(p.SetupDiDestroyDeviceInfoList(set));
  }
  return failed;
}

TEST(SimPlatform, DeviceOperationFaultsMatchAnyHardwareIdTheDeviceCarries) {
  const std::vector<bool> adapter_only = {true, false};
  const std::vector<bool> none = {false, false};
  const struct {
    const char* op;
    const char* path;
    DeviceCallsFailed expected;
  } cases[] = {
      // The adapter's later ID, its whole ID, and the shorter one written otherwise.
      {"SetupDiEnumDeviceInfo", kAdapterId, {adapter_only, none, none}},
      {"SetupDiEnumDeviceInfo", kAdapterWholeId, {adapter_only, none, none}},
      {"SetupDiGetDeviceRegistryPropertyA", kAdapterId, {none, adapter_only, none}},
      {"SetupDiGetDeviceRegistryPropertyA", "pci\\VEN_7a3c&dev_0b52\\", {none, adapter_only, none}},
      {"SetupDiCallClassInstaller", kAdapterId, {none, none, adapter_only}},
      {"SetupDiCallClassInstaller", kAdapterWholeId, {none, none, adapter_only}},
      // Only a whole ID matches.
      {"SetupDiGetDeviceRegistryPropertyA", "PCI\\VEN_7A3C", {none, none, none}},
      {"SetupDiCallClassInstaller", "PCI\\VEN_7A3C&DEV_0B5", {none, none, none}},
      // The other device, by its one ID.
      {"SetupDiCallClassInstaller", kOtherId, {none, none, {false, true}}},
  };
  for (const auto& c : cases) {
    const DeviceCallsFailed failed = RunDeviceCallsUnderFault(c.op, c.path);
    EXPECT_EQ(failed.enumerate, c.expected.enumerate) << c.op << " " << c.path;
    EXPECT_EQ(failed.read, c.expected.read) << c.op << " " << c.path;
    EXPECT_EQ(failed.remove, c.expected.remove) << c.op << " " << c.path;
  }
}

// --- The Windows directory, version, WOW64, command line and clock -----------------------------

TEST(SimPlatform, AnswersAsWindows2000AndJournalsTheAnswers) {
  TempMachine m;
  m.machine.system_directory = "C:\\WINNT\\system32";
  sim::SimPlatform& p = m.platform();
  EXPECT_EQ(p.GetWindowsDirectoryA(), "C:\\WINNT");
  EXPECT_EQ(m.journal.back(),
            (Json{{"op", "GetWindowsDirectoryA"}, {"ok", true}, {"path", "C:\\WINNT"}}));
  m.machine.windows_directory = "D:\\Windows";
  EXPECT_EQ(p.GetWindowsDirectoryA(), "D:\\Windows");

  platform::OsVersionInfo version;
  ASSERT_TRUE(p.GetVersionExA(&version));
  EXPECT_EQ(version.major_version, 5u);
  EXPECT_EQ(version.minor_version, 0u);
  EXPECT_EQ(version.build_number, 2195u);
  EXPECT_EQ(version.platform_id, 2u);
  EXPECT_EQ(version.csd_version, "Service Pack 4");
  EXPECT_EQ(m.journal.back(), (Json{{"op", "GetVersionExA"},
                                    {"ok", true},
                                    {"major", 5},
                                    {"minor", 0},
                                    {"build", 2195},
                                    {"platform_id", 2},
                                    {"csd_version", "Service Pack 4"}}));

  // Windows 2000 has no IsWow64Process; a machine that says so runs the program under WOW64.
  platform::Bool wow64 = 7;
  EXPECT_FALSE(p.IsWow64Process(&wow64));
  EXPECT_EQ(p.GetLastError(), platform::kErrorProcNotFound);
  EXPECT_EQ(wow64, 7) << "left alone";
  EXPECT_EQ(m.journal.back(), (Json{{"op", "IsWow64Process"}, {"ok", false}, {"error", 127}}));
  m.machine.wow64 = true;
  ASSERT_TRUE(p.IsWow64Process(&wow64));
  EXPECT_EQ(wow64, 1);
  EXPECT_EQ(m.journal.back(), (Json{{"op", "IsWow64Process"}, {"ok", true}, {"wow64", true}}));

  EXPECT_EQ(p.GetCommandLineA(), "");
  p.SetCommandLine("\"E:\\Driver Disk\\SETUP.EXE\" /Q");
  EXPECT_EQ(p.GetCommandLineA(), "\"E:\\Driver Disk\\SETUP.EXE\" /Q");
  EXPECT_EQ(m.journal.back(), (Json{{"op", "GetCommandLineA"},
                                    {"ok", true},
                                    {"command_line", "\"E:\\Driver Disk\\SETUP.EXE\" /Q"}}));
}

TEST(SimPlatform, TheClockMovesOnlyBySleep) {
  const struct {
    const char* start;
    std::vector<platform::Dword> sleeps;
    bool virtual_sleep;
    const char* end;
    platform::Word day_of_week;  // at the end; 0: Sunday
  } cases[] = {
      {"2000-01-01 00:00:00.000", {}, true, "2000-01-01 00:00:00.000", 6},
      {"2000-01-01 00:00:00.000", {1, 999, 60000}, true, "2000-01-01 00:01:01.000", 6},
      // Past midnight at the end of a year, and past a leap day.
      {"1999-12-31 23:59:59.900", {100}, true, "2000-01-01 00:00:00.000", 6},
      {"2024-02-28 23:00:00.000", {3600000}, true, "2024-02-29 00:00:00.000", 4},
      {"2026-12-09 18:40:50.999", {4294967295u}, true, "2027-01-28 11:43:38.294", 4},
      // The clock stops at the last moment machine.json can hold.
      {"9999-12-31 23:59:59.000", {999, 1, 4294967295u}, true, "9999-12-31 23:59:59.999", 5},
      // A real sleep moves it on by what was asked, not by what the host took.
      {"2000-01-01 00:00:00.000", {20, 30}, false, "2000-01-01 00:00:00.050", 6},
  };
  for (const auto& c : cases) {
    TempMachine m;
    m.machine.clock = *ParseClock(c.start);
    m.machine.virtual_sleep = c.virtual_sleep;
    sim::SimPlatform& p = m.platform();
    platform::SystemTime before;
    p.GetLocalTime(&before);
    EXPECT_EQ(FormatClock(m.machine.clock), c.start) << "reading it moves nothing";
    for (const platform::Dword milliseconds : c.sleeps) p.Sleep(milliseconds);
    platform::SystemTime now;
    p.GetLocalTime(&now);
    const platform::SystemTime expected = ToSystemTime(*ParseClock(c.end));
    EXPECT_EQ(std::vector<int>({now.year, now.month, now.day, now.hour, now.minute, now.second,
                                now.milliseconds}),
              std::vector<int>({expected.year, expected.month, expected.day, expected.hour,
                                expected.minute, expected.second, expected.milliseconds}))
        << c.start;
    EXPECT_EQ(now.day_of_week, c.day_of_week) << c.end;
    EXPECT_EQ(m.journal.back(), (Json{{"op", "GetLocalTime"}, {"ok", true}, {"time", c.end}}));
    // The time reached is what the machine writes back.
    EXPECT_EQ(MachineToJson(m.machine)["clock"], c.end);
  }
}

// --- Appending to a file, renaming one ---------------------------------------------------------

constexpr platform::Dword kShareReadWrite = platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE;

platform::Handle OpenToAppend(platform::Platform& p, std::string_view path,
                              platform::Dword share = kShareReadWrite) {
  return p.CreateFileA(path, platform::FILE_APPEND_DATA, share, platform::OPEN_ALWAYS);
}

TEST(SimPlatform, CreateFileOpensOnlyToAppendAndAnswersAsWindows) {
  const struct {
    const char* name;
    const char* path;
    platform::Dword access = platform::FILE_APPEND_DATA;
    platform::Dword disposition = platform::OPEN_ALWAYS;
    platform::Dword share = kShareReadWrite;
    platform::Dword error = 0;  // 0: opened, then the last error says whether it was there
    platform::Dword last_error = 0;
    const char* current_drive = "C";
  } cases[] = {
      {.name = "a missing file is created", .path = "C:\\WINNT\\new.log"},
      {.name = "an existing file is opened", .path = "C:\\WINNT\\old.log", .last_error = 183},
      {.name = "letter case is ignored", .path = "c:\\winnt\\OLD.LOG", .last_error = 183},
      {.name = "on the current drive", .path = "\\WINNT\\new.log"},
      {.name = "read-only", .path = "C:\\WINNT\\read-only.log", .error = 5},
      {.name = "a folder", .path = "C:\\WINNT", .error = 5},
      {.name = "its folder missing", .path = "C:\\missing\\new.log", .error = 3},
      {.name = "a drive with no folder", .path = "Q:\\new.log", .error = 3},
      {.name = "a UNC path", .path = "\\\\server\\share\\new.log", .error = 53},
      {.name = "no drive", .path = "new.log", .error = 53, .current_drive = ""},
      {.name = "write access", .path = "C:\\WINNT\\new.log", .access = 0x40000000, .error = 87},
      {.name = "create always", .path = "C:\\WINNT\\new.log", .disposition = 2, .error = 87},
      {.name = "an unknown share bit", .path = "C:\\WINNT\\new.log", .share = 0x10, .error = 87},
  };
  for (const auto& c : cases) {
    TempMachine m;
    m.WriteFile("C:\\WINNT\\old.log", "old\n");
    m.WriteFile("C:\\WINNT\\read-only.log", "old\n");
    std::filesystem::permissions(m.Host("C:\\WINNT\\read-only.log"),
                                 std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    m.machine.current_drive = c.current_drive;
    sim::SimPlatform& p = m.platform();
    p.SetLastError(0x1234);  // an earlier error, which an open of a new file clears
    const platform::Handle file = p.CreateFileA(c.path, c.access, c.share, c.disposition);
    ASSERT_FALSE(m.journal.empty()) << c.name;
    EXPECT_EQ(m.journal.back()["op"], "CreateFileA") << c.name;
    EXPECT_EQ(m.journal.back()["path"], c.path) << c.name;
    if (c.error != 0) {
      EXPECT_EQ(file, platform::kInvalidHandleValue) << c.name;
      EXPECT_EQ(p.GetLastError(), c.error) << c.name;
      EXPECT_EQ(m.journal.back()["error"], c.error) << c.name;
      EXPECT_FALSE(std::filesystem::exists(m.Host("C:\\WINNT\\new.log"))) << c.name;
      EXPECT_EQ(testing_support::ReadHostFile(m.Host("C:\\WINNT\\read-only.log")), "old\n");
      continue;
    }
    ASSERT_NE(file, platform::kInvalidHandleValue) << c.name;
    EXPECT_EQ(p.GetLastError(), c.last_error) << c.name;
    EXPECT_EQ(m.journal.back()["ok"], true) << c.name;
    platform::Dword written = 0;
    ASSERT_TRUE(p.WriteFile(file, "line\n", &written)) << c.name;
    EXPECT_EQ(written, 5u);
    EXPECT_TRUE(p.CloseHandle(file));
    const std::string expected = c.last_error == 183 ? "old\nline\n" : "line\n";
    EXPECT_EQ(testing_support::ReadHostFile(p.HostPath(c.path)), expected) << c.name;
    EXPECT_EQ(p.OpenHandleCount(), 0u);
  }
}

TEST(SimPlatform, AppendsFromEveryHandleAtTheEndAsItIsThen) {
  TempMachine m;
  sim::SimPlatform& p = m.platform();
  const platform::Handle first = OpenToAppend(p, "C:\\setup.log");
  const platform::Handle second = OpenToAppend(p, "C:\\SETUP.LOG");
  ASSERT_NE(first, platform::kInvalidHandleValue);
  ASSERT_NE(second, platform::kInvalidHandleValue);
  EXPECT_EQ(p.GetLastError(), platform::kErrorAlreadyExists);
  platform::Dword written = 0;
  EXPECT_TRUE(p.WriteFile(first, "one\n", &written));
  EXPECT_TRUE(p.WriteFile(second, "two\n", &written));
  // Another process appends too.
  std::ofstream(m.Host("C:\\setup.log"), std::ios::app) << "other\n";
  EXPECT_TRUE(p.WriteFile(first, "three\n", &written));
  EXPECT_TRUE(p.WriteFile(second, "", &written));
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(testing_support::ReadHostFile(m.Host("C:\\setup.log")), "one\ntwo\nother\nthree\n");
  EXPECT_EQ(testing_support::Ops(m.journal, "WriteFile")[2],
            (Json{{"op", "WriteFile"}, {"path", "C:\\setup.log"}, {"bytes", 6}, {"ok", true}}));

  // A handle that lets nobody else write cannot be had while another is open, nor the other
  // way round.
  EXPECT_EQ(OpenToAppend(p, "C:\\setup.log", platform::FILE_SHARE_READ),
            platform::kInvalidHandleValue);
  EXPECT_EQ(p.GetLastError(), platform::kErrorSharingViolation);
  EXPECT_TRUE(p.CloseHandle(first));
  EXPECT_TRUE(p.CloseHandle(second));
  const platform::Handle alone = OpenToAppend(p, "C:\\setup.log", platform::FILE_SHARE_READ);
  ASSERT_NE(alone, platform::kInvalidHandleValue);
  EXPECT_EQ(OpenToAppend(p, "C:\\setup.log"), platform::kInvalidHandleValue);
  EXPECT_EQ(p.GetLastError(), platform::kErrorSharingViolation);
  EXPECT_TRUE(p.CloseHandle(alone));

  // A closed or a strange handle writes nothing.
  EXPECT_FALSE(p.WriteFile(alone, "x", &written));
  EXPECT_EQ(p.GetLastError(), platform::kErrorInvalidHandle);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(m.journal.back(),
            (Json{{"op", "WriteFile"}, {"path", ""}, {"bytes", 1}, {"ok", false}, {"error", 6}}));
  EXPECT_FALSE(p.CloseHandle(alone));
  EXPECT_EQ(p.OpenHandleCount(), 0u);
}

TEST(SimPlatform, MoveFileExRenamesAndReplacesAsWindowsDoes) {
  constexpr platform::Dword kReplace = platform::MOVEFILE_REPLACE_EXISTING;
  const struct {
    const char* name;
    const char* from;
    const char* to;
    platform::Dword flags = kReplace;
    platform::Dword error = 0;
    bool hold_open = false;  // the source is held open to append
  } cases[] = {
      {.name = "replaces a target", .from = "C:\\a.log", .to = "C:\\b.log"},
      {.name = "to a new name", .from = "C:\\a.log", .to = "C:\\new.log"},
      {.name = "into another folder", .from = "c:\\A.LOG", .to = "C:\\sub\\a.log"},
      {.name = "only the case", .from = "C:\\a.log", .to = "C:\\A.LOG"},
      {.name = "a target without the flag",
       .from = "C:\\a.log",
       .to = "C:\\b.log",
       .flags = 0,
       .error = 183},
      {.name = "a read-only target", .from = "C:\\a.log", .to = "C:\\ro.log", .error = 5},
      {.name = "a missing source", .from = "C:\\none.log", .to = "C:\\b.log", .error = 2},
      {.name = "a missing source folder", .from = "C:\\none\\a.log", .to = "C:\\b.log", .error = 3},
      {.name = "a missing target folder", .from = "C:\\a.log", .to = "C:\\none\\b.log", .error = 3},
      {.name = "to another drive", .from = "C:\\a.log", .to = "D:\\a.log", .error = 17},
      {.name = "a UNC target", .from = "C:\\a.log", .to = "\\\\server\\share\\a.log", .error = 53},
      {.name = "a file held open",
       .from = "C:\\a.log",
       .to = "C:\\b.log",
       .error = 32,
       .hold_open = true},
      {.name = "other flags", .from = "C:\\a.log", .to = "C:\\b.log", .flags = 0x3, .error = 87},
  };
  for (const auto& c : cases) {
    TempMachine m;
    m.WriteFile("C:\\a.log", "a\n");
    m.WriteFile("C:\\b.log", "b\n");
    m.WriteFile("C:\\ro.log", "ro\n");
    m.WriteFile("C:\\sub\\keep.txt", "");
    m.WriteFile("D:\\d.txt", "");
    std::filesystem::permissions(m.Host("C:\\ro.log"), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    sim::SimPlatform& p = m.platform();
    const platform::Handle held =
        c.hold_open ? OpenToAppend(p, "C:\\a.log") : platform::kInvalidHandleValue;
    const platform::Bool moved = p.MoveFileExA(c.from, c.to, c.flags);
    EXPECT_EQ(m.journal.back()["op"], "MoveFileExA") << c.name;
    EXPECT_EQ(m.journal.back()["from"], c.from) << c.name;
    EXPECT_EQ(m.journal.back()["to"], c.to) << c.name;
    EXPECT_EQ(m.journal.back()["flags"], c.flags) << c.name;
    if (c.error != 0) {
      EXPECT_FALSE(moved) << c.name;
      EXPECT_EQ(p.GetLastError(), c.error) << c.name;
      EXPECT_EQ(testing_support::ReadHostFile(m.Host("C:\\a.log")), "a\n") << c.name;
      EXPECT_EQ(testing_support::ReadHostFile(m.Host("C:\\b.log")), "b\n") << c.name;
      EXPECT_EQ(testing_support::ReadHostFile(m.Host("C:\\ro.log")), "ro\n") << c.name;
    } else {
      EXPECT_TRUE(moved) << c.name;
      EXPECT_EQ(testing_support::ReadHostFile(p.HostPath(c.to)), "a\n") << c.name;
      // The new name is the one given, letter case and all; the old one is gone.
      const std::filesystem::path target = p.HostPath(c.to);
      EXPECT_EQ(target.filename().string(),
                std::string_view(c.to).substr(std::string_view(c.to).rfind('\\') + 1))
          << c.name;
      std::size_t logs = 0;
      for (const auto& entry : std::filesystem::directory_iterator(target.parent_path())) {
        logs += testing_support::ReadHostFile(entry.path()) == "a\n";
      }
      EXPECT_EQ(logs, 1u) << c.name;
    }
    if (held != platform::kInvalidHandleValue) {
      EXPECT_TRUE(p.CloseHandle(held));
    }
  }
}

// --- Faults: every operation a fault can name ---------------------------------------------------

/// A call of one operation on a machine that SetUpFaultMachine laid out; true when it succeeded.
using OperationCall = std::function<bool(TempMachine&)>;

void SetUpFaultMachine(TempMachine& m) {
  m.machine.devices = {SimDevice({kAdapterWholeId, kAdapterId})};
  m.machine.wow64 = true;
  m.WriteFile("C:\\orvan.inf", kAdapterId);
  m.WriteFile("C:\\a.txt", "a");
  m.WriteFile("C:\\run.sh", "#!/bin/sh\nexit 0\n");
  std::filesystem::permissions(m.Host("C:\\run.sh"), std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  m.platform().SetProgramPath("D:\\SETUP.EXE");
}

/// Starts C:\run.sh and hands its process to `use`; closes the handles afterwards.
bool WithProcess(TempMachine& m, const std::function<bool(platform::Handle)>& use) {
  platform::ProcessInformation process;
  if (!m.platform().CreateProcessA("C:\\run.sh", 0, platform::StartupInfo{}, &process)) {
    return false;
  }
  const bool ok = use(process.process);
  m.platform().WaitForSingleObject(process.process, platform::INFINITE);
  m.platform().CloseHandle(process.process);
  m.platform().CloseHandle(process.thread);
  return ok;
}

/// The first device of a set of all present ones, handed to `use`; the set is destroyed after.
bool WithDevice(TempMachine& m,
                const std::function<bool(platform::Handle, platform::DeviceInfoData&)>& use) {
  const platform::Handle set = AllPresent(m.platform());
  if (set == platform::kInvalidHandleValue) return false;
  platform::DeviceInfoData data;
  bool ok = m.platform().SetupDiEnumDeviceInfo(set, 0, &data) != 0;
  if (ok) ok = use(set, data);
  m.platform().SetupDiDestroyDeviceInfoList(set);
  return ok;
}

const struct {
  std::string_view op;
  const char* path;  // the fault's path (nullptr: any)
  OperationCall call;
} kFaultCases[] = {
    {op::kGetSystemDirectoryA, nullptr,
     [](TempMachine& m) { return !m.platform().GetSystemDirectoryA().empty(); }},
    {op::kGetModuleFileNameA, "D:\\SETUP.EXE",
     [](TempMachine& m) { return !m.platform().GetModuleFileNameA().empty(); }},
    {op::kGetWindowsDirectoryA, nullptr,
     [](TempMachine& m) { return !m.platform().GetWindowsDirectoryA().empty(); }},
    {op::kGetVersionExA, nullptr,
     [](TempMachine& m) {
       platform::OsVersionInfo version;
       return m.platform().GetVersionExA(&version) != 0;
     }},
    {op::kIsWow64Process, nullptr,
     [](TempMachine& m) {
       platform::Bool wow64 = 0;
       return m.platform().IsWow64Process(&wow64) != 0;
     }},
    {op::kGetConsoleMode, nullptr,
     [](TempMachine& m) {
       // Without a console to wait on either way: the fault shows in the last error.
       m.platform().SetLastError(0);
       m.platform().WaitForKeyPress();
       return m.platform().GetLastError() == 0;
     }},
    {op::kCreateFileA, "C:\\a.txt",
     [](TempMachine& m) {
       const platform::Handle file = OpenToAppend(m.platform(), "C:\\A.TXT");
       if (file == platform::kInvalidHandleValue) return false;
       return m.platform().CloseHandle(file) != 0;
     }},
    {op::kFindFirstFileA, "C:\\a.txt",
     [](TempMachine& m) {
       const platform::Handle found = m.platform().FindFirstFileA("C:\\a.txt");
       return found != platform::kInvalidHandleValue && m.platform().FindClose(found) != 0;
     }},
    {op::kCreateDirectoryA, "C:\\new\\",
     [](TempMachine& m) { return m.platform().CreateDirectoryA("C:\\new") != 0; }},
    {op::kSetFileAttributesA, "C:\\a.txt",
     [](TempMachine& m) {
       return m.platform().SetFileAttributesA("C:\\a.txt", platform::FILE_ATTRIBUTE_NORMAL) != 0;
     }},
    {op::kCopyFileA, "C:\\b.txt",
     [](TempMachine& m) { return m.platform().CopyFileA("C:\\a.txt", "C:\\b.txt", 0) != 0; }},
    {op::kWriteFile, "c:\\a.txt",
     [](TempMachine& m) {
       const platform::Handle file = OpenToAppend(m.platform(), "C:\\a.txt");
       platform::Dword written = 0;
       const bool ok = m.platform().WriteFile(file, "x", &written) != 0;
       m.platform().CloseHandle(file);
       return ok && written == 1;
     }},
    {op::kMoveFileExA, "C:\\b.txt",
     [](TempMachine& m) {
       return m.platform().MoveFileExA("C:\\a.txt", "C:\\b.txt",
                                       platform::MOVEFILE_REPLACE_EXISTING) != 0 &&
              m.platform().MoveFileExA("C:\\b.txt", "C:\\a.txt", 0) != 0;
     }},
    {op::kSetupDiGetClassDevsA, nullptr,
     [](TempMachine& m) {
       return WithDevice(m, [](platform::Handle, platform::DeviceInfoData&) { return true; });
     }},
    {op::kSetupDiEnumDeviceInfo, kAdapterId,
     [](TempMachine& m) {
       return WithDevice(m, [](platform::Handle, platform::DeviceInfoData&) { return true; });
     }},
    {op::kSetupDiGetDeviceRegistryPropertyA, kAdapterId,
     [](TempMachine& m) {
       return WithDevice(m, [&m](platform::Handle set, platform::DeviceInfoData& data) {
         unsigned char buffer[256] = {};
         return m.platform().SetupDiGetDeviceRegistryPropertyA(set, data,
                                                               platform::SPDRP_HARDWAREID, nullptr,
                                                               buffer, sizeof buffer, nullptr) != 0;
       });
     }},
    {op::kSetupDiCallClassInstaller, kAdapterWholeId,
     [](TempMachine& m) {
       return WithDevice(m, [&m](platform::Handle set, platform::DeviceInfoData& data) {
         return m.platform().SetupDiCallClassInstaller(platform::DIF_REMOVE, set, data) != 0;
       });
     }},
    {op::kUpdateDriverForPlugAndPlayDevicesA, kAdapterId,
     [](TempMachine& m) {
       platform::Bool reboot = 0;
       return m.platform().UpdateDriverForPlugAndPlayDevicesA(kAdapterId, "C:\\orvan.inf", 1,
                                                              &reboot) != 0;
     }},
    {op::kCreateProcessA, "C:\\run.sh",
     [](TempMachine& m) { return WithProcess(m, [](platform::Handle) { return true; }); }},
    {op::kWaitForSingleObject, nullptr,
     [](TempMachine& m) {
       return WithProcess(m, [&m](platform::Handle process) {
         return m.platform().WaitForSingleObject(process, platform::INFINITE) ==
                platform::WAIT_OBJECT_0;
       });
     }},
    {op::kGetExitCodeProcess, nullptr,
     [](TempMachine& m) {
       return WithProcess(m, [&m](platform::Handle process) {
         m.platform().WaitForSingleObject(process, platform::INFINITE);
         platform::Dword code = 1;
         return m.platform().GetExitCodeProcess(process, &code) != 0 && code == 0;
       });
     }},
    {op::kRegCreateKeyExA, "HKEY_LOCAL_MACHINE\\SOFTWARE\\K",
     [](TempMachine& m) {
       platform::Handle key = platform::kNullHandle;
       return m.platform().RegCreateKeyExA(platform::HKEY_LOCAL_MACHINE, "SOFTWARE\\K", 0,
                                           platform::KEY_ALL_ACCESS, &key) == 0 &&
              m.platform().RegCloseKey(key) == 0;
     }},
    {op::kRegSetValueExA, "Setup",
     [](TempMachine& m) {
       platform::Handle key = platform::kNullHandle;
       if (m.platform().RegCreateKeyExA(platform::HKEY_LOCAL_MACHINE, "SOFTWARE\\K", 0,
                                        platform::KEY_ALL_ACCESS, &key) != 0) {
         return false;
       }
       const unsigned char data[] = "x";
       const bool ok =
           m.platform().RegSetValueExA(key, "Setup", platform::REG_SZ, data, sizeof data) == 0;
       m.platform().RegCloseKey(key);
       return ok;
     }},
};

TEST(SimPlatform, AFaultFailsEachOperationItNamesOnceWithItsError) {
  for (const auto& c : kFaultCases) {
    SCOPED_TRACE(c.op);
    {
      TempMachine m;
      SetUpFaultMachine(m);
      m.machine.faults.push_back({std::string(c.op),
                                  c.path ? std::optional<std::string>(c.path) : std::nullopt,
                                  kFaultError, 1});
      const std::size_t before = m.journal.size();
      EXPECT_FALSE(c.call(m));
      EXPECT_EQ(*m.machine.faults[0].count, 0) << "the fault fired";
      // Its failure is journaled where the operation journals anything.
      const auto failed =
          std::find_if(m.journal.begin() + static_cast<std::ptrdiff_t>(before), m.journal.end(),
                       [](const Json& entry) { return entry.value("error", 0u) == kFaultError; });
      if (failed != m.journal.end()) {
        EXPECT_EQ((*failed)["ok"], false);
      }
      // The fault is spent: the same call now succeeds.
      EXPECT_TRUE(c.call(m));
    }
    {
      // Without the fault the call succeeds at once, so the failure above was the fault's.
      TempMachine m;
      SetUpFaultMachine(m);
      EXPECT_TRUE(c.call(m));
    }
    if (c.path != nullptr) {
      // A fault on another path leaves the call alone.
      TempMachine m;
      SetUpFaultMachine(m);
      m.machine.faults.push_back({std::string(c.op), "C:\\elsewhere", kFaultError, 1});
      EXPECT_TRUE(c.call(m));
      EXPECT_EQ(*m.machine.faults[0].count, 1);
    }
  }
}

TEST(SimPlatform, EveryOperationAFaultCanNameHasAFaultCase) {
  for (const std::string_view op : kFaultableOperations) {
    EXPECT_TRUE(std::ranges::any_of(kFaultCases, [&](const auto& c) { return c.op == op; }))
        << op << " is missing from kFaultCases";
  }
  for (const auto& c : kFaultCases) EXPECT_TRUE(IsKnownOperation(c.op)) << c.op;
}

TEST(SimPlatform, FaultsOnTheNewFileOperationsMatchTheirPaths) {
  TempMachine m;
  m.WriteFile("C:\\a.log", "");
  sim::SimPlatform& p = m.platform();
  m.machine.faults = {{"MoveFileExA", "C:\\A.LOG\\", kFaultError, 1},
                      {"WriteFile", "C:\\b.log", platform::kErrorDiskFull, std::nullopt}};
  // MoveFileExA by its source as well as by its target (the table above tries the target).
  EXPECT_FALSE(p.MoveFileExA("C:\\a.log", "C:\\b.log", platform::MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(p.GetLastError(), kFaultError);
  ASSERT_TRUE(p.MoveFileExA("C:\\a.log", "C:\\b.log", platform::MOVEFILE_REPLACE_EXISTING));
  // WriteFile by the path its file was opened by.
  const platform::Handle file = OpenToAppend(p, "c:\\B.log");
  platform::Dword written = 9;
  EXPECT_FALSE(p.WriteFile(file, "x", &written));
  EXPECT_EQ(p.GetLastError(), platform::kErrorDiskFull);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(m.journal.back(), (Json{{"op", "WriteFile"},
                                    {"path", "c:\\B.log"},
                                    {"bytes", 1},
                                    {"ok", false},
                                    {"error", platform::kErrorDiskFull}}));
  EXPECT_EQ(testing_support::ReadHostFile(m.Host("C:\\b.log")), "");
  EXPECT_TRUE(p.CloseHandle(file));
}

// --- The tests' failing platform against the simulated machine ---------------------------------

/// What an operation gave back (its result and what it wrote to the caller's records) and the
/// last-error value after it.
struct Answer {
  std::vector<long long> values;
  platform::Dword last_error = 0;
  bool operator==(const Answer&) const = default;
};
void PrintTo(const Answer& answer, std::ostream* out) {
  *out << "{";
  for (const long long value : answer.values) *out << value << " ";
  *out << "last error " << answer.last_error << "}";
}

/// A handle that no operation of either platform has given out.
constexpr platform::Handle kStrangeHandle = 0x5E7;
/// Left as the last error before each call, so that a call that leaves it alone shows.
constexpr platform::Dword kEarlierError = 0x1234;

long long HandleAnswer(platform::Handle handle) {
  return handle == platform::kInvalidHandleValue ? -1 : 1;
}

using P = platform::Platform;
using Values = std::vector<long long>;

/// Each call of the interface as a machine where its object is missing answers it. The calls
/// left out answer with the machine's own state, which FailingPlatform does not have.
const struct {
  std::string_view name;
  std::function<Values(P&)> call;
} kConformanceCalls[] = {
    {"GetCurrentDriveNumber", [](P& p) -> Values { return {p.GetCurrentDriveNumber()}; }},
    {"ReadBinaryFile",
     [](P& p) -> Values {
       char buffer[16] = {};
       const auto read = p.ReadBinaryFile("C:\\missing.bin", buffer);
       return {read ? static_cast<long long>(*read) : -1};
     }},
    {"GetFileSize",
     [](P& p) -> Values {
       const auto size = p.GetFileSize("C:\\missing.bin");
       return {size ? static_cast<long long>(*size) : -1};
     }},
    {"FindFirstFileA",
     [](P& p) -> Values { return {HandleAnswer(p.FindFirstFileA("C:\\missing.inf"))}; }},
    {"FindClose", [](P& p) -> Values { return {p.FindClose(kStrangeHandle)}; }},
    {"CreateDirectoryA", [](P& p) -> Values { return {p.CreateDirectoryA("C:\\missing\\new")}; }},
    {"SetFileAttributesA",
     [](P& p) -> Values {
       return {p.SetFileAttributesA("C:\\missing.txt", platform::FILE_ATTRIBUTE_NORMAL)};
     }},
    {"CopyFileA",
     [](P& p) -> Values { return {p.CopyFileA("D:\\missing.txt", "C:\\copy.txt", 0)}; }},
    {"SetupDiEnumDeviceInfo",
     [](P& p) -> Values {
       platform::DeviceInfoData data;
       data.dev_inst = 77;
       return {p.SetupDiEnumDeviceInfo(kStrangeHandle, 0, &data), data.dev_inst};
     }},
    {"SetupDiGetDeviceRegistryPropertyA",
     [](P& p) -> Values {
       unsigned char buffer[8] = {};
       platform::Dword required = 77;
       const platform::Bool read = p.SetupDiGetDeviceRegistryPropertyA(
           kStrangeHandle, platform::DeviceInfoData{}, platform::SPDRP_HARDWAREID, nullptr, buffer,
           sizeof buffer, &required);
       return {read, required};
     }},
    {"SetupDiCallClassInstaller",
     [](P& p) -> Values {
       return {p.SetupDiCallClassInstaller(platform::DIF_REMOVE, kStrangeHandle,
                                           platform::DeviceInfoData{})};
     }},
    {"SetupDiDestroyDeviceInfoList",
     [](P& p) -> Values { return {p.SetupDiDestroyDeviceInfoList(kStrangeHandle)}; }},
    {"UpdateDriverForPlugAndPlayDevicesA",
     [](P& p) -> Values {
       platform::Bool reboot = 7;
       const platform::Bool updated = p.UpdateDriverForPlugAndPlayDevicesA(
           "PCI\\VEN_7A3C&DEV_0B52", "C:\\missing.inf", platform::INSTALLFLAG_FORCE, &reboot);
       return {updated, reboot};
     }},
    {"GetStartupInfoA",
     [](P& p) -> Values {
       platform::StartupInfo info;
       info.dw_flags = 77;
       info.w_show_window = 77;
       p.GetStartupInfoA(&info);
       return {info.filled, info.dw_flags, info.w_show_window, info.cb_reserved2};
     }},
    {"CreateProcessA",
     [](P& p) -> Values {
       platform::ProcessInformation process;
       const platform::Bool started =
           p.CreateProcessA("C:\\missing.exe -S", 0, platform::StartupInfo{}, &process);
       return {started, static_cast<long long>(process.process)};
     }},
    {"WaitForSingleObject",
     [](P& p) -> Values { return {p.WaitForSingleObject(kStrangeHandle, platform::INFINITE)}; }},
    {"GetExitCodeProcess",
     [](P& p) -> Values {
       platform::Dword exit_code = 77;
       return {p.GetExitCodeProcess(kStrangeHandle, &exit_code), exit_code};
     }},
    {"CloseHandle", [](P& p) -> Values { return {p.CloseHandle(kStrangeHandle)}; }},
    {"RegCreateKeyExA",
     [](P& p) -> Values {
       platform::Handle key = kStrangeHandle;
       const long result =
           p.RegCreateKeyExA(platform::HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing",
                             platform::REG_OPTION_NON_VOLATILE, platform::KEY_ALL_ACCESS, &key);
       return {result, key == kStrangeHandle};
     }},
    {"RegSetValueExA",
     [](P& p) -> Values {
       const unsigned char data[] = "x";
       return {p.RegSetValueExA(kStrangeHandle, "Setup", platform::REG_SZ, data, sizeof data)};
     }},
    {"RegCloseKey", [](P& p) -> Values { return {p.RegCloseKey(kStrangeHandle)}; }},
    {"GetCommandLineA",
     [](P& p) -> Values { return {static_cast<long long>(p.GetCommandLineA().size())}; }},
    {"IsWow64Process",
     [](P& p) -> Values {
       platform::Bool wow64 = 7;
       return {p.IsWow64Process(&wow64), wow64};
     }},
    {"CreateFileA",
     [](P& p) -> Values {
       return {HandleAnswer(p.CreateFileA("C:\\missing\\setup.log", platform::FILE_APPEND_DATA,
                                          platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                          platform::OPEN_ALWAYS))};
     }},
    {"WriteFile",
     [](P& p) -> Values {
       platform::Dword written = 77;
       return {p.WriteFile(kStrangeHandle, "x", &written), written};
     }},
    {"MoveFileExA",
     [](P& p) -> Values {
       return {
           p.MoveFileExA("C:\\missing.log", "C:\\old.log", platform::MOVEFILE_REPLACE_EXISTING)};
     }},
};

/// The calls whose answer is the machine's own: its settings, its console, its clock, an empty
/// device set, and the last-error value itself.
constexpr std::string_view kAnsweredByTheMachine[] = {
    "GetSystemDirectoryA",  "GetModuleFileNameA",    "GetSystemDefaultLangID",
    "GetWindowsDirectoryA", "GetVersionExA",         "GetLocalTime",
    "GetLastError",         "SetLastError",          "Sleep",
    "WriteStandardOutput",  "ReadStandardInputByte", "WaitForKeyPress",
    "SetupDiGetClassDevsA",
};

TEST(PlatformCalls, ListEveryCallOfTheInterfaceInItsOrder) {
  // The interface as declared: every "virtual ... Name(" but the destructor.
  std::ifstream in(std::string(SETUP_SOURCE_DIR) + "/platform/platform.h");
  ASSERT_TRUE(in) << "platform.h not found";
  std::ostringstream text;
  text << in.rdbuf();
  const std::regex declaration(R"(virtual\s+(?!~)[^;{(]*?\b(\w+)\s*\()");
  std::vector<std::string> declared;
  const std::string header = text.str();
  for (auto it = std::sregex_iterator(header.begin(), header.end(), declaration);
       it != std::sregex_iterator(); ++it) {
    declared.push_back((*it)[1]);
  }
  std::vector<std::string> listed;
  for (const PlatformCall& call : kPlatformCalls) listed.emplace_back(call.call);
  EXPECT_GT(declared.size(), 30u) << "the declarations were not found";
  EXPECT_EQ(listed, declared) << "operations.h's kPlatformCalls must list the interface's calls";
}

TEST(FailingPlatform, EveryCallIsComparedOrAnsweredByTheMachine) {
  for (const PlatformCall& call : kPlatformCalls) {
    const bool compared =
        std::ranges::any_of(kConformanceCalls, [&](const auto& c) { return c.name == call.call; });
    const bool own =
        std::ranges::find(kAnsweredByTheMachine, call.call) != std::end(kAnsweredByTheMachine);
    EXPECT_NE(compared, own) << call.call
                             << (compared ? " is in both lists"
                                          : " is missing from kConformanceCalls");
  }
  for (const auto& c : kConformanceCalls) {
    EXPECT_TRUE(std::ranges::any_of(kPlatformCalls, [&](const PlatformCall& call) {
      return call.call == c.name;
    })) << c.name;
  }
}

TEST(FailingPlatform, AnswersAsTheSimulatedMachineDoesWhereTheObjectIsMissing) {
  const auto ask = [](P& p, const auto& call) {
    p.SetLastError(kEarlierError);
    Answer answer;
    answer.values = call(p);
    answer.last_error = p.GetLastError();
    return answer;
  };
  for (const auto& c : kConformanceCalls) {
    // A machine with empty drives, no devices, no current drive letter and a registry that
    // cannot be written.
    TempMachine m;
    m.machine.current_drive = "";
    m.machine.registry_writable = false;
    platform::FailingPlatform failing;
    const Answer simulated = ask(m.platform(), c.call);
    EXPECT_EQ(ask(failing, c.call), simulated) << c.name;
    EXPECT_EQ(m.platform().OpenHandleCount(), 0u) << c.name;
  }
}

TEST(Machine, RoundTripsThroughJson) {
  const Machine machine = ParseMachine(R"({
    "system_directory": "C:\\W", "current_drive": "", "current_directory": "e:\\Disk",
    "windows_directory": "D:\\Win", "clock": "2031-07-04 05:06:07.089", "wow64": true,
    "language": 1041, "sleep": "virtual",
    "registry_writable": false,
    "registry": {"K": {"V": {"type": "REG_SZ", "data": "x"}}},
    "devices": [{"hardware_ids": ["A"], "update": "reboot", "children": [{"hardware_ids": []}]},
                {"hardware_ids": null}],
    "faults": [{"op": "CopyFileA", "path": "D:\\x", "error": 5, "count": 2}]})");
  const Machine again = ParseMachine(MachineToJson(machine).dump());
  EXPECT_EQ(MachineToJson(again), MachineToJson(machine));
  EXPECT_EQ(again.current_directory, "e:\\Disk");
  EXPECT_EQ(again.current_drive, "E") << "the current directory's drive is the current drive";
  EXPECT_EQ(again.language, 1041);
  EXPECT_EQ(again.windows_directory, "D:\\Win");
  EXPECT_EQ(FormatClock(again.clock), "2031-07-04 05:06:07.089");
  EXPECT_TRUE(again.wow64);
  EXPECT_TRUE(again.virtual_sleep);
  EXPECT_FALSE(again.registry_writable);
  EXPECT_EQ(again.devices[0].children.size(), 1u);
  EXPECT_FALSE(again.devices[1].hardware_ids.has_value());
  EXPECT_EQ(*again.faults[0].count, 2);
}

}  // namespace
}  // namespace sim
