// Whole runs of setup-sim through the main flow: the installation sequence, the hand-over, the
// service program, the upgrade path and the restart run.
#include <gtest/gtest.h>

#include <fstream>

#include "messages/builtin_catalogue.h"
#include "tests/sim_run.h"

namespace {

using sim::Json;
using testing_support::MachineFolder;
using testing_support::OpNames;
using testing_support::Ops;
using testing_support::RunResult;

const std::string kBanner(messages::kBuiltinTexts[messages::kBanner]);
const std::string kPressAnyKey(messages::kBuiltinTexts[messages::kPressAnyKey]);
const std::string kFailed(messages::kBuiltinTexts[messages::kInstallationFailed]);
const std::string kComplete(messages::kBuiltinTexts[messages::kInstallationComplete]);
const std::string kReboot(messages::kBuiltinTexts[messages::kRebootToStartDriver]);
const std::string kRemoving(messages::kBuiltinTexts[messages::kRemovingOlderVersion]);
const std::string kRemoved(messages::kBuiltinTexts[messages::kRemovedOldDrivers]);
const std::string kRegistryError(messages::kBuiltinTexts[messages::kRegistryWriteError]);
constexpr const char* kMediumProgram = "D:\\win2000\\SETUP.EXE";
constexpr const char* kDeployedProgram = "C:\\WINNT\\system32\\drivers\\orvan\\win2000\\SETUP.EXE";
constexpr const char* kRunOnceKey =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
constexpr const char* kFirstAdapter = "PCI\\VEN_7A3C&DEV_0C39&CC_0680";
constexpr const char* kSecondAdapter = "PCI\\VEN_7A3C&DEV_0B52&SUBSYS_02591014&REV_01";

Json Device(std::vector<std::string> ids, const std::string& update = "ok",
            std::vector<Json> children = {}) {
  Json device = {{"hardware_ids", ids}, {"update", update}, {"driver", nullptr}};
  if (!children.empty()) device["children"] = children;
  return device;
}

/// A machine like the bundled one, with these devices and virtual sleep.
void SetDevices(MachineFolder& machine, std::vector<Json> devices) {
  machine.json()["devices"] = devices;
  machine.json()["sleep"] = "virtual";
}

std::string Installing(const std::string& inf) {
  return "Installing drivers for C:\\WINNT\\system32\\drivers\\orvan\\win2000\\" + inf + ".\n";
}

struct Update {
  std::string hardware_id;
  std::string inf;  // file name under the package's win2000 folder
  bool ok;
};

struct SequenceCase {
  const char* name;
  std::vector<Json> devices;
  std::vector<Update> updates;
  int exit_code;
};

TEST(InstallationSequence, UpdatesTheDetectedDevicesInTheirFixedOrder) {
  const Json dev0 = Device({"MF\\HELMSIG_DEV0"});
  const Json dev1 = Device({"MF\\HELMSIG_DEV1"});
  const Json dev3 = Device({"MF\\HELMSIG_DEV3"});
  const Json dev5 = Device({"MF\\HELMSIG_DEV5"});
  const SequenceCase cases[] = {
      {"only DEV0", {dev0}, {{"MF\\HELMSIG_DEV0", "rudx.inf", true}}, 0},
      {"first adapter brings DEV3 and DEV5 up",
       {Device({kFirstAdapter}, "ok", {dev3, dev5})},
       {{kFirstAdapter, "orvan.inf", true},
        {"MF\\HELMSIG_DEV3", "rudx.inf", true},
        {"MF\\HELMSIG_DEV5", "kaf.inf", true}},
       0},
      {"first adapter fails: its children are skipped, the rest run",
       {Device({kFirstAdapter}, "fail"), dev3, dev5, dev0},
       {{kFirstAdapter, "orvan.inf", false}, {"MF\\HELMSIG_DEV0", "rudx.inf", true}},
       2},
      {"second adapter alone, by its whole ID",
       {Device({kSecondAdapter, "PCI\\VEN_7A3C&DEV_0B52"}, "ok", {dev0, dev1})},
       {{kSecondAdapter, "orvan.inf", true},
        {"MF\\HELMSIG_DEV0", "rudx.inf", true},
        {"MF\\HELMSIG_DEV1", "kaf.inf", true}},
       0},
      {"second adapter with DEV0 found: step 4a does not run",
       {dev0, Device({kSecondAdapter, "PCI\\VEN_7A3C&DEV_0B52"}, "ok", {dev1})},
       {{"MF\\HELMSIG_DEV0", "rudx.inf", true},
        {kSecondAdapter, "orvan.inf", true},
        {"MF\\HELMSIG_DEV1", "kaf.inf", true}},
       0},
      {"second adapter fails: 4a and 4b are skipped",
       {Device({kSecondAdapter, "PCI\\VEN_7A3C&DEV_0B52"}, "fail", {dev0, dev1})},
       {{kSecondAdapter, "orvan.inf", false}},
       2},
      {"only DEV3 without the first adapter: nothing to update", {dev3}, {}, 0},
      {"the four plug-and-play devices",
       {Device({"*ZOV37C0"}), Device({"*ZOV37D6"}), Device({"*ZOV37D5"}), Device({"*ZOV37D1"})},
       {{"*ZOV37D1", "orva.inf", true},
        {"*ZOV37D5", "orva.inf", true},
        {"*ZOV37D6", "orva.inf", true},
        {"*ZOV37C0", "orva.inf", true}},
       0},
      {"the last step fails alone",
       {Device({"*ZOV37D1"}), Device({"*ZOV37C0"}, "fail")},
       {{"*ZOV37D1", "orva.inf", true}, {"*ZOV37C0", "orva.inf", false}},
       2},
      {"the last step succeeds after an earlier failure",
       {Device({"*ZOV37D1"}, "fail"), Device({"*ZOV37C0"})},
       {{"*ZOV37D1", "orva.inf", false}, {"*ZOV37C0", "orva.inf", true}},
       2},
      {"a restart needed",
       {Device({"*ZOV37D1"}, "reboot"), Device({"*ZOV37D5"})},
       {{"*ZOV37D1", "orva.inf", true}, {"*ZOV37D5", "orva.inf", true}},
       1},
  };
  for (const SequenceCase& c : cases) {
    SCOPED_TRACE(c.name);
    MachineFolder machine;
    SetDevices(machine, c.devices);
    const RunResult run = machine.Run({kMediumProgram});
    EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
    const auto updates = Ops(run.journal, "UpdateDriverForPlugAndPlayDevicesA");
    ASSERT_EQ(updates.size(), c.updates.size());
    std::string expected = kBanner;
    for (std::size_t i = 0; i < updates.size(); ++i) {
      EXPECT_EQ(updates[i]["hardware_id"], c.updates[i].hardware_id) << i;
      EXPECT_EQ(updates[i]["inf"],
                "C:\\WINNT\\system32\\drivers\\orvan\\win2000\\" + c.updates[i].inf);
      EXPECT_EQ(updates[i]["flags"], 1);
      EXPECT_EQ(updates[i]["ok"], c.updates[i].ok) << i;
      expected += Installing(c.updates[i].inf);
    }
    const std::string result[] = {kComplete, kComplete + kReboot, kFailed};
    EXPECT_EQ(run.out, expected + result[c.exit_code] + kPressAnyKey);
  }
}

TEST(InstallationSequence, AMissingDeployedInfStillCallsTheServiceAndFails) {
  MachineFolder machine;
  SetDevices(machine, {Device({"MF\\HELMSIG_DEV0"})});
  machine.json()["faults"] = {
      {{"op", "CopyFileA"}, {"path", "D:\\win2000\\RUDX.INF"}, {"error", 5}}};
  const RunResult run = machine.Run({kMediumProgram, "/Q"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out, kBanner + Installing("rudx.inf") + kFailed);
  const auto updates = Ops(run.journal, "UpdateDriverForPlugAndPlayDevicesA");
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0]["error"], 2);
}

