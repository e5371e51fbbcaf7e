// Whole runs of setup-sim that must end within a time limit, for tests that run the program
// many times over with one platform call failing.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tests/sim_run.h"

namespace testing_support {

/// How a limited run ended.
struct LimitedRun {
  RunResult result;              // exit_code is the program's own only when `exited`
  bool exited = false;           // ended by itself through exit
  int signal = 0;                // the signal that ended it, when it did not exit
  bool timed_out = false;        // stopped at the time limit (it and everything it started)
  bool journal_readable = true;  // every appended journal line was valid JSON
};

/// Runs setup-sim on `machine` as MachineFolder::Run does (machine.json saved before and read
/// again after), but stops the run and every process it started once it takes longer than
/// `limit`.
LimitedRun RunWithTimeLimit(MachineFolder& machine, const std::vector<std::string>& program_args,
                            const std::string& input, std::chrono::milliseconds limit);

}  // namespace testing_support
