// setup-sim's own command line and its reading of a machine folder: what it refuses (exit code
// 3, the reason on standard error), its help, and the bundled machine it runs without one. The
// program's runs on machines are the cases of scenarios/.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "messages/builtin_catalogue.h"
#include "tests/support/sim_run.h"

namespace {

using testing_support::MachineFolder;
using testing_support::RunResult;
using testing_support::RunSetupSim;

const std::string kBanner(messages::kBuiltinTexts[messages::kBanner]);
constexpr const char* kMediumProgram = "D:\\win2000\\SETUP.EXE";

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
      {"bad clock", R"({"clock": "2000-02-30 00:00:00.000"})"},
      {"clock without milliseconds", R"({"clock": "2000-01-01 00:00:00"})"},
      {"clock not a string", R"({"clock": 0})"},
      {"bad wow64", R"({"wow64": "yes"})"},
      {"bad Windows directory", R"({"windows_directory": 7})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(machine.path() / "machine.json") << c.json;
    const RunResult run = RunSetupSim({"--machine", machine.path().string(), "--", kMediumProgram});
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

TEST(SetupSim, EndsEachRunWithItsWholeExitCodeAndWritesTheClockBack) {
  // The upgrade sleeps while the older drivers go; the clock moves on by exactly that.
  MachineFolder machine("upgrade");
  machine.json()["sleep"] = "virtual";
  machine.json()["clock"] = "2026-12-31 23:59:59.500";
  const RunResult run = machine.Run({kMediumProgram, "/Q"});
  ASSERT_EQ(run.exit_code, 1) << run.err;
  ASSERT_FALSE(run.journal.empty());
  EXPECT_EQ(run.journal.back(), (sim::Json{{"op", "ExitProcess"}, {"ok", true}, {"exit_code", 1}}));
  long long slept = 0;
  for (const sim::Json& sleep : testing_support::Ops(run.journal, "Sleep")) {
    slept += sleep["milliseconds"].get<long long>();
  }
  ASSERT_GT(slept, 0) << "the upgrade no longer sleeps: pick a run that does";
  const auto start = sim::ParseClock("2026-12-31 23:59:59.500");
  ASSERT_TRUE(start);
  EXPECT_EQ(machine.Reload()["clock"], sim::FormatClock(*start + std::chrono::milliseconds(slept)));
}

}  // namespace
