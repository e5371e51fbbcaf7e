// A whole setup-sim run of the bundled first installation, as a process, on a fresh copy of
// the machine each time (with virtual sleep): its own CPU time, user plus system, from
// getrusage(RUSAGE_CHILDREN). Beside it the floor of any run: setup-sim started with no
// program to run, which loads, prints its usage and exits.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "platform/sim/machine.h"
#include "tests/support/temp_machine.h"

extern char** environ;

namespace {

constexpr const char* kProgram = "D:\\win2000\\SETUP.EXE";
constexpr const char* kComplete = "Installation complete";

double Milliseconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_usec) / 1e3;
}

struct ChildCpu {
  double user_ms = 0;
  double system_ms = 0;
};

ChildCpu ChildrenCpu() {
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  return {Milliseconds(usage.ru_utime), Milliseconds(usage.ru_stime)};
}

/// Runs setup-sim with `args` in a session of its own (no terminal: the exit key wait ends at
/// once), standard input empty, standard output and error to files in `io`. Returns the exit
/// code (-1 when it could not start) and adds the CPU time it used to `*cpu`.
int RunSetupSim(const std::vector<std::string>& args, const std::filesystem::path& io,
                ChildCpu* cpu) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (io / "out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (io / "err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

  std::vector<std::string> strings = {SETUP_BENCH_SETUP_SIM};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : strings) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const ChildCpu before = ChildrenCpu();
  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, SETUP_BENCH_SETUP_SIM, &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  const ChildCpu after = ChildrenCpu();
  cpu->user_ms += after.user_ms - before.user_ms;
  cpu->system_ms += after.system_ms - before.system_ms;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ReportCpu(benchmark::State& state, const ChildCpu& cpu) {
  using Counter = benchmark::Counter;
  state.counters["cpu_ms"] = Counter(cpu.user_ms + cpu.system_ms, Counter::kAvgIterations);
  state.counters["user_ms"] = Counter(cpu.user_ms, Counter::kAvgIterations);
  state.counters["sys_ms"] = Counter(cpu.system_ms, Counter::kAvgIterations);
}

void BM_SetupSimFirstInstall(benchmark::State& state) {
  bench::ScratchFolder scratch("setup-bench-run");
  // The bundled machine with virtual sleep, copied once; every run gets a fresh copy of it.
  const std::filesystem::path original =
      std::filesystem::path(SETUP_BENCH_MACHINES_DIR) / "first-install";
  const std::filesystem::path prepared = scratch.path() / "prepared";
  std::filesystem::copy(original, prepared, std::filesystem::copy_options::recursive);
  sim::Json json = sim::Json::parse(bench::ReadHostFile(prepared / "machine.json"));
  json["sleep"] = "virtual";
  bench::WriteHostFile(prepared / "machine.json", json.dump(2));

  const std::filesystem::path machine = scratch.path() / "machine";

  ChildCpu cpu;
  for (auto _ : state) {
    state.PauseTiming();
    testing_support::RemoveMachineFolder(machine);
    std::filesystem::copy(prepared, machine, std::filesystem::copy_options::recursive);
    state.ResumeTiming();

    const int exit_code =
        RunSetupSim({"--machine", machine.string(), "--", kProgram}, scratch.path(), &cpu);

    state.PauseTiming();
    const bool complete =
        exit_code == 0 &&
        bench::ReadHostFile(scratch.path() / "out").find(kComplete) != std::string::npos;
    state.ResumeTiming();
    if (!complete) {
      state.SkipWithError("the first installation did not complete");
      return;
    }
  }
  ReportCpu(state, cpu);
}
BENCHMARK(BM_SetupSimFirstInstall)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

void BM_SetupSimStartOnly(benchmark::State& state) {
  bench::ScratchFolder scratch("setup-bench-run");
  ChildCpu cpu;
  for (auto _ : state) {
    // No program to run: setup-sim prints its usage and exits with 3 before any machine.
    if (RunSetupSim({}, scratch.path(), &cpu) != 3) {
      state.SkipWithError("setup-sim did not stop at its usage");
      return;
    }
  }
  ReportCpu(state, cpu);
}
BENCHMARK(BM_SetupSimStartOnly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

}  // namespace
