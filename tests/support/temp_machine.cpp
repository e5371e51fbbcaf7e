#include "tests/support/temp_machine.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

std::filesystem::path MakeTempFolder(const std::string& stem) {
  std::string pattern = (std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::filesystem::path HostPath(const std::filesystem::path& root, std::string_view windows_path) {
  std::filesystem::path host = root / "drives" / std::string(1, windows_path.at(0));
  const std::string_view rest = windows_path.substr(2);
  std::size_t position = 0;
  while (position < rest.size()) {
    const std::size_t end = std::min(rest.find('\\', position), rest.size());
    if (end > position) host /= rest.substr(position, end - position);
    position = end + 1;
  }
  return host;
}

std::string ReadHostFile(const std::filesystem::path& path) {
  // In one read, not byte by byte: the example media hold setup-sim itself as SETUP.EXE, some
  // megabytes that the fault sweep reads several times a run, and a byte-wise read of them took
  // seconds a run under the sanitizers.
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::move(bytes).str();
}

void WriteHostFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void RemoveMachineFolder(const std::filesystem::path& root) {
  std::error_code error;
  // Read-only files and folders must become writable again before the folder can go.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root, error)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
  }
  std::filesystem::remove_all(root, error);
}

TempMachine::TempMachine(std::optional<std::string> input)
    : root(MakeTempFolder("setup-test")), input_(std::move(input)) {
  std::filesystem::create_directories(root / "drives" / "C");
  std::filesystem::create_directories(root / "drives" / "D");
  machine.virtual_sleep = true;
}

TempMachine::~TempMachine() {
  RemoveMachineFolder(root);
}

std::filesystem::path TempMachine::Host(const std::string& windows_path) const {
  return HostPath(root, windows_path);
}

void TempMachine::WriteFile(const std::string& windows_path, const std::string& bytes) {
  const std::filesystem::path host = Host(windows_path);
  std::filesystem::create_directories(host.parent_path());
  WriteHostFile(host, bytes);
}

sim::SimPlatform& TempMachine::platform() {
  if (!platform_) {
    platform_ = std::make_unique<sim::SimPlatform>(
        machine, root, sim::ConsoleIo{input_, &output, false},
        [this](const sim::Json& entry) { journal.push_back(entry); });
  }
  return *platform_;
}

}  // namespace testing_support
