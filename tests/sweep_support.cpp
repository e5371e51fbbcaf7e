#include "tests/sweep_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testing_support {

namespace {

std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::filesystem::path MakeTempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "setup-sweep-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

/// How often a running setup-sim is looked at.
constexpr std::chrono::milliseconds kPollInterval{2};

}  // namespace

LimitedRun RunWithTimeLimit(MachineFolder& machine, const std::vector<std::string>& program_args,
                            const std::string& input, std::chrono::milliseconds limit) {
  machine.Save();
  const std::filesystem::path journal = machine.path() / "journal.jsonl";
  const std::size_t journal_before =
      std::filesystem::exists(journal) ? std::filesystem::file_size(journal) : 0;

  const std::filesystem::path io = MakeTempFolder();
  {
    std::ofstream in(io / "in", std::ios::binary);
    in << input;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, (io / "in").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (io / "out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (io / "err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // A session of its own: no controlling terminal for the key wait, and one process group to
  // stop, with whatever it started, at the time limit.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

  std::vector<std::string> argv_strings = {SETUP_SIM_PATH, "--machine", machine.path().string(),
                                           "--"};
  argv_strings.insert(argv_strings.end(), program_args.begin(), program_args.end());
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

  LimitedRun run;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
    if (std::chrono::steady_clock::now() >= deadline) {
      run.timed_out = true;
      ::kill(-pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(kPollInterval);
  }

  run.exited = WIFEXITED(status);
  run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  run.result.exit_code = run.exited ? WEXITSTATUS(status) : -1;
  run.result.out = Slurp(io / "out");
  run.result.err = Slurp(io / "err");
  std::filesystem::remove_all(io);

  if (std::filesystem::exists(journal)) {
    std::istringstream lines(Slurp(journal).substr(journal_before));
    std::string line;
    while (std::getline(lines, line)) {
      if (line.empty()) continue;
      sim::Json entry = sim::Json::parse(line, nullptr, false);
      if (entry.is_discarded()) {
        run.journal_readable = false;
        continue;
      }
      run.result.journal.push_back(std::move(entry));
    }
  }
  machine.Reload();
  return run;
}

}  // namespace testing_support