/// Writes an older setup program that records its arguments and ends with `exit_code`.
void OlderSetupProgram(MachineFolder& machine, int exit_code) {
  machine.WriteScript(
      "D:\\nt\\KVLSETUP.EXE",
      "echo \"older setup: $*\"\necho \"$*\" > \"$SETUP_SIM_MACHINE/handover.log\"\n"
      "exit " +
          std::to_string(exit_code));
}

TEST(HandOver, TheOlderSetupProgramDecidesTheResult) {
  const struct {
    int program_exit;
    int exit_code;
    std::string result;
  } cases[] = {
      {0, 0, kComplete},
      {1, 1, kComplete + kReboot},
      {2, 2, kFailed},
      {7, 0, kComplete},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program_exit);
    MachineFolder machine("handover");
    OlderSetupProgram(machine, c.program_exit);
    const RunResult run = machine.Run({kMediumProgram});
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(run.out, kBanner + "older setup: -S\n" + c.result + kPressAnyKey);
    const auto started = Ops(run.journal, "CreateProcessA");
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0]["command_line"], "D:\\nt\\KVLSETUP.EXE -S");
    EXPECT_EQ(started[0]["creation_flags"], 0);
    EXPECT_EQ(started[0]["startf"], 0);
    EXPECT_EQ(Ops(run.journal, "WaitForSingleObject")[0]["milliseconds"], 0xFFFFFFFFu);
    EXPECT_EQ(Ops(run.journal, "GetExitCodeProcess")[0]["exit_code"], c.program_exit);
  }
}

