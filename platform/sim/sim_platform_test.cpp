#include "platform/sim/sim_platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/failing_platform.h"
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

TEST(FailingPlatform, AnswersAsTheSimulatedMachineDoesWhereTheObjectIsMissing) {
  using P = platform::Platform;
  using Values = std::vector<long long>;
  const struct {
    const char* name;
    std::function<Values(P&)> call;
  } calls[] = {
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
             kStrangeHandle, platform::DeviceInfoData{}, platform::SPDRP_HARDWAREID, nullptr,
             buffer, sizeof buffer, &required);
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
  };
  const auto ask = [](P& p, const auto& call) {
    p.SetLastError(kEarlierError);
    Answer answer;
    answer.values = call(p);
    answer.last_error = p.GetLastError();
    return answer;
  };
  for (const auto& c : calls) {
    // A machine with empty drives, no devices, no current drive letter and a registry that
    // cannot be written.
    TempMachine m;
    m.machine.current_drive = "";
    m.machine.registry_writable = false;
    testing_support::FailingPlatform failing;
    const Answer simulated = ask(m.platform(), c.call);
    EXPECT_EQ(ask(failing, c.call), simulated) << c.name;
    EXPECT_EQ(m.platform().OpenHandleCount(), 0u) << c.name;
  }
}

TEST(Machine, RoundTripsThroughJson) {
  const Machine machine = ParseMachine(R"({
    "system_directory": "C:\\W", "current_drive": "", "current_directory": "e:\\Disk",
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
  EXPECT_TRUE(again.virtual_sleep);
  EXPECT_FALSE(again.registry_writable);
  EXPECT_EQ(again.devices[0].children.size(), 1u);
  EXPECT_FALSE(again.devices[1].hardware_ids.has_value());
  EXPECT_EQ(*again.faults[0].count, 2);
}

}  // namespace
}  // namespace sim
