// Whole runs of setup-sim that deploy the package from the medium.
#include <gtest/gtest.h>

#include "deploy/package.h"
#include "messages/builtin_catalogue.h"
#include "tests/sim_run.h"

namespace {

using sim::Json;
using testing_support::MachineFolder;
using testing_support::Ops;
using testing_support::RunResult;

const std::string kBanner(messages::kBuiltinTexts[messages::kBanner]);
constexpr const char* kMediumProgram = "D:\\win2000\\SETUP.EXE";
const std::string kPackage = "C:\\WINNT\\system32\\drivers\\orvan";
const std::string kDeployedDriver = kPackage + "\\win2000\\ZOVKAF.SYS";
const std::string kQuestion = "Do you want to copy anyway? (y/n):\n";
const std::string kOlder = "\nD:\\win2000\\ZOVKAF.SYS is older than " + kDeployedDriver + ".\n";

/// Where a package file comes from on the medium and where it goes.
std::pair<std::string, std::string> Paths(const deploy::PackageFile& file) {
  return {"D:" + std::string(file.source_subdirectory) + std::string(file.name),
          kPackage + std::string(file.destination_subdirectory) + std::string(file.name)};
}

TEST(Deployment, AFreshMachineGetsTheWholeTreeWithoutAWord) {
  MachineFolder machine;
  machine.json()["devices"] = Json::array();
  machine.WriteScript("D:\\nt\\KVLSETUP.EXE", "exit 0");
  const RunResult run = machine.Run({kMediumProgram, "/Q"});
  EXPECT_EQ(run.out,
            kBanner + std::string(messages::kBuiltinTexts[messages::kInstallationComplete]));

  const auto directories = Ops(run.journal, "CreateDirectoryA");
  ASSERT_EQ(directories.size(), deploy::kPackageDirectories.size());
  for (std::size_t i = 0; i < directories.size(); ++i) {
    EXPECT_EQ(directories[i]["path"], kPackage + std::string(deploy::kPackageDirectories[i]));
    EXPECT_EQ(directories[i]["ok"], true);
  }
  const auto copies = Ops(run.journal, "CopyFileA");
  ASSERT_EQ(copies.size(), deploy::kPackageFiles.size());
  for (std::size_t i = 0; i < copies.size(); ++i) {
    const auto [from, to] = Paths(deploy::kPackageFiles[i]);
    EXPECT_EQ(copies[i]["from"], from);
    EXPECT_EQ(copies[i]["to"], to);
    EXPECT_EQ(copies[i]["ok"], true);
    EXPECT_EQ(machine.ReadFile(to), machine.ReadFile(from)) << to;
  }
  for (const char* empty : {"\\nls", "\\nt\\X4400", "\\nt\\X4400\\pivandor"}) {
    ASSERT_TRUE(std::filesystem::is_directory(machine.Host(kPackage + empty))) << empty;
  }
  EXPECT_TRUE(std::filesystem::is_empty(machine.Host(kPackage + "\\nls")));
  EXPECT_TRUE(std::filesystem::is_empty(machine.Host(kPackage + "\\nt\\X4400\\pivandor")));
  EXPECT_TRUE(machine.Exists(kPackage + "\\win2000\\ENGLISH.NLS"));
  EXPECT_TRUE(machine.Exists(kPackage + "\\win2000\\JAPANESE.NLS"));
}

TEST(Deployment, ASecondDeploymentOverwritesTheSameOrOlderFilesSilently) {
  MachineFolder machine;
  machine.Run({kMediumProgram, "/Q"});
  machine.WriteFile(kPackage + "\\win2000\\ORVA.CAT", "older !@#$5.0$#@!");
  const RunResult run = machine.Run({kMediumProgram, "/Q"});
  for (const Json& directory : Ops(run.journal, "CreateDirectoryA")) {
    EXPECT_EQ(directory["error"], 183);
  }
  EXPECT_EQ(Ops(run.journal, "CopyFileA").size(), 19u);
  EXPECT_EQ(run.out.find("older than"), std::string::npos);
  EXPECT_EQ(machine.ReadFile(kPackage + "\\win2000\\ORVA.CAT"),
            machine.ReadFile("D:\\win2000\\ORVA.CAT"));
}

TEST(Deployment, ANewerDeployedFileIsKeptUnlessTheUserSaysOtherwise) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    std::string said;  // what the run prints about the file
    bool overwritten;
  } cases[] = {
      {"answer n", {kMediumProgram}, "n\n", kOlder + kQuestion, false},
      {"answer no after a blank line",
       {kMediumProgram},
       "\n no\n",
       kOlder + kQuestion + kQuestion,
       false},
      {"answer y", {kMediumProgram}, "y\n", kOlder + kQuestion, true},
      {"answer cancel", {kMediumProgram}, "cancel\n", kOlder + kQuestion, true},
      {"no input at all", {kMediumProgram}, "", kOlder + kQuestion, false},
      {"quiet mode", {kMediumProgram, "/Q"}, "n\n", kOlder, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MachineFolder machine("newer-deployed");
    const std::string newer = machine.ReadFile(kDeployedDriver);
    const RunResult run = machine.Run(c.args, c.input);
    EXPECT_EQ(run.out.substr(0, kBanner.size() + c.said.size()), kBanner + c.said);
    EXPECT_EQ(run.out.find("older than", kBanner.size() + c.said.size()), std::string::npos);
    EXPECT_EQ(machine.ReadFile(kDeployedDriver),
              c.overwritten ? machine.ReadFile("D:\\win2000\\ZOVKAF.SYS") : newer);
    EXPECT_EQ(Ops(run.journal, "CopyFileA").size(), c.overwritten ? 19u : 18u);
    EXPECT_EQ(run.exit_code, 0);
  }
}