TEST(HandOver, QuietModeIsPassedOn) {
  MachineFolder machine("handover");
  OlderSetupProgram(machine, 0);
  const RunResult run = machine.Run({kMediumProgram, "/q"});
  EXPECT_EQ(Ops(run.journal, "CreateProcessA")[0]["command_line"], "D:\\nt\\KVLSETUP.EXE -S -Q");
  EXPECT_TRUE(std::filesystem::exists(machine.path() / "handover.log"));
  EXPECT_TRUE(Ops(run.journal, "KeyWait").empty());
}

TEST(HandOver, AProgramThatCannotStartIsAFileSystemError) {
  const struct {
    const char* name;
    std::string setup;  // what to do to the medium
    int error;
  } cases[] = {{"missing program", "file", 2},
               {"missing folder", "folder", 3},
               {"not a program", "text", 193}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MachineFolder machine("handover");
    if (c.setup == "folder") std::filesystem::remove_all(machine.Host("D:\\nt"));
    if (c.setup == "file") std::filesystem::remove(machine.Host("D:\\nt\\KVLSETUP.EXE"));
    if (c.setup == "text") machine.WriteFile("D:\\nt\\KVLSETUP.EXE", "MZ not for this host");
    const RunResult run = machine.Run({kMediumProgram});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.out, kBanner + "File system error: " + std::to_string(c.error) + "\n\n" +
                           kFailed + kPressAnyKey);
  }
}

TEST(HandOver, AnOutcomeThatCannotBeLearntIsAFailure) {
  for (const char* op : {"WaitForSingleObject", "GetExitCodeProcess"}) {
    SCOPED_TRACE(op);
    MachineFolder machine("handover");
    OlderSetupProgram(machine, 0);
    machine.json()["faults"] = {{{"op", op}, {"error", 6}}};
    const RunResult run = machine.Run({kMediumProgram, "/Q"});
    EXPECT_EQ(run.exit_code, 2);
    // Without a wait the older program's own line may come at any point.
    std::string out = run.out;
    const std::string its_line = "older setup: -S -Q\n";
    if (const std::size_t at = out.find(its_line); at != std::string::npos) {
      out.erase(at, its_line.size());
    }
    EXPECT_EQ(out, kBanner + "File system error: 6\n\n" + kFailed);
  }
}

TEST(HandOver, NothingSupportedWhenTheEnumerationFails) {
  MachineFolder machine;
  SetDevices(machine, {Device({"*ZOV37D1"})});
  OlderSetupProgram(machine, 0);
  machine.json()["faults"] = {{{"op", "SetupDiGetDeviceRegistryPropertyA"}, {"error", 5}}};
  const RunResult run = machine.Run({kMediumProgram, "/Q"});
  EXPECT_EQ(Ops(run.journal, "UpdateDriverForPlugAndPlayDevicesA").size(), 0u);
  EXPECT_EQ(Ops(run.journal, "CreateProcessA").size(), 1u);
}

void ServiceProgram(MachineFolder& machine) {
  machine.WriteScript("C:\\WINNT\\system32\\zovduvik.exe",
                      "echo \"$*\" >> \"$SETUP_SIM_MACHINE/service.log\"");
}

TEST(ServiceProgram, StartsHiddenAndPausesWhenTheFirstAdapterIsPresent) {
  MachineFolder machine;
  SetDevices(machine, {Device({kFirstAdapter})});
  ServiceProgram(machine);
  const RunResult run = machine.Run({kMediumProgram, "/Q"});
  const auto started = Ops(run.journal, "CreateProcessA");
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0]["command_line"], "C:\\WINNT\\system32\\zovduvik.exe -remove");
  EXPECT_EQ(started[0]["creation_flags"], 16);
  EXPECT_EQ(started[0]["startf"], 1);
  EXPECT_EQ(started[0]["show_window"], 0);
  EXPECT_TRUE(Ops(run.journal, "WaitForSingleObject").empty()) << "not waited for";
  const auto names = OpNames(run.journal);
  const auto launch = std::find(names.begin(), names.end(), "CreateProcessA");
  ASSERT_NE(launch + 1, names.end());
  EXPECT_EQ(*(launch + 1), "Sleep");
  EXPECT_EQ(Ops(run.journal, "Sleep")[0]["milliseconds"], 2500);
  EXPECT_EQ(*(launch + 2), "UpdateDriverForPlugAndPlayDevicesA");
}

