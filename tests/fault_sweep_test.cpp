// Every platform call of a whole run failing in turn. For each example machine, setup-sim runs
// once for every call the program makes, with that one call failing, and each run must still
// end well: by itself, with a result that its output and journal agree with, with the package
// tree whole, and with a newer deployed file kept unless the user said yes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "deploy/package.h"
#include "messages/builtin_catalogue.h"
#include "platform/sim/machine.h"
#include "platform/sim/operations.h"
#include "tests/support/sim_run.h"

namespace {

using platform::Dword;
using sim::Json;
using testing_support::MachineFolder;
using testing_support::Ops;
using testing_support::RunResult;

std::string Text(int index) {
  return std::string(messages::kBuiltinTexts[static_cast<std::size_t>(index)]);
}

const std::string kComplete = Text(messages::kInstallationComplete);
const std::string kFailed = Text(messages::kInstallationFailed);
const std::string kReboot = Text(messages::kRebootToStartDriver);
const std::string kRemoving = Text(messages::kRemovingOlderVersion);
const std::string kRemoved = Text(messages::kRemovedOldDrivers);
const std::string kCopyAnyway = Text(messages::kCopyAnyway);
constexpr const char* kMediumProgram = "D:\\win2000\\SETUP.EXE";
const std::string kMediumRoot = "D:";
const std::string kPackageRoot = "C:\\WINNT\\system32\\drivers\\orvan";
/// The file that the newer-deployed machine already has, in a later version than the medium's.
const std::string kNewerFileName = "ZOVKAF.SYS";

/// A run that takes longer than this has hung.
constexpr std::chrono::seconds kRunLimit{20};
/// More calls of one operation than any run makes: a sweep that gets this far has a fault that
/// never stops failing.
constexpr int kMostCalls = 150;
/// Runs at the same time (one per core).
constexpr unsigned kWorkers = 2;

/// A platform operation to fail, with an error it plausibly fails with; only on this path when
/// one is given.
struct FailingCall {
  std::string_view op;
  Dword error;
  std::string_view path = {};
  /// Whether only the setup log uses the call: failing it must leave the run exactly as it is
  /// with nothing failing (the same output, exit code and package), whatever the log lost.
  bool log_only = false;
};

/// The setup log of the example machines.
constexpr std::string_view kLogPath = "C:\\WINNT\\ZOVSETUP.LOG";

/// The failures swept: every operation that a fault can name (sim/operations.h), one of them
/// with two errors.
const FailingCall kFailingCalls[] = {
    {sim::op::kFindFirstFileA, platform::kErrorAccessDenied},
    {sim::op::kSetFileAttributesA, platform::kErrorAccessDenied},
    {sim::op::kCopyFileA, platform::kErrorAccessDenied},
    {sim::op::kSetupDiGetDeviceRegistryPropertyA, platform::kErrorInvalidData},
    {sim::op::kSetupDiGetDeviceRegistryPropertyA, platform::kErrorAccessDenied},
    {sim::op::kSetupDiEnumDeviceInfo, platform::kErrorNoSuchDevinst},
    {sim::op::kCreateDirectoryA, platform::kErrorAccessDenied},
    {sim::op::kCreateFileA, platform::kErrorAccessDenied},
    {sim::op::kCreateFileA, platform::kErrorAccessDenied, kLogPath, true},
    {sim::op::kWriteFile, platform::kErrorDiskFull, {}, true},
    {sim::op::kMoveFileExA, platform::kErrorSharingViolation, {}, true},
    {sim::op::kSetupDiGetClassDevsA, platform::kErrorAccessDenied},
    {sim::op::kSetupDiCallClassInstaller, platform::kErrorAccessDenied},
    {sim::op::kUpdateDriverForPlugAndPlayDevicesA, platform::kErrorGenFailure},
    {sim::op::kGetSystemDirectoryA, platform::kErrorNotEnoughMemory},
    {sim::op::kGetWindowsDirectoryA, platform::kErrorNotEnoughMemory, {}, true},
    {sim::op::kGetVersionExA, platform::kErrorInsufficientBuffer, {}, true},
    {sim::op::kIsWow64Process, platform::kErrorAccessDenied, {}, true},
    {sim::op::kGetModuleFileNameA, platform::kErrorNotEnoughMemory},
    {sim::op::kCreateProcessA, platform::kErrorAccessDenied},
    {sim::op::kWaitForSingleObject, platform::kErrorInvalidHandle},
    {sim::op::kGetExitCodeProcess, platform::kErrorInvalidHandle},
    {sim::op::kRegCreateKeyExA, platform::kErrorAccessDenied},
    {sim::op::kRegSetValueExA, platform::kErrorAccessDenied},
    {sim::op::kGetConsoleMode, platform::kErrorInvalidHandle},
};

enum class NewerFile {
  kNone,        // the machine has no deployed package
  kAnsweredNo,  // a newer deployed file, and the user answers no
  kQuiet,       // a newer deployed file, in quiet mode
};

struct Scenario {
  const char* name;
  const char* machine;                    // an example machine
  std::vector<std::string> options = {};  // after the program's path
  std::string input = {};                 // standard input
  bool virtual_sleep = false;
  bool upgrade = false;  // the older generation is present: the run removes it, asks for a reboot
  NewerFile newer = NewerFile::kNone;
  int clean_exit_code = 0;  // when nothing fails
  /// Operations the run must make at least once, so that their failures are tried.
  std::vector<std::string_view> made;
  /// The program's path as started, and the machine's current directory (none: its default).
  const char* program_path = kMediumProgram;
  const char* current_directory = nullptr;
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

const Scenario kScenarios[] = {
    {.name = "FirstInstall",
     .machine = "first-install",
     .made = {sim::op::kCreateDirectoryA, sim::op::kCopyFileA,
              sim::op::kUpdateDriverForPlugAndPlayDevicesA, sim::op::kGetConsoleMode,
              sim::op::kGetWindowsDirectoryA, sim::op::kGetVersionExA, sim::op::kIsWow64Process,
              sim::op::kWriteFile}},
    {.name = "HandOver",
     .machine = "handover",
     .made = {sim::op::kCreateProcessA, sim::op::kWaitForSingleObject,
              sim::op::kGetExitCodeProcess}},
    {.name = "Upgrade",
     .machine = "upgrade",
     .virtual_sleep = true,
     .upgrade = true,
     .clean_exit_code = 1,
     .made = {sim::op::kSetupDiCallClassInstaller, sim::op::kCreateProcessA,
              sim::op::kRegCreateKeyExA, sim::op::kRegSetValueExA}},
    {.name = "NewerDeployedAnsweredNo",
     .machine = "newer-deployed",
     .input = "n\n",
     .newer = NewerFile::kAnsweredNo,
     .made = {sim::op::kCreateFileA, sim::op::kCopyFileA,
              sim::op::kUpdateDriverForPlugAndPlayDevicesA}},
    {.name = "NewerDeployedQuiet",
     .machine = "newer-deployed",
     .options = {"/Q"},
     .newer = NewerFile::kQuiet,
     .made = {sim::op::kCreateFileA, sim::op::kCopyFileA,
              sim::op::kUpdateDriverForPlugAndPlayDevicesA}},
    {.name = "BareNameInTheMediumFolder",
     .machine = "first-install",
     .options = {"/Q"},
     .made = {sim::op::kGetModuleFileNameA, sim::op::kCopyFileA,
              sim::op::kUpdateDriverForPlugAndPlayDevicesA},
     .program_path = "SETUP",
     .current_directory = "D:\\win2000"},
};

// --- What a run left -----------------------------------------------------------------------

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

/// A catalogue text with its "%s" placeholders filled in order.
std::string Format(std::string text, const std::vector<std::string>& arguments) {
  std::size_t at = 0;
  for (const std::string& argument : arguments) {
    at = text.find("%s", at);
    if (at == std::string::npos) break;
    text.replace(at, 2, argument);
    at += argument.size();
  }
  return text;
}

/// `text` on one line, its line ends shown as \n and \r.
std::string Printable(const std::string& text) {
  std::string shown;
  for (const char c : text) shown += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
  return shown;
}

/// A package file: where it lies on the medium and where it is deployed.
struct PackageFile {
  std::string source;
  std::string destination;
};

const std::vector<PackageFile> kFiles = [] {
  std::vector<PackageFile> files;
  for (const deploy::PackageFile& file : deploy::kPackageFiles) {
    files.push_back(
        {kMediumRoot + std::string(file.source_subdirectory) + std::string(file.name),
         kPackageRoot + std::string(file.destination_subdirectory) + std::string(file.name)});
  }
  return files;
}();

const PackageFile* FindPackageFile(const std::string& destination) {
  for (const PackageFile& file : kFiles) {
    if (Lower(file.destination) == Lower(destination)) return &file;
  }
  return nullptr;
}

const PackageFile& NewerFileOf() {
  const PackageFile* file = FindPackageFile(kPackageRoot + "\\win2000\\" + kNewerFileName);
  if (file == nullptr) throw std::logic_error("the newer file is not a package file");
  return *file;
}

std::optional<std::string> Content(const MachineFolder& machine, const std::string& path) {
  if (!std::filesystem::is_regular_file(machine.Host(path))) return std::nullopt;
  return machine.ReadFile(path);
}

/// The deployed package files as they are, by destination path (nothing: absent).
using Snapshot = std::map<std::string, std::optional<std::string>>;

Snapshot TakeSnapshot(const MachineFolder& machine) {
  Snapshot snapshot;
  for (const PackageFile& file : kFiles) {
    snapshot[file.destination] = Content(machine, file.destination);
  }
  return snapshot;
}

bool UnderPackageRoot(const std::string& path) {
  return Lower(path).starts_with(Lower(kPackageRoot) + "\\");
}

/// Files and folders under the package root that are not part of the package tree, such as a
/// copy left half-way beside its destination.
std::vector<std::string> StrangersInThePackage(const MachineFolder& machine) {
  std::vector<std::string> expected;
  for (const PackageFile& file : kFiles) {
    expected.push_back(Lower(file.destination.substr(kPackageRoot.size())));
  }
  for (const std::string_view folder : deploy::kPackageDirectories) {
    std::string path = Lower(std::string(folder));
    if (path.size() > 1) path.pop_back();  // the walk below names folders without one
    expected.push_back(path);
  }
  std::vector<std::string> strangers;
  const std::filesystem::path root = machine.Host(kPackageRoot);
  std::error_code error;
  if (!std::filesystem::is_directory(root, error)) return strangers;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root, error)) {
    std::string relative = entry.path().lexically_relative(root).generic_string();
    std::replace(relative.begin(), relative.end(), '/', '\\');
    relative = "\\" + relative;
    if (std::find(expected.begin(), expected.end(), Lower(relative)) == expected.end()) {
      strangers.push_back(relative);
    }
  }
  return strangers;
}