TEST(Deployment, AReadOnlyDeployedFileIsOverwrittenAllTheSame) {
  MachineFolder machine;
  machine.Run({kMediumProgram, "/Q"});
  const std::string deployed = kPackage + "\\win2000\\KAF.INF";
  machine.WriteFile(deployed, "old");
  std::filesystem::permissions(machine.Host(deployed), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  const RunResult run = machine.Run({kMediumProgram, "/Q"});
  EXPECT_EQ(machine.ReadFile(deployed), machine.ReadFile("D:\\win2000\\KAF.INF"));
  bool reset = false;
  for (const Json& entry : Ops(run.journal, "SetFileAttributesA")) {
    if (entry["path"] == deployed) reset = entry["attributes"] == 128 && entry["ok"] == true;
  }
  EXPECT_TRUE(reset);
}

TEST(Deployment, AMediumWithoutTheOlderSetupProgramDeploysTheOtherFiles) {
  MachineFolder machine;
  machine.WriteFile(kPackage + "\\nt\\KVLSETUP.EXE", "deployed earlier");
  std::filesystem::remove(machine.Host("D:\\nt\\KVLSETUP.EXE"));
  const RunResult run = machine.Run({kMediumProgram, "/Q"});
  const auto copies = Ops(run.journal, "CopyFileA");
  EXPECT_EQ(copies.size(), 18u);
  for (const Json& copy : copies) EXPECT_NE(copy["from"], "D:\\nt\\KVLSETUP.EXE");
  EXPECT_EQ(machine.ReadFile(kPackage + "\\nt\\KVLSETUP.EXE"), "deployed earlier");
  EXPECT_EQ(run.exit_code, 0);
}

TEST(Deployment, NothingIsDeployedWhenTheSystemDirectoryFailsDuringDeployment) {
  MachineFolder machine;
  // Start-up reads the system directory first; deployment's own read fails.
  machine.json()["faults"] = {
      {{"op", "GetSystemDirectoryA"}, {"error", 5}, {"count", 1}, {"after", 1}}};
  const RunResult run = machine.Run({kMediumProgram, "/Q"});
  EXPECT_TRUE(Ops(run.journal, "CreateDirectoryA").empty());
  EXPECT_TRUE(Ops(run.journal, "CopyFileA").empty());
  EXPECT_FALSE(machine.Exists("C:\\drivers"));
  EXPECT_EQ(run.exit_code, 2) << "the drivers cannot be installed from a package never deployed";
}

TEST(Detection, FindsTheAdapterAfterAHundredThousandOtherDevices) {
  MachineFolder machine;
  Json devices = Json::array();
  for (int i = 0; i < 100000; ++i) {
    devices.push_back({{"hardware_ids",
                        {"PCI\\VEN_1000&DEV_" + std::to_string(i) + "&SUBSYS_00000000&REV_01",
                         "PCI\\VEN_1000&DEV_" + std::to_string(i), "PCI\\CC_0200"}},
                       {"update", "ok"},
                       {"driver", nullptr}});
  }
  devices.push_back({{"hardware_ids", {"*ZOV37D6"}}, {"update", "ok"}, {"driver", nullptr}});
  machine.json()["devices"] = devices;
  const RunResult run = machine.Run({kMediumProgram, "/Q"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  const auto updates = Ops(run.journal, "UpdateDriverForPlugAndPlayDevicesA");
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0]["hardware_id"], "*ZOV37D6");
}

}  // namespace
