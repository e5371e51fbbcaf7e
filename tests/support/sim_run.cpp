#include "tests/support/sim_run.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/temp_machine.h"

extern char** environ;

namespace testing_support {

/// How often a running setup-sim is looked at.
constexpr std::chrono::milliseconds kPollInterval{2};

RunResult RunSetupSim(const std::vector<std::string>& args, const std::string& input,
                      const std::filesystem::path& journal, std::chrono::milliseconds limit) {
  const std::filesystem::path io = MakeTempFolder("setup-run");
  WriteHostFile(io / "in", input);
  const std::size_t journal_before =
      journal.empty() || !std::filesystem::exists(journal) ? 0 : ReadHostFile(journal).size();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, (io / "in").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (io / "out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (io / "err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // Files another thread of the tests has open for writing must not stay open in the run: a
  // program on the machine that one of them copies could then not be started.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  // A session of its own: no controlling terminal for the key wait, and one process group to
  // stop, with whatever it started, at the time limit.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

  std::vector<std::string> argv_strings = {SETUP_SIM_PATH};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_strings) argv.push_back(arg.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, SETUP_SIM_PATH, &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    std::filesystem::remove_all(io);
    throw std::runtime_error("cannot start setup-sim");
  }

  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timed_out = true;
      ::kill(-pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(kPollInterval);
  }

  result.exited = WIFEXITED(status);
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  result.exit_code = result.exited ? WEXITSTATUS(status) : -1;
  result.out = ReadHostFile(io / "out");
  result.err = ReadHostFile(io / "err");
  std::filesystem::remove_all(io);
  if (!journal.empty() && std::filesystem::exists(journal)) {
    std::istringstream lines(ReadHostFile(journal).substr(journal_before));
    std::string line;
    while (std::getline(lines, line)) {
      if (line.empty()) continue;
      sim::Json entry = sim::Json::parse(line, nullptr, false);
      if (entry.is_discarded()) {
        result.journal_readable = false;
        continue;
      }
      result.journal.push_back(std::move(entry));
    }
  }
  return result;
}

MachineFolder::MachineFolder(const std::string& example) : path_(MakeTempFolder("setup-run")) {
  std::filesystem::copy(std::filesystem::path(SETUP_MACHINES_DIR) / example, path_,
                        std::filesystem::copy_options::recursive);
  Reload();
}

MachineFolder::~MachineFolder() {
  RemoveMachineFolder(path_);
}

void MachineFolder::Save() {
  WriteHostFile(path_ / "machine.json", json_.dump(2));
}

const sim::Json& MachineFolder::Reload() {
  json_ = sim::Json::parse(ReadHostFile(path_ / "machine.json"));
  return json_;
}

RunResult MachineFolder::Run(const std::vector<std::string>& program_args, const std::string& input,
                             const std::vector<std::string>& sim_options,
                             std::chrono::milliseconds limit) {
  Save();
  std::vector<std::string> args = {"--machine", path_.string()};
  args.insert(args.end(), sim_options.begin(), sim_options.end());
  args.push_back("--");
  args.insert(args.end(), program_args.begin(), program_args.end());
  RunResult result = RunSetupSim(args, input, path_ / "journal.jsonl", limit);
  Reload();
  return result;
}

std::filesystem::path MachineFolder::Host(const std::string& windows_path) const {
  return HostPath(path_, windows_path);
}

std::string MachineFolder::ReadFile(const std::string& windows_path) const {
  return ReadHostFile(Host(windows_path));
}

std::vector<sim::Json> Ops(const std::vector<sim::Json>& journal, const std::string& op) {
  std::vector<sim::Json> entries;
  for (const sim::Json& entry : journal) {
    if (entry.value("op", "") == op) entries.push_back(entry);
  }
  return entries;
}

}  // namespace testing_support
