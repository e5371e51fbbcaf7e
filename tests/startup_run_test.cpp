// Whole runs of setup-sim: start-up, the catalogue, the options and the end of a run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "messages/builtin_catalogue.h"
#include "tests/sim_run.h"

namespace {

using testing_support::MachineFolder;
using testing_support::OpNames;
using testing_support::Ops;
using testing_support::RunResult;
using testing_support::RunSetupSim;

const std::string kBanner(messages::kBuiltinTexts[messages::kBanner]);
const std::string kPressAnyKey(messages::kBuiltinTexts[messages::kPressAnyKey]);
const std::string kFailed(messages::kBuiltinTexts[messages::kInstallationFailed]);
const std::string kComplete(messages::kBuiltinTexts[messages::kInstallationComplete]);
constexpr const char* kMediumProgram = "D:\\win2000\\SETUP.EXE";
constexpr const char* kPackage = "C:\\WINNT\\system32\\drivers\\orvan";

std::string Installing(const std::string& inf) {
  return "Installing drivers for " + std::string(kPackage) + "\\win2000\\" + inf + ".\n";
}

TEST(FirstInstallation, DeploysAndInstallsTheThreeDrivers) {
  MachineFolder machine;
  const RunResult run = machine.Run({kMediumProgram});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, kBanner + Installing("orvan.inf") + Installing("rudx.inf") +
                         Installing("kaf.inf") + kComplete + kPressAnyKey);
  EXPECT_EQ(Ops(run.journal, "CreateDirectoryA").size(), 6u);
  EXPECT_EQ(Ops(run.journal, "CopyFileA").size(), 19u);
  const auto updates = Ops(run.journal, "UpdateDriverForPlugAndPlayDevicesA");
  ASSERT_EQ(updates.size(), 3u);
  EXPECT_EQ(updates[0]["hardware_id"], "PCI\\VEN_7A3C&DEV_0B52&SUBSYS_02591014&REV_01");
  EXPECT_EQ(updates[1]["hardware_id"], "MF\\HELMSIG_DEV0");
  EXPECT_EQ(updates[2]["hardware_id"], "MF\\HELMSIG_DEV1");
  for (const auto& update : updates) EXPECT_EQ(update["ok"], true);
  EXPECT_EQ(OpNames(run.journal).back(), "KeyWait");
  EXPECT_EQ(run.journal.back()["console"], false);
  EXPECT_TRUE(machine.Exists(std::string(kPackage) + "\\win2000\\SETUP.EXE"));
}

TEST(Startup, PrintsTheBannerFromTheCatalogueOfTheSystemLanguage) {
  const struct {
    int language;
    const char* catalogue;
  } cases[] = {
      {1031, "GERMAN.NLS"},  {1041, "JAPANESE.NLS"}, {1036, "FRENCH.NLS"},
      {1034, "SPANISH.NLS"}, {1033, "ENGLISH.NLS"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.catalogue);
    MachineFolder machine;
    machine.json()["language"] = c.language;
    const std::string file = machine.ReadFile(std::string("D:\\nls\\") + c.catalogue);
    // The banner is the ninth text of the file.
    std::size_t position = 1;
    for (int i = 0; i < messages::kBanner; ++i) position = file.find('\0', position) + 1;
    const std::string banner = file.substr(position, file.find('\0', position) - position);
    if (c.language != 1033) {
      EXPECT_NE(banner, kBanner);
    }
    const RunResult run = machine.Run({kMediumProgram, "-FX"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, banner + "Invalid force code!\n");
  }
}

TEST(Startup, FallsBackToTheBuiltInCatalogueSilently) {
  MachineFolder machine;
  machine.json()["language"] = 1031;
  std::filesystem::remove_all(machine.Host("D:\\nls"));
  const RunResult run = machine.Run({kMediumProgram, "-F"});
  EXPECT_EQ(run.out, kBanner + "Invalid force code!\n");
}

TEST(Startup, UsesACatalogueWithFewTextsAsItIs) {
  MachineFolder machine;
  machine.WriteFile("D:\\nls\\ENGLISH.NLS", std::string("\x03n\0y\0cancel\0", 12));
  const RunResult run = machine.Run({kMediumProgram, "-FZ"});
  EXPECT_EQ(run.out, "Unknown MessageInvalid force code!\n");
}

TEST(Startup, ForceCodesPrintTheirMessageAndTheRunGoesOn) {
  MachineFolder machine;
  const RunResult run = machine.Run({kMediumProgram, "-fa", "/Q"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out.substr(0, kBanner.size() + 43),
            kBanner + "Skipping hardware detection - forcing KVL.\n");
  EXPECT_EQ(Ops(run.journal, "UpdateDriverForPlugAndPlayDevicesA").size(), 3u);
  EXPECT_TRUE(Ops(run.journal, "KeyWait").empty()) << "quiet mode: no key wait";
}

TEST(Startup, AnInvalidForceCodeEndsTheRunAtOnce) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{kMediumProgram, "-F"},
                                               {kMediumProgram, "-FX", "/Q"},
                                               {kMediumProgram, "/Q", "-fx"}}) {
    MachineFolder machine;
    const RunResult run = machine.Run(args);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, kBanner + "Invalid force code!\n");
    EXPECT_TRUE(run.journal.empty()) << "nothing deployed, detected or waited for";
  }
}