TEST(ServiceProgram, NoLaunchInARestartRunAndNoPauseWhenItCannotStart) {
  {
    MachineFolder machine;
    SetDevices(machine, {Device({kFirstAdapter})});
    ServiceProgram(machine);
    const RunResult run = machine.Run({kMediumProgram, "/Q", "/r"});
    EXPECT_TRUE(Ops(run.journal, "CreateProcessA").empty());
    EXPECT_TRUE(Ops(run.journal, "Sleep").empty());
  }
  MachineFolder machine;
  SetDevices(machine, {Device({kFirstAdapter}, "ok",
                              {Device({"MF\\HELMSIG_DEV3"}), Device({"MF\\HELMSIG_DEV5"})})});
  const RunResult run = machine.Run({kMediumProgram, "/Q"});
  ASSERT_EQ(Ops(run.journal, "CreateProcessA").size(), 1u);
  EXPECT_EQ(Ops(run.journal, "CreateProcessA")[0]["error"], 2);
  EXPECT_TRUE(Ops(run.journal, "Sleep").empty());
  EXPECT_EQ(run.out, kBanner + Installing("orvan.inf") + Installing("rudx.inf") +
                         Installing("kaf.inf") + kComplete);
}

TEST(UpgradePath, RemovesTheOldDevicesAndRegistersTheRestart) {
  MachineFolder machine;
  SetDevices(machine, {Device({"MF\\HELMSIG_DEV4"}), Device({"*ZOV37D1"})});
  const RunResult run = machine.Run({kMediumProgram});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, kBanner + kRemoving + kRemoved + kPressAnyKey);
  const auto removals = Ops(run.journal, "SetupDiCallClassInstaller");
  ASSERT_EQ(removals.size(), 1u) << "only the devices present are removed";
  EXPECT_EQ(removals[0]["function"], "DIF_REMOVE");
  EXPECT_EQ(removals[0]["hardware_ids"], Json({"MF\\HELMSIG_DEV4"}));
  EXPECT_TRUE(Ops(run.journal, "UpdateDriverForPlugAndPlayDevicesA").empty());
  const auto set = Ops(run.journal, "RegSetValueExA");
  ASSERT_EQ(set.size(), 1u);
  const std::string command = std::string(kDeployedProgram) + " -R";
  EXPECT_EQ(set[0]["key"], kRunOnceKey);
  EXPECT_EQ(set[0]["value"], "Setup");
  EXPECT_EQ(set[0]["type"], "REG_SZ");
  EXPECT_EQ(set[0]["data"], command);
  EXPECT_EQ(set[0]["size"], command.size() + 1) << "the size counts the terminating zero";
  EXPECT_EQ(machine.json()["registry"][kRunOnceKey]["Setup"]["data"], command);
  EXPECT_EQ(machine.json()["devices"].size(), 1u);
}

TEST(UpgradePath, RemovesInItsFixedOrderWhateverIsPresent) {
  MachineFolder machine;
  SetDevices(machine, {Device({kFirstAdapter}), Device({"MF\\HELMSIG_DEV3"}),
                       Device({"MF\\HELMSIG_DEV4"}), Device({"MF\\HELMSIG_DEV2"})});
  const RunResult run = machine.Run({kMediumProgram, "/Q"});
  EXPECT_EQ(run.exit_code, 1);
  const auto removals = Ops(run.journal, "SetupDiCallClassInstaller");
  ASSERT_EQ(removals.size(), 4u);
  EXPECT_EQ(removals[0]["hardware_ids"][0], "MF\\HELMSIG_DEV2");
  EXPECT_EQ(removals[1]["hardware_ids"][0], "MF\\HELMSIG_DEV4");
  EXPECT_EQ(removals[2]["hardware_ids"][0], "MF\\HELMSIG_DEV3");
  EXPECT_EQ(removals[3]["hardware_ids"][0], kFirstAdapter);
  EXPECT_TRUE(Ops(run.journal, "KeyWait").empty());
}