// --- The checks of one run ------------------------------------------------------------------

std::vector<std::string> CheckRun(const Scenario& scenario, bool fired, const RunResult& run,
                                  const MachineFolder& machine, const Snapshot& before) {
  if (run.timed_out) return {"did not end within " + std::to_string(kRunLimit.count()) + " s"};
  if (!run.exited) return {"ended by signal " + std::to_string(run.signal)};
  const int code = run.exit_code;
  if (code < 0 || code > 2) {
    return {"exit code " + std::to_string(code) + " (" + Printable(run.err) + ")"};
  }
  std::vector<std::string> problems;
  const auto problem = [&problems](const std::string& text) { problems.push_back(text); };
  if (!run.journal_readable) problem("the journal holds a line that is not JSON");

  // The result and what the run printed.
  const std::string& out = run.out;
  const std::size_t completes = Count(out, kComplete);
  if (completes > 1) {
    problem("\"Installation complete\" printed " + std::to_string(completes) + " times");
  }
  // `what` is printed exactly when the exit code says so.
  const auto printed_as_the_code_says = [&](const std::string& what, bool printed, bool said) {
    if (printed == said) return;
    problem(what + (printed ? " printed" : " missing") + " with exit code " + std::to_string(code));
  };
  if (Contains(out, kRemoving)) {
    if (code != 1) problem("the upgrade path ended with exit code " + std::to_string(code));
    if (!Contains(out, kRemoved)) problem("the upgrade path does not say it removed the drivers");
    if (completes != 0) problem("the upgrade path says \"Installation complete\"");
  } else {
    printed_as_the_code_says("\"Installation complete\"", completes != 0, code == 0 || code == 1);
    printed_as_the_code_says("\"Installation failed\"", Contains(out, kFailed), code == 2);
    printed_as_the_code_says("the reboot request", Contains(out, kReboot), code == 1);
  }
  if (scenario.upgrade && code == 1 && !Contains(out, kRemoved)) {
    problem("exit code 1 without \"Removed the old device drivers.\"");
  }
  for (const Json& update : Ops(run.journal, "UpdateDriverForPlugAndPlayDevicesA")) {
    if (update.value("ok", true)) continue;
    if (code != 2 || completes != 0) {
      problem("the driver update for " + update.value("hardware_id", std::string()) +
              " failed, yet exit code " + std::to_string(code) +
              (completes != 0 ? " and \"Installation complete\"" : ""));
    }
    break;
  }
  if (!fired && code != scenario.clean_exit_code) {
    problem("with nothing failing, exit code " + std::to_string(code) + " instead of " +
            std::to_string(scenario.clean_exit_code));
  }

  // Nothing is written outside the package root.
  std::vector<std::string> strays;
  for (const Json& entry : run.journal) {
    const std::string op = entry.value("op", "");
    const char* field = op == "CopyFileA"                                        ? "to"
                        : op == "CreateDirectoryA" || op == "SetFileAttributesA" ? "path"
                                                                                 : nullptr;
    if (field == nullptr) continue;
    const std::string path = entry.value(field, "");
    if (!UnderPackageRoot(path)) strays.push_back(op + " " + path);
  }
  if (!strays.empty()) {
    problem(std::to_string(strays.size()) +
            " writes outside the package root, the first: " + strays.front());
  }

  // Every package file is whole: its medium copy, or what was there before the run.
  for (const PackageFile& file : kFiles) {
    const std::optional<std::string> now = Content(machine, file.destination);
    const std::optional<std::string> medium = Content(machine, file.source);
    const std::optional<std::string>& was = before.at(file.destination);
    if (now == was || (now && now == medium)) continue;
    problem(file.destination + " is " + (now ? std::to_string(now->size()) + " bytes" : "gone") +
            ", neither its medium copy nor what it was");
  }
  for (const Json& copy : Ops(run.journal, "CopyFileA")) {
    const PackageFile* file = FindPackageFile(copy.value("to", ""));
    if (file == nullptr) continue;  // reported above
    const std::optional<std::string> now = Content(machine, file->destination);
    if (copy.value("ok", false) && now != Content(machine, file->source)) {
      problem("copied " + file->destination + ", which still differs from the medium");
    }
    if (!copy.value("ok", true) && now != before.at(file->destination)) {
      problem("the failed copy changed " + file->destination);
    }
  }
  for (const std::string& stranger : StrangersInThePackage(machine)) {
    problem("left under the package root: " + stranger);
  }

  // A newer deployed file is replaced only at the user's word.
  if (scenario.newer != NewerFile::kNone) {
    const PackageFile& newer = NewerFileOf();
    const std::string notice =
        "\n" + Format(Text(messages::kIsOlderThan), {newer.source, newer.destination});
    const bool told = Contains(out, notice);
    const bool replaced = Content(machine, newer.destination) != before.at(newer.destination);
    if (!fired && !told)
      problem("with nothing failing, no word that " + newer.source + " is older");
    if (scenario.newer == NewerFile::kAnsweredNo) {
      if (told && !Contains(out, kCopyAnyway)) problem("told of the newer file, but not asked");
      if (replaced) {
        problem("the newer " + newer.destination +
                (told ? " replaced after a no" : " replaced without a word"));
      }
    } else if (Contains(out, kCopyAnyway)) {
      problem("asked in quiet mode");
    }
  }
  return problems;
}