TEST(Startup, AcceptsASystemDirectoryOfUpTo259Characters) {
  for (std::size_t length : {259u, 260u, 600u}) {
    SCOPED_TRACE(length);
    MachineFolder machine;
    const std::string directory = "C:\\" + std::string(length - 3, 's');
    machine.json()["system_directory"] = directory;
    const RunResult run = machine.Run({kMediumProgram, "/q"});
    if (length == 259) {
      EXPECT_FALSE(Ops(run.journal, "CreateDirectoryA").empty());
    } else {
      EXPECT_EQ(run.exit_code, 2);
      EXPECT_EQ(run.out, kBanner + kFailed);
      EXPECT_TRUE(run.journal.empty());
    }
  }
  MachineFolder machine;
  machine.json()["faults"] = {{{"op", "GetSystemDirectoryA"}, {"error", 5}}};
  const RunResult run = machine.Run({kMediumProgram});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out, kBanner + kFailed + kPressAnyKey);
}

TEST(Startup, RunningFromThePackageRootDeploysNothing) {
  MachineFolder machine;
  machine.Run({kMediumProgram, "/Q"});
  const RunResult run =
      machine.Run({"c:\\winnt\\SYSTEM32\\drivers\\ORVAN\\win2000\\setup.exe", "-R", "/Q"});
  EXPECT_TRUE(Ops(run.journal, "CreateDirectoryA").empty());
  EXPECT_TRUE(Ops(run.journal, "CopyFileA").empty());
}

TEST(SetupSim, RefusesAMissingOrMalformedMachine) {
  MachineFolder machine;
  const struct {
    const char* name;
    std::string json;
  } cases[] = {
      {"not JSON", "{ devices: "},
      {"not an object", "[]"},
      {"bad device list", R"({"devices": {}})"},
      {"bad hardware ID", R"({"devices": [{"hardware_ids": [1]}]})"},
      {"unknown fault op", R"({"faults": [{"op": "FormatDiskA", "error": 5}]})"},
      {"bad language", R"({"language": "German"})"},
      {"bad sleep", R"({"sleep": "sometimes"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(machine.path() / "machine.json") << c.json;
    const RunResult run =
        testing_support::RunSetupSim({"--machine", machine.path().string(), "--", kMediumProgram});
    EXPECT_EQ(run.exit_code, 3);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("machine.json"), std::string::npos) << run.err;
  }
  const RunResult missing =
      RunSetupSim({"--machine", (machine.path() / "nowhere").string(), "--", kMediumProgram});
  EXPECT_EQ(missing.exit_code, 3);
  EXPECT_NE(missing.err.find("machine.json"), std::string::npos);
}

TEST(SetupSim, HelpPrintsTheUsageOfEveryOption) {
  MachineFolder machine;
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"--machine", machine.path().string(), "--help"}}) {
    SCOPED_TRACE(args.back());
    const RunResult run = RunSetupSim(args);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(run.out.starts_with("usage: setup-sim ")) << run.out;
    for (const char* option : {"--machine DIR", "--reboot", "--  ", "-h, --help"}) {
      EXPECT_NE(run.out.find("\n  " + std::string(option)), std::string::npos) << option;
    }
  }
  // The program was not run: its machine has no journal.
  EXPECT_FALSE(std::filesystem::exists(machine.path() / "journal.jsonl"));
}

TEST(SetupSim, RefusesAWrongCommandLineWithTheUsage) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--bogus", "--", kMediumProgram}, "unknown option --bogus"},
      {{"--machine"}, "--machine needs a folder"},
      {{}, "no PROGRAM_PATH given"},
      {{"--"}, "no PROGRAM_PATH given"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    const RunResult run = RunSetupSim(c.args);
    EXPECT_EQ(run.exit_code, 3);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("usage: setup-sim "), std::string::npos) << run.err;
  }
}

TEST(SetupSim, RunsACopyOfTheBundledMachineByDefault) {
  const RunResult run = RunSetupSim({"--", kMediumProgram, "-FX"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, kBanner + "Invalid force code!\n");
  EXPECT_NE(run.err.find("copy of the example machine"), std::string::npos) << run.err;
}

}  // namespace