TEST(UpgradePath, AFailedRegistryWriteIsReportedAndTheRunEndsAlike) {
  const struct {
    const char* name;
    Json faults;
    bool writable;
  } cases[] = {
      {"read-only registry", Json::array(), false},
      {"key cannot be created", {{{"op", "RegCreateKeyExA"}, {"error", 5}}}, true},
      {"value cannot be set", {{{"op", "RegSetValueExA"}, {"error", 1021}}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MachineFolder machine;
    SetDevices(machine, {Device({"MF\\HELMSIG_DEV2"})});
    machine.json()["registry_writable"] = c.writable;
    machine.json()["faults"] = c.faults;
    const RunResult run = machine.Run({kMediumProgram, "/Q"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.out, kBanner + kRemoving + kRegistryError + kRemoved);
    EXPECT_FALSE(machine.json()["registry"].contains(kRunOnceKey) &&
                 machine.json()["registry"][kRunOnceKey].contains("Setup"));
  }
}

TEST(UpgradePath, ARestartRunThatStillFindsTheOldGenerationGoesThroughItAgain) {
  MachineFolder machine;
  SetDevices(machine, {Device({"MF\\HELMSIG_DEV2"}, "ok")});
  machine.json()["devices"][0]["reappears"] = true;
  machine.Run({kMediumProgram, "/Q"});
  const RunResult restart = machine.Run({}, "", {"--reboot"});
  EXPECT_EQ(restart.exit_code, 1);
  // A quiet upgrade's restart run is quiet as well: no key wait, and quiet again when registered.
  EXPECT_EQ(restart.out, kBanner + kRemoving + kRemoved);
  const auto set = Ops(restart.journal, "RegSetValueExA");
  ASSERT_EQ(set.size(), 1u);
  const std::string command = std::string(kDeployedProgram) + " -R /Q";
  EXPECT_EQ(set[0]["size"], command.size() + 1) << "the size counts the terminating zero";
  EXPECT_EQ(machine.json()["registry"][kRunOnceKey]["Setup"]["data"], command);
}

TEST(UpgradePath, TheUpgradeExampleInstallsAfterTheRestart) {
  MachineFolder machine("upgrade");
  machine.json()["sleep"] = "virtual";
  const RunResult first = machine.Run({kMediumProgram});
  EXPECT_EQ(first.exit_code, 1);
  EXPECT_EQ(first.out, kBanner + kRemoving + kRemoved + kPressAnyKey);
  EXPECT_EQ(Ops(first.journal, "Sleep").size(), 1u);
  std::ifstream log(machine.path() / "service-program.log");
  std::string line;
  std::getline(log, line);
  EXPECT_EQ(line, "service program started with: -remove");

  const RunResult restart = machine.Run({}, "", {"--reboot"});
  EXPECT_EQ(restart.exit_code, 0) << restart.err;
  EXPECT_EQ(restart.out, kBanner + Installing("orvan.inf") + Installing("rudx.inf") +
                             Installing("kaf.inf") + kComplete + kPressAnyKey);
  EXPECT_TRUE(Ops(restart.journal, "CopyFileA").empty()) << "nothing deployed from the package";
  EXPECT_TRUE(Ops(restart.journal, "CreateProcessA").empty()) << "restart run: no service program";
  EXPECT_TRUE(machine.json()["registry"][kRunOnceKey].empty());
  // Running the restart again finds nothing registered.
  const RunResult again = machine.Run({}, "", {"--reboot"});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_EQ(again.out, "");
}

TEST(ProgramPaths, APathWithASpaceIsQuotedWhereItStartsAProgram) {
  MachineFolder machine;
  std::filesystem::create_directories(machine.Host("C:\\Program Files\\sys\\drivers"));
  machine.json()["system_directory"] = "C:\\Program Files\\sys";
  SetDevices(machine, {Device({kFirstAdapter}), Device({"MF\\HELMSIG_DEV2"})});
  const RunResult run = machine.Run({kMediumProgram, "/Q"});
  EXPECT_EQ(Ops(run.journal, "CreateProcessA")[0]["command_line"],
            "\"C:\\Program Files\\sys\\zovduvik.exe\" -remove");
  EXPECT_EQ(Ops(run.journal, "RegSetValueExA")[0]["data"],
            "\"C:\\Program Files\\sys\\drivers\\orvan\\win2000\\SETUP.EXE\" -R /Q");
}

}  // namespace