// --- The sweep ------------------------------------------------------------------------------

struct FailedRun {
  int after = 0;  // calls that succeeded before the one that failed
  int exit_code = 0;
  std::string out;
  std::vector<std::string> problems;
};

/// What a run left that the log's failures must not change.
struct Outcome {
  int exit_code = 0;
  std::string out;
  Snapshot package;
};

/// The runs of one operation failing at its first, second, ... call.
struct OpSweep {
  FailingCall call;
  int calls = -1;  // how often the run makes the call (-1: the sweep did not get to the end)
  int runs = 0;
  bool runaway = false;
  std::vector<FailedRun> failed = {};
};

/// A failure of the log's own calls leaves the run as it is with nothing failing: each failed
/// run's `outcomes` (in the order of the calls failed) against the `clean` one.
void CompareWithTheCleanRun(const Outcome& clean, const std::vector<Outcome>& outcomes,
                            OpSweep* sweep) {
  for (std::size_t after = 0; after < outcomes.size(); ++after) {
    const Outcome& failed = outcomes[after];
    std::vector<std::string> problems;
    if (failed.exit_code != clean.exit_code) {
      problems.push_back("exit code " + std::to_string(failed.exit_code) + " where the run " +
                         "with nothing failing ends with " + std::to_string(clean.exit_code));
    }
    if (failed.out != clean.out) {
      problems.push_back("output differs from the run with nothing failing: " +
                         Printable(clean.out));
    }
    if (failed.package != clean.package) {
      problems.push_back("the package differs from the run with nothing failing");
    }
    if (!problems.empty()) {
      sweep->failed.push_back(
          {static_cast<int>(after), failed.exit_code, failed.out, std::move(problems)});
    }
  }
}

