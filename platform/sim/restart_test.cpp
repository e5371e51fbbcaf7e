#include "platform/sim/restart.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/operations.h"
#include "tests/support/temp_machine.h"

namespace sim {
namespace {

using testing_support::TempMachine;

TEST(CommandLineOf, QuotesAProgramPathWithASpaceAndJoinsTheArgumentsWithSpaces) {
  const struct {
    std::vector<std::string> program;
    const char* command_line;
  } cases[] = {
      {{"D:\\win2000\\SETUP.EXE"}, "D:\\win2000\\SETUP.EXE"},
      {{"SETUP", "/Q", "/L=C:\\x.log"}, "SETUP /Q /L=C:\\x.log"},
      {{"E:\\Driver Disk\\SETUP.EXE", "-R"}, "\"E:\\Driver Disk\\SETUP.EXE\" -R"},
      // Only the program's path is quoted: an argument goes as it was given.
      {{"SETUP", "a b"}, "SETUP a b"},
      {{}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(CommandLineOf(c.program), c.command_line);
}

TEST(IsSetupProgram, NamesSetupExeWhereverItLies) {
  EXPECT_TRUE(IsSetupProgram("C:\\WINNT\\system32\\drivers\\orvan\\win2000\\SETUP.EXE"));
  EXPECT_TRUE(IsSetupProgram("setup.exe"));
  EXPECT_TRUE(IsSetupProgram("D:setup.EXE"));
  EXPECT_FALSE(IsSetupProgram("D:\\nt\\KVLSETUP.EXE"));
  EXPECT_FALSE(IsSetupProgram("SETUP"));
  EXPECT_FALSE(IsSetupProgram("C:\\SETUP.EXE\\other.exe"));
}

TEST(Restart, DeletesEveryRunOnceValueAndGivesTheirCommandsInStoredOrder) {
  Machine machine;
  machine.registry[std::string(kRunOnceKey)] = {
      {"Setup", {{"type", "REG_SZ"}, {"data", "C:\\x\\SETUP.EXE -R"}}},
      {"Binary", {{"type", "REG_BINARY"}, {"data", Json::array({1, 2})}}},
      {"Other", {{"type", "REG_SZ"}, {"data", "C:\\tool.exe /x"}}}};
  machine.registry["HKEY_LOCAL_MACHINE\\SOFTWARE\\Kept"] = {
      {"V", {{"type", "REG_SZ"}, {"data", "v"}}}};
  Device gone;
  gone.hardware_ids = std::vector<std::string>{"PCI\\VEN_1"};
  gone.driver = "C:\\old.inf";
  gone.reappears = true;
  Device for_good = gone;
  for_good.reappears = false;
  machine.removed_devices = {gone, for_good};

  EXPECT_EQ(Restart(machine), (std::vector<std::string>{"C:\\x\\SETUP.EXE -R", "C:\\tool.exe /x"}));
  EXPECT_TRUE(machine.registry[std::string(kRunOnceKey)].empty());
  EXPECT_EQ(machine.registry["HKEY_LOCAL_MACHINE\\SOFTWARE\\Kept"].size(), 1u);
  ASSERT_EQ(machine.devices.size(), 1u) << "the hardware that reappears is back";
  EXPECT_FALSE(machine.devices[0].driver) << "without a driver";
  EXPECT_EQ(machine.removed_devices.size(), 1u);

  // A machine without the key has nothing to run, and gets no key.
  Machine bare;
  EXPECT_TRUE(Restart(bare).empty());
  EXPECT_FALSE(bare.registry.contains(std::string(kRunOnceKey)));
}

/// A program that records how it was started and ends with the next of `codes`.
struct RecordingProgram {
  std::vector<platform::Dword> codes;
  std::vector<std::vector<std::string>> args = {};
  std::vector<std::string> command_lines = {};
  std::vector<std::string> module_paths = {};

  ProgramMain Main() {
    return [this](platform::Platform& p, const std::vector<std::string>& given) {
      args.push_back(given);
      command_lines.push_back(p.GetCommandLineA());
      module_paths.push_back(p.GetModuleFileNameA());
      const platform::Dword code = codes.at(args.size() - 1);
      return code;
    };
  }
};

std::vector<Json> ExitEntries(const std::vector<Json>& journal) {
  std::vector<Json> entries;
  for (const Json& entry : journal) {
    if (entry["op"] == op::kExitProcess) entries.push_back(entry);
  }
  return entries;
}

TEST(RunProgram, JournalsTheWholeExitCodeAsTheRunsLastEntry) {
  for (const platform::Dword code : {0u, 2u, 3010u, 0xFFFFFFFFu}) {
    TempMachine m;
    RecordingProgram program{{code}};
    const std::vector<std::string> args = {"E:\\Driver Disk\\SETUP.EXE", "/Q"};
    EXPECT_EQ(RunProgram(m.platform(), program.Main(), args, CommandLineOf(args)), code);
    ASSERT_EQ(program.args.size(), 1u);
    EXPECT_EQ(program.args[0], args);
    EXPECT_EQ(program.command_lines[0], "\"E:\\Driver Disk\\SETUP.EXE\" /Q");
    EXPECT_EQ(program.module_paths[0], "E:\\Driver Disk\\SETUP.EXE");
    ASSERT_FALSE(m.journal.empty());
    EXPECT_EQ(m.journal.back(), (Json{{"op", "ExitProcess"}, {"ok", true}, {"exit_code", code}}));
  }
}

TEST(RunRestartCommands, RunsThisProgramPerCommandAndEndsWithItsLastExitCode) {
  TempMachine m;
  // Another program of a RunOnce value runs and is waited for; it leaves a mark.
  m.WriteFile("C:\\tool.sh", "#!/bin/sh\necho \"$@\" > \"$SETUP_SIM_MACHINE/drives/C/ran.txt\"\n");
  std::filesystem::permissions(m.Host("C:\\tool.sh"), std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  RecordingProgram program{{3010u, 1u}};
  const std::vector<std::string> commands = {"C:\\pkg\\SETUP.EXE -R", "C:\\tool.sh one two",
                                             "\"C:\\Program Files\\setup.exe\" -R /Q"};
  EXPECT_EQ(RunRestartCommands(m.platform(), program.Main(), commands), 1u);
  ASSERT_EQ(program.args.size(), 2u);
  EXPECT_EQ(program.args[0], (std::vector<std::string>{"C:\\pkg\\SETUP.EXE", "-R"}));
  EXPECT_EQ(program.args[1],
            (std::vector<std::string>{"C:\\Program Files\\setup.exe", "-R", "/Q"}));
  // The command line is the RunOnce command as stored.
  EXPECT_EQ(program.command_lines, (std::vector<std::string>{commands[0], commands[2]}));
  EXPECT_EQ(testing_support::ReadHostFile(m.Host("C:\\ran.txt")), "one two\n");
  const std::vector<Json> exits = ExitEntries(m.journal);
  ASSERT_EQ(exits.size(), 2u);
  EXPECT_EQ(exits[0]["exit_code"], 3010u);
  EXPECT_EQ(exits[1]["exit_code"], 1u);
  EXPECT_EQ(m.journal.back(), exits[1]);
  EXPECT_EQ(m.platform().OpenHandleCount(), 0u);
}

TEST(RunRestartCommands, EndsWithZeroWhenThisProgramDidNotRun) {
  TempMachine m;
  RecordingProgram program{{7u}};
  EXPECT_EQ(RunRestartCommands(m.platform(), program.Main(), {}), 0u);
  EXPECT_EQ(RunRestartCommands(m.platform(), program.Main(), {"C:\\missing.exe"}), 0u);
  EXPECT_TRUE(program.args.empty());
  EXPECT_TRUE(ExitEntries(m.journal).empty());
}

}  // namespace
}  // namespace sim