OpSweep SweepOperation(const Scenario& scenario, const FailingCall& call) {
  OpSweep sweep{call};
  std::vector<Outcome> outcomes;
  std::vector<std::string> program = {scenario.program_path};
  program.insert(program.end(), scenario.options.begin(), scenario.options.end());
  for (int after = 0;; ++after) {
    if (after > kMostCalls) {
      sweep.runaway = true;
      return sweep;
    }
    ++sweep.runs;
    try {
      MachineFolder machine(scenario.machine);
      if (scenario.virtual_sleep) machine.json()["sleep"] = "virtual";
      if (scenario.current_directory != nullptr) {
        machine.json()["current_directory"] = scenario.current_directory;
      }
      Json fault = {{"op", call.op}, {"error", call.error}, {"count", 1}, {"after", after}};
      if (!call.path.empty()) fault["path"] = call.path;
      machine.json()["faults"] = Json::array({fault});
      const Snapshot before = TakeSnapshot(machine);
      const RunResult run = machine.Run(program, scenario.input, {}, kRunLimit);
      const Json& faults = machine.json()["faults"];
      // The fault is still there with its one failure unspent: the call was made `after` times
      // or fewer.
      const bool fired =
          !(faults.is_array() && faults.size() == 1 && faults[0].value("count", -1) == 1);
      std::vector<std::string> problems = CheckRun(scenario, fired, run, machine, before);
      if (!problems.empty()) {
        sweep.failed.push_back({after, run.exit_code, run.out, std::move(problems)});
      }
      // After a run that did not end by itself, the machine's state tells nothing more.
      if (!run.exited) return sweep;
      const Outcome outcome{run.exit_code, run.out, TakeSnapshot(machine)};
      if (!fired) {
        sweep.calls = after;
        if (call.log_only) CompareWithTheCleanRun(outcome, outcomes, &sweep);
        return sweep;
      }
      outcomes.push_back(outcome);
    } catch (const std::exception& error_thrown) {
      sweep.failed.push_back(
          {after, -1, "", {std::string("the run broke: ") + error_thrown.what()}});
      return sweep;
    }
  }
}

// A unit test (quick), so that a new operation is swept from the day a fault can name it.
TEST(FaultSweepList, FailsEveryOperationAFaultCanName) {
  for (const FailingCall& call : kFailingCalls) {
    EXPECT_TRUE(sim::IsKnownOperation(call.op)) << call.op;
  }
  for (const std::string_view op : sim::KnownOperations()) {
    EXPECT_TRUE(
        std::ranges::any_of(kFailingCalls, [&](const FailingCall& c) { return c.op == op; }))
        << op << " is never failed by the sweep";
  }
}

class EachPlatformCall : public testing::TestWithParam<Scenario> {};

TEST_P(EachPlatformCall, FailingOnceStillEndsTheRunWell) {
  const Scenario& scenario = GetParam();

  std::vector<OpSweep> sweeps(std::size(kFailingCalls));
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < sweeps.size(); i = next++) {
      sweeps[i] = SweepOperation(scenario, kFailingCalls[i]);
    }
  };
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < kWorkers; ++i) workers.emplace_back(work);
  for (std::thread& worker : workers) worker.join();

  int runs = 0;
  std::ostringstream calls;
  for (const OpSweep& sweep : sweeps) {
    runs += sweep.runs;
    calls << " " << sweep.call.op << "=" << sweep.calls;
    EXPECT_FALSE(sweep.runaway) << sweep.call.op << " kept failing after " << kMostCalls
                                << " calls";
    for (const FailedRun& failed : sweep.failed) {
      std::ostringstream report;
      report << scenario.name << ": " << sweep.call.op << " failing with error " << sweep.call.error
             << " after " << failed.after << " good calls, exit code " << failed.exit_code << ":";
      for (const std::string& problem : failed.problems) report << "\n  - " << problem;
      report << "\n  output: " << Printable(failed.out);
      ADD_FAILURE() << report.str();
    }
  }
  for (const std::string_view op : scenario.made) {
    const auto sweep =
        std::ranges::find_if(sweeps, [&](const OpSweep& s) { return s.call.op == op; });
    ASSERT_NE(sweep, sweeps.end()) << op;
    EXPECT_GT(sweep->calls, 0) << scenario.name << " never calls " << op;
  }
  std::cout << "[ sweep    ] " << scenario.name << ": " << runs << " runs; calls:" << calls.str()
            << "\n";
}

INSTANTIATE_TEST_SUITE_P(FaultSweep, EachPlatformCall, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
