#include "platform/sim/sim_platform.h"

#include "platform/sim/operations.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <variant>

extern char** environ;

namespace sim {

using platform::Bool;
using platform::Dword;
using platform::Handle;

namespace {

constexpr Dword kRegMultiSz = 7;
constexpr Dword kStillActive = 259;
constexpr Dword kErrorFileExists = 80;
constexpr Dword kErrorNotSameDevice = 17;
constexpr Dword kFileShareDelete = 0x4;
/// What GetVersionExA answers: Windows 2000 with Service Pack 4.
constexpr Dword kWindows2000Major = 5;
constexpr Dword kWindows2000Minor = 0;
constexpr Dword kWindows2000Build = 2195;
constexpr Dword kPlatformWin32Nt = 2;
constexpr const char* kWindows2000ServicePack = "Service Pack 4";
/// How long the key wait gathers the rest of a key's byte sequence (an escape sequence).
constexpr int kKeySequenceMilliseconds = 30;

std::string Lower(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

/// A path as faults compare it: letter case ignored, no trailing backslash.
std::string FaultKey(std::string_view path) {
  std::string key = Lower(path);
  while (!key.empty() && (key.back() == '\\' || key.back() == '/')) key.pop_back();
  return key;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return Lower(a) == Lower(b);
}

bool Carries(const Device& device, std::string_view hardware_id) {
  if (!device.hardware_ids) return false;
  return std::any_of(device.hardware_ids->begin(), device.hardware_ids->end(),
                     [&](const std::string& id) { return SameIgnoringCase(id, hardware_id); });
}

bool IsReadOnly(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && (info.st_mode & S_IWUSR) == 0;
}

Json HardwareIdsJson(const Device& device) {
  return device.hardware_ids ? Json(*device.hardware_ids) : Json(nullptr);
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view command_line) {
  std::vector<std::string> parts;
  std::size_t position = 0;
  if (!command_line.empty() && command_line[0] == '"') {
    const std::size_t end = command_line.find('"', 1);
    parts.emplace_back(command_line.substr(1, end == std::string_view::npos ? end : end - 1));
    position = end == std::string_view::npos ? command_line.size() : end + 1;
  } else {
    const std::size_t end = command_line.find(' ');
    parts.emplace_back(command_line.substr(0, end));
    position = end == std::string_view::npos ? command_line.size() : end;
  }
  while (position < command_line.size()) {
    while (position < command_line.size() && command_line[position] == ' ') ++position;
    if (position >= command_line.size()) break;
    const std::size_t end = std::min(command_line.find(' ', position), command_line.size());
    parts.emplace_back(command_line.substr(position, end - position));
    position = end;
  }
  return parts;
}

struct SimPlatform::Object {
  struct DeviceSet {
    std::vector<Dword> instances;
  };
  struct Search {};
  struct Process {
    pid_t pid = -1;
    bool exited = false;
    Dword exit_code = 0;
  };
  struct Thread {};
  struct RegistryKey {
    std::string name;
  };
  /// A host file opened to append to it.
  struct File {
    int fd = -1;
    std::string path;  // the Windows path it was opened by
    Dword share_mode = 0;
  };
  std::variant<DeviceSet, Search, Process, Thread, RegistryKey, File> value;
};

namespace {

/// Whether two host paths name the same existing file.
bool SameHostFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code error;
  return std::filesystem::equivalent(a, b, error) && !error;
}

/// The drive letter of a full Windows path, upper case.
char DriveOf(const std::string& full_path) {
  return full_path.empty()
             ? '\0'
             : static_cast<char>(std::toupper(static_cast<unsigned char>(full_path[0])));
}

}  // namespace

SimPlatform::SimPlatform(Machine& machine, std::filesystem::path root, ConsoleIo io,
                         std::function<void(const Json&)> journal)
    : machine_(machine), root_(std::move(root)), io_(std::move(io)), journal_(std::move(journal)) {
  // Number every device, children included, so that a device information set can name them.
  std::vector<Device*> pending;
  for (Device& device : machine_.devices) pending.push_back(&device);
  while (!pending.empty()) {
    Device* device = pending.back();
    pending.pop_back();
    device->instance = next_instance_++;
    for (Device& child : device->children) pending.push_back(&child);
  }
}

SimPlatform::~SimPlatform() {
  for (auto& [handle, object] : handles_) {
    if (const auto* file = std::get_if<Object::File>(&object.value)) ::close(file->fd);
  }
  // Children that nobody waited for are reaped if they have ended; the rest are left to the
  // system when this process ends.
  for (pid_t pid : unwaited_) ::waitpid(pid, nullptr, WNOHANG);
}

// --- Support ---------------------------------------------------------------------------------

void SimPlatform::Journal(Json entry) {
  if (journal_) journal_(entry);
}

Bool SimPlatform::Fail(Json& entry, Dword error) {
  last_error_ = error;
  entry["ok"] = false;
  entry["error"] = error;
  Journal(entry);
  return 0;
}

long SimPlatform::FailRegistry(Json& entry, Dword error) {
  entry["ok"] = false;
  entry["error"] = error;
  Journal(entry);
  return static_cast<long>(error);
}

std::optional<Dword> SimPlatform::TakeFault(std::string_view op,
                                            const std::vector<std::string>& paths) {
  for (Fault& fault : machine_.faults) {
    if (fault.op != op) continue;
    if (fault.count && *fault.count <= 0) continue;
    if (fault.path) {
      const std::string wanted = FaultKey(*fault.path);
      const bool matches = std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
        return FaultKey(path) == wanted;
      });
      if (!matches) continue;
    }
    if (fault.after > 0) {
      --fault.after;
      continue;
    }
    if (fault.count) --*fault.count;
    last_error_ = fault.error;
    return fault.error;
  }
  return std::nullopt;
}

Handle SimPlatform::NewHandle(Object object) {
  const Handle handle = next_handle_;
  next_handle_ += 4;
  handles_.emplace(handle, std::move(object));
  return handle;
}

SimPlatform::Object* SimPlatform::Find(Handle handle) {
  const auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : &it->second;
}

Device* SimPlatform::FindPresentDevice(Dword instance) {
  // The positions are indexed once per change of the device list, so a walk over a large
  // machine stays linear.
  if (device_positions_.size() != machine_.devices.size()) {
    device_positions_.clear();
    for (std::size_t i = 0; i < machine_.devices.size(); ++i) {
      device_positions_.emplace(machine_.devices[i].instance, i);
    }
  }
  const auto it = device_positions_.find(instance);
  return it == device_positions_.end() ? nullptr : &machine_.devices[it->second];
}

std::string SimPlatform::FullPath(std::string_view windows_path) const {
  const auto is_separator = [](char c) { return c == '\\' || c == '/'; };
  const auto below = [](std::string folder, std::string_view relative) {
    if (!folder.ends_with('\\')) folder += '\\';
    return folder + std::string(relative);
  };
  const std::string drive =
      machine_.current_drive.size() == 1 ? machine_.current_drive + ":" : std::string();
  const std::string current_directory =
      machine_.current_directory.empty() ? drive : machine_.current_directory;

  if (windows_path.size() >= 2 && windows_path[1] == ':') {
    const std::string_view rest = windows_path.substr(2);
    if (!rest.empty() && is_separator(rest.front())) return std::string(windows_path);
    // "E:SETUP.EXE": below the current directory when that is on drive E:, else E:'s root.
    const bool current = !drive.empty() && SameIgnoringCase(windows_path.substr(0, 2), drive);
    return below(current ? current_directory : std::string(windows_path.substr(0, 2)), rest);
  }
  // A UNC path (\\\\server\\share\\...) is full already, and lies on no drive of this machine.
  if (windows_path.size() >= 2 && is_separator(windows_path[0]) && is_separator(windows_path[1])) {
    return std::string(windows_path);
  }
  if (drive.empty()) return {};
  if (!windows_path.empty() && is_separator(windows_path.front())) {
    return drive + std::string(windows_path);
  }
  return below(current_directory, windows_path);
}

std::filesystem::path SimPlatform::HostPath(std::string_view windows_path) const {
  const std::string full = FullPath(windows_path);
  if (full.size() < 2) return {};
  std::string letter(1, full[0]);
  const std::string_view rest = std::string_view(full).substr(2);
  if (!std::isalpha(static_cast<unsigned char>(letter[0]))) return {};
  letter[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));

  std::filesystem::path host = root_ / "drives" / letter;
  std::vector<std::string> parts;
  std::size_t position = 0;
  while (position <= rest.size()) {
    const std::size_t end = std::min(rest.find_first_of("\\/", position), rest.size());
    const std::string_view part = rest.substr(position, end - position);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.emplace_back(part);
    }
    position = end + 1;
  }
  // Folders found before are taken from the cache: folders never go away during a run, and a
  // walk of every part costs a look at the disk for each.
  std::string key = letter;
  std::size_t cached = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    key += '\\' + Lower(parts[i]);
    const auto it = resolved_folders_.find(key);
    if (it == resolved_folders_.end()) break;
    host = it->second;
    cached = i + 1;
  }
  key = letter;
  for (std::size_t i = 0; i < cached; ++i) key += '\\' + Lower(parts[i]);

  bool exists = true;
  for (std::size_t i = cached; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    std::filesystem::path next = host / part;
    if (exists) {
      std::error_code error;
      if (!std::filesystem::exists(next, error)) {
        // Look the name up ignoring letter case; a new name keeps the case it was given.
        bool found = false;
        for (const auto& entry : std::filesystem::directory_iterator(host, error)) {
          if (SameIgnoringCase(entry.path().filename().string(), part)) {
            next = entry.path();
            found = true;
            break;
          }
        }
        exists = found;
      }
    }
    host = next;
    key += '\\' + Lower(part);
    // A part that has more after it and exists is a folder.
    if (exists && i + 1 < parts.size()) resolved_folders_.emplace(key, host);
  }
  return host;
}

// --- System ----------------------------------------------------------------------------------

std::string SimPlatform::GetSystemDirectoryA() {
  if (TakeFault(op::kGetSystemDirectoryA, {})) return {};
  return machine_.system_directory;
}

std::string SimPlatform::GetModuleFileNameA() {
  if (TakeFault(op::kGetModuleFileNameA, {program_path_})) return {};
  std::string path = program_path_;
  // A bare name is the program found in the current directory, with its extension.
  if (!path.empty() && path.find_first_of(":\\/") == std::string::npos &&
      path.find('.') == std::string::npos) {
    path += ".EXE";
  }
  std::string full = path.empty() ? std::string() : FullPath(path);
  if (full.empty()) last_error_ = platform::kErrorFileNotFound;
  return full;
}

int SimPlatform::GetCurrentDriveNumber() {
  if (machine_.current_drive.size() != 1) return 0;
  return std::toupper(static_cast<unsigned char>(machine_.current_drive[0])) - 'A' + 1;
}

platform::Word SimPlatform::GetSystemDefaultLangID() {
  return machine_.language;
}
std::string SimPlatform::GetWindowsDirectoryA() {
  Json entry = {{"op", op::kGetWindowsDirectoryA}};
  if (const auto error = TakeFault(op::kGetWindowsDirectoryA, {})) {
    Fail(entry, *error);
    return {};
  }
  const std::string directory = WindowsDirectory(machine_);
  entry["ok"] = true;
  entry["path"] = directory;
  Journal(entry);
  return directory;
}

Bool SimPlatform::GetVersionExA(platform::OsVersionInfo* info) {
  Json entry = {{"op", op::kGetVersionExA}};
  if (const auto error = TakeFault(op::kGetVersionExA, {})) return Fail(entry, *error);
  if (info == nullptr) return Fail(entry, platform::kErrorInvalidParameter);
  info->major_version = kWindows2000Major;
  info->minor_version = kWindows2000Minor;
  info->build_number = kWindows2000Build;
  info->platform_id = kPlatformWin32Nt;
  info->csd_version = kWindows2000ServicePack;
  entry["ok"] = true;
  entry["major"] = info->major_version;
  entry["minor"] = info->minor_version;
  entry["build"] = info->build_number;
  entry["platform_id"] = info->platform_id;
  entry["csd_version"] = info->csd_version;
  Journal(entry);
  return 1;
}

void SimPlatform::GetLocalTime(platform::SystemTime* time) {
  *time = ToSystemTime(machine_.clock);
  Journal({{"op", op::kGetLocalTime}, {"ok", true}, {"time", FormatClock(machine_.clock)}});
}

std::string SimPlatform::GetCommandLineA() {
  Journal({{"op", op::kGetCommandLineA}, {"ok", true}, {"command_line", command_line_}});
  return command_line_;
}

Bool SimPlatform::IsWow64Process(Bool* wow64) {
  Json entry = {{"op", op::kIsWow64Process}};
  if (const auto error = TakeFault(op::kIsWow64Process, {})) return Fail(entry, *error);
  // Windows 2000 has no such function: the caller's look-up finds nothing.
  if (!machine_.wow64) return Fail(entry, platform::kErrorProcNotFound);
  if (wow64 != nullptr) *wow64 = 1;
  entry["ok"] = true;
  entry["wow64"] = true;
  Journal(entry);
  return 1;
}

Dword SimPlatform::GetLastError() {
  return last_error_;
}
void SimPlatform::SetLastError(Dword error) {
  last_error_ = error;
}

void SimPlatform::Sleep(Dword milliseconds) {
  Journal({{"op", op::kSleep}, {"ok", true}, {"milliseconds", milliseconds}});
  machine_.clock = std::min(machine_.clock + std::chrono::milliseconds(milliseconds), kLatestClock);
  if (!machine_.virtual_sleep) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// --- Console ---------------------------------------------------------------------------------

void SimPlatform::WriteStandardOutput(std::string_view bytes) {
  if (io_.output != nullptr) {
    io_.output->append(bytes);
    return;
  }
  while (!bytes.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::optional<unsigned char> SimPlatform::ReadStandardInputByte() {
  if (io_.input) {
    if (input_position_ >= io_.input->size()) return std::nullopt;
    return static_cast<unsigned char>((*io_.input)[input_position_++]);
  }
  unsigned char byte = 0;
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
    if (got == 1) return byte;
    if (got < 0 && errno == EINTR) continue;
    return std::nullopt;
  }
}

void SimPlatform::WaitForKeyPress() {
  const auto no_console = [this] {
    Journal({{"op", op::kKeyWait}, {"ok", true}, {"console", false}});
  };
  if (TakeFault(op::kGetConsoleMode, {}) || !io_.use_terminal) return no_console();
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return no_console();
  termios saved{};
  if (::tcgetattr(tty, &saved) != 0) {
    ::close(tty);
    return no_console();
  }
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  ::tcsetattr(tty, TCSANOW, &raw);
  unsigned char byte = 0;
  ssize_t got = 0;
  do {
    got = ::read(tty, &byte, 1);
  } while (got < 0 && errno == EINTR);
  // A key that sends a sequence (a function or cursor key) is one key press: take the rest.
  pollfd more{tty, POLLIN, 0};
  while (got == 1 && ::poll(&more, 1, kKeySequenceMilliseconds) == 1) {
    if (::read(tty, &byte, 1) != 1) break;
  }
  ::tcsetattr(tty, TCSANOW, &saved);
  ::close(tty);
  Journal({{"op", op::kKeyWait}, {"ok", true}, {"console", true}});
}

// --- Files -----------------------------------------------------------------------------------

std::optional<std::size_t> SimPlatform::ReadBinaryFile(std::string_view path,
                                                       std::span<char> buffer) {
  if (TakeFault(op::kCreateFileA, {std::string(path)})) return std::nullopt;
  const std::filesystem::path host = HostPath(path);
  std::error_code error;
  if (host.empty() || !std::filesystem::is_regular_file(host, error)) {
    last_error_ = platform::kErrorFileNotFound;
    return std::nullopt;
  }
  std::ifstream in(host, std::ios::binary);
  if (!in) {
    last_error_ = platform::kErrorAccessDenied;
    return std::nullopt;
  }
  in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  return static_cast<std::size_t>(in.gcount());
}

std::optional<std::uint64_t> SimPlatform::GetFileSize(std::string_view path) {
  if (TakeFault(op::kCreateFileA, {std::string(path)})) return std::nullopt;
  const std::filesystem::path host = HostPath(path);
  std::error_code error;
  if (host.empty() || !std::filesystem::is_regular_file(host, error)) {
    last_error_ = platform::kErrorFileNotFound;
    return std::nullopt;
  }
  const std::uintmax_t size = std::filesystem::file_size(host, error);
  if (error) return std::nullopt;
  return size;
}

Handle SimPlatform::FindFirstFileA(std::string_view path) {
  if (TakeFault(op::kFindFirstFileA, {std::string(path)})) return platform::kInvalidHandleValue;
  const std::filesystem::path host = HostPath(path);
  std::error_code error;
  if (host.empty() || !std::filesystem::exists(host, error)) {
    last_error_ = platform::kErrorFileNotFound;
    return platform::kInvalidHandleValue;
  }
  return NewHandle(Object{Object::Search{}});
}

Bool SimPlatform::FindClose(Handle search) {
  Object* object = Find(search);
  if (object == nullptr || !std::holds_alternative<Object::Search>(object->value)) {
    last_error_ = platform::kErrorInvalidHandle;
    return 0;
  }
  handles_.erase(search);
  return 1;
}

Bool SimPlatform::CreateDirectoryA(std::string_view path) {
  Json entry = {{"op", op::kCreateDirectoryA}, {"path", path}};
  const auto fail = [&](Dword error) { return Fail(entry, error); };
  if (const auto error = TakeFault(op::kCreateDirectoryA, {std::string(path)})) return fail(*error);
  const std::filesystem::path host = HostPath(path);
  std::error_code error;
  if (host.empty() || !std::filesystem::is_directory(host.parent_path(), error)) {
    return fail(platform::kErrorPathNotFound);
  }
  if (std::filesystem::exists(host, error)) return fail(platform::kErrorAlreadyExists);
  if (!std::filesystem::create_directory(host, error)) return fail(platform::kErrorAccessDenied);
  entry["ok"] = true;
  Journal(entry);
  return 1;
}

Bool SimPlatform::SetFileAttributesA(std::string_view path, Dword attributes) {
  Json entry = {{"op", op::kSetFileAttributesA}, {"path", path}, {"attributes", attributes}};
  const auto fail = [&](Dword error) { return Fail(entry, error); };
  if (const auto error = TakeFault(op::kSetFileAttributesA, {std::string(path)}))
    return fail(*error);
  const std::filesystem::path host = HostPath(path);
  std::error_code error;
  if (host.empty() || !std::filesystem::exists(host, error)) {
    return fail(std::filesystem::is_directory(host.parent_path(), error)
                    ? platform::kErrorFileNotFound
                    : platform::kErrorPathNotFound);
  }
  const auto permission = std::filesystem::perms::owner_write;
  const auto how = (attributes & platform::FILE_ATTRIBUTE_READONLY) != 0
                       ? std::filesystem::perm_options::remove
                       : std::filesystem::perm_options::add;
  std::filesystem::permissions(host, permission, how, error);
  if (error) return fail(platform::kErrorAccessDenied);
  entry["ok"] = true;
  Journal(entry);
  return 1;
}

Bool SimPlatform::CopyFileA(std::string_view existing, std::string_view destination,
                            Bool fail_if_exists) {
  Json entry = {{"op", op::kCopyFileA}, {"from", existing}, {"to", destination}};
  const auto fail = [&](Dword error) { return Fail(entry, error); };
  if (const auto error =
          TakeFault(op::kCopyFileA, {std::string(existing), std::string(destination)})) {
    return fail(*error);
  }
  const std::filesystem::path from = HostPath(existing);
  const std::filesystem::path to = HostPath(destination);
  std::error_code error;
  if (from.empty() || !std::filesystem::is_regular_file(from, error)) {
    return fail(platform::kErrorFileNotFound);
  }
  if (to.empty() || !std::filesystem::is_directory(to.parent_path(), error)) {
    return fail(platform::kErrorPathNotFound);
  }
  if (std::filesystem::exists(to, error)) {
    if (fail_if_exists) return fail(kErrorFileExists);
    if (IsReadOnly(to) || std::filesystem::is_directory(to, error)) {
      return fail(platform::kErrorAccessDenied);
    }
  }
  // Copy beside the destination, then rename: a failed copy never leaves a half-written file.
  const std::filesystem::path temporary =
      to.parent_path() / ("." + to.filename().string() + ".copying");
  std::filesystem::remove(temporary, error);
  if (!std::filesystem::copy_file(from, temporary, error)) {
    std::filesystem::remove(temporary, error);
    return fail(platform::kErrorAccessDenied);
  }
  if (IsReadOnly(from)) {
    std::filesystem::permissions(temporary, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove, error);
  }
  std::filesystem::rename(temporary, to, error);
  if (error) {
    std::filesystem::remove(temporary, error);
    return fail(platform::kErrorAccessDenied);
  }
  entry["ok"] = true;
  Journal(entry);
  return 1;
}

Handle SimPlatform::CreateFileA(std::string_view path, Dword desired_access, Dword share_mode,
                                Dword creation_disposition) {
  Json entry = {{"op", op::kCreateFileA}, {"path", path}};
  const auto fail = [&](Dword error) {
    Fail(entry, error);
    return platform::kInvalidHandleValue;
  };
  if (const auto error = TakeFault(op::kCreateFileA, {std::string(path)})) return fail(*error);
  // Only a file opened to append to it, created when missing.
  constexpr Dword kShareModes =
      platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE | kFileShareDelete;
  if (desired_access != platform::FILE_APPEND_DATA ||
      creation_disposition != platform::OPEN_ALWAYS || (share_mode & ~kShareModes) != 0) {
    return fail(platform::kErrorInvalidParameter);
  }
  const std::filesystem::path host = HostPath(path);
  if (host.empty()) return fail(platform::kErrorBadNetPath);
  std::error_code error;
  if (!std::filesystem::is_directory(host.parent_path(), error)) {
    return fail(platform::kErrorPathNotFound);
  }
  const bool existed = std::filesystem::exists(host, error);
  if (existed && (std::filesystem::is_directory(host, error) || IsReadOnly(host))) {
    return fail(platform::kErrorAccessDenied);
  }
  // Both this handle and any other open one write: each must let the other write.
  for (const auto& [handle, object] : handles_) {
    const auto* open = std::get_if<Object::File>(&object.value);
    if (open == nullptr || !existed || !SameHostFile(HostPath(open->path), host)) continue;
    if ((open->share_mode & platform::FILE_SHARE_WRITE) == 0 ||
        (share_mode & platform::FILE_SHARE_WRITE) == 0) {
      return fail(platform::kErrorSharingViolation);
    }
  }
  int fd = -1;
  do {
    fd = ::open(host.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0)
    return fail(errno == ENOSPC ? platform::kErrorDiskFull : platform::kErrorAccessDenied);
  entry["ok"] = true;
  Journal(entry);
  // OPEN_ALWAYS says whether the file was there.
  last_error_ = existed ? platform::kErrorAlreadyExists : platform::kErrorSuccess;
  return NewHandle(Object{Object::File{fd, std::string(path), share_mode}});
}

Bool SimPlatform::WriteFile(Handle file, std::string_view bytes, Dword* written) {
  if (written != nullptr) *written = 0;
  Object* object = Find(file);
  const auto* open = object ? std::get_if<Object::File>(&object->value) : nullptr;
  Json entry = {{"op", op::kWriteFile},
                {"path", open != nullptr ? open->path : std::string()},
                {"bytes", bytes.size()}};
  if (open == nullptr) return Fail(entry, platform::kErrorInvalidHandle);
  if (const auto error = TakeFault(op::kWriteFile, {open->path})) return Fail(entry, *error);
  // One write at the end of the file as it is now (O_APPEND), whoever else appends to it.
  ssize_t count = 0;
  do {
    count = ::write(open->fd, bytes.data(), bytes.size());
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    return Fail(entry, errno == ENOSPC ? platform::kErrorDiskFull : platform::kErrorAccessDenied);
  }
  if (written != nullptr) *written = static_cast<Dword>(count);
  entry["ok"] = true;
  entry["bytes"] = count;
  last_error_ = platform::kErrorSuccess;
  Journal(entry);
  return 1;
}

Bool SimPlatform::MoveFileExA(std::string_view existing, std::string_view new_name, Dword flags) {
  Json entry = {{"op", op::kMoveFileExA}, {"from", existing}, {"to", new_name}, {"flags", flags}};
  const auto fail = [&](Dword error) { return Fail(entry, error); };
  if (const auto error =
          TakeFault(op::kMoveFileExA, {std::string(existing), std::string(new_name)})) {
    return fail(*error);
  }
  if ((flags & ~platform::MOVEFILE_REPLACE_EXISTING) != 0) {
    return fail(platform::kErrorInvalidParameter);
  }
  const std::filesystem::path from = HostPath(existing);
  std::filesystem::path to = HostPath(new_name);
  if (from.empty() || to.empty()) return fail(platform::kErrorBadNetPath);
  std::error_code error;
  if (!std::filesystem::is_directory(from.parent_path(), error)) {
    return fail(platform::kErrorPathNotFound);
  }
  if (!std::filesystem::exists(from, error)) return fail(platform::kErrorFileNotFound);
  if (!std::filesystem::is_directory(to.parent_path(), error)) {
    return fail(platform::kErrorPathNotFound);
  }
  // Without MOVEFILE_COPY_ALLOWED a file cannot move to another drive.
  if (DriveOf(FullPath(existing)) != DriveOf(FullPath(new_name))) {
    return fail(kErrorNotSameDevice);
  }
  // A file that this program holds open without FILE_SHARE_DELETE cannot be renamed, nor
  // replaced.
  for (const auto& [handle, object] : handles_) {
    const auto* open = std::get_if<Object::File>(&object.value);
    if (open == nullptr || (open->share_mode & kFileShareDelete) != 0) continue;
    const std::filesystem::path held = HostPath(open->path);
    if (SameHostFile(held, from) || SameHostFile(held, to)) {
      return fail(platform::kErrorSharingViolation);
    }
  }
  if (SameHostFile(from, to)) {
    // Only the letter case of the name changes: the new name is taken as given.
    const std::string given(new_name.substr(new_name.find_last_of("\\/:") + 1));
    to = to.parent_path() / given;
  } else if (std::filesystem::exists(to, error)) {
    if ((flags & platform::MOVEFILE_REPLACE_EXISTING) == 0) {
      return fail(platform::kErrorAlreadyExists);
    }
    if (IsReadOnly(to) || std::filesystem::is_directory(to, error) ||
        std::filesystem::is_directory(from, error)) {
      return fail(platform::kErrorAccessDenied);
    }
  }
  const bool folder = std::filesystem::is_directory(from, error);
  std::filesystem::rename(from, to, error);
  if (error) return fail(platform::kErrorAccessDenied);
  // The folders found so far may have moved with it.
  if (folder) resolved_folders_.clear();
  entry["ok"] = true;
  last_error_ = platform::kErrorSuccess;
  Journal(entry);
  return 1;
}

// --- Devices ---------------------------------------------------------------------------------

Handle SimPlatform::SetupDiGetClassDevsA(Dword /*flags*/) {
  if (TakeFault(op::kSetupDiGetClassDevsA, {})) return platform::kInvalidHandleValue;
  Object::DeviceSet set;
  set.instances.reserve(machine_.devices.size());
  for (const Device& device : machine_.devices) set.instances.push_back(device.instance);
  last_error_ = platform::kErrorSuccess;
  return NewHandle(Object{std::move(set)});
}

Bool SimPlatform::SetupDiEnumDeviceInfo(Handle set, Dword index, platform::DeviceInfoData* data) {
  Object* object = Find(set);
  auto* devices = object ? std::get_if<Object::DeviceSet>(&object->value) : nullptr;
  if (devices == nullptr || data == nullptr) {
    last_error_ = platform::kErrorInvalidHandle;
    return 0;
  }
  if (index >= devices->instances.size()) {
    last_error_ = platform::kErrorNoMoreItems;
    return 0;
  }
  const Device* device = FindPresentDevice(devices->instances[index]);
  std::vector<std::string> ids;
  if (device != nullptr && device->hardware_ids) ids = *device->hardware_ids;
  if (TakeFault(op::kSetupDiEnumDeviceInfo, ids)) return 0;
  data->dev_inst = devices->instances[index];
  last_error_ = platform::kErrorSuccess;
  return 1;
}

Bool SimPlatform::SetupDiGetDeviceRegistryPropertyA(Handle set,
                                                    const platform::DeviceInfoData& data,
                                                    Dword property, Dword* property_type,
                                                    unsigned char* buffer, Dword buffer_size,
                                                    Dword* required_size) {
  Object* object = Find(set);
  if (object == nullptr || !std::holds_alternative<Object::DeviceSet>(object->value)) {
    last_error_ = platform::kErrorInvalidHandle;
    return 0;
  }
  const Device* device = FindPresentDevice(data.dev_inst);
  if (device == nullptr) {
    last_error_ = platform::kErrorNoSuchDevinst;
    return 0;
  }
  std::vector<std::string> ids;
  if (device->hardware_ids) ids = *device->hardware_ids;
  if (TakeFault(op::kSetupDiGetDeviceRegistryPropertyA, ids)) return 0;
  if (property != platform::SPDRP_HARDWAREID || !device->hardware_ids) {
    last_error_ = platform::kErrorInvalidData;
    return 0;
  }
  std::string list;
  for (const std::string& id : ids) {
    list += id;
    list += '\0';
  }
  list += '\0';
  const auto size = static_cast<Dword>(list.size());
  if (required_size != nullptr) *required_size = size;
  if (property_type != nullptr) *property_type = kRegMultiSz;
  if (buffer == nullptr || buffer_size < size) {
    last_error_ = platform::kErrorInsufficientBuffer;
    return 0;
  }
  std::copy(list.begin(), list.end(), buffer);
  last_error_ = platform::kErrorSuccess;
  return 1;
}

Bool SimPlatform::SetupDiCallClassInstaller(Dword install_function, Handle set,
                                            const platform::DeviceInfoData& data) {
  Json entry = {{"op", op::kSetupDiCallClassInstaller},
                {"function", install_function == platform::DIF_REMOVE ? Json("DIF_REMOVE")
                                                                      : Json(install_function)}};
  const auto fail = [&](Dword error) { return Fail(entry, error); };
  Object* object = Find(set);
  if (object == nullptr || !std::holds_alternative<Object::DeviceSet>(object->value)) {
    return fail(platform::kErrorInvalidHandle);
  }
  const auto it =
      std::find_if(machine_.devices.begin(), machine_.devices.end(),
                   [&](const Device& device) { return device.instance == data.dev_inst; });
  if (it == machine_.devices.end()) return fail(platform::kErrorNoSuchDevinst);
  entry["hardware_ids"] = HardwareIdsJson(*it);
  std::vector<std::string> ids;
  if (it->hardware_ids) ids = *it->hardware_ids;
  if (const auto error = TakeFault(op::kSetupDiCallClassInstaller, ids)) return fail(*error);
  if (install_function != platform::DIF_REMOVE) return fail(platform::kErrorInvalidParameter);
  machine_.removed_devices.push_back(std::move(*it));
  machine_.devices.erase(it);
  device_positions_.clear();
  entry["ok"] = true;
  last_error_ = platform::kErrorSuccess;
  Journal(entry);
  return 1;
}

Bool SimPlatform::SetupDiDestroyDeviceInfoList(Handle set) {
  Object* object = Find(set);
  if (object == nullptr || !std::holds_alternative<Object::DeviceSet>(object->value)) {
    last_error_ = platform::kErrorInvalidHandle;
    return 0;
  }
  handles_.erase(set);
  last_error_ = platform::kErrorSuccess;
  return 1;
}

Bool SimPlatform::UpdateDriverForPlugAndPlayDevicesA(std::string_view hardware_id,
                                                     std::string_view inf_path, Dword flags,
                                                     Bool* reboot) {
  Json entry = {{"op", op::kUpdateDriverForPlugAndPlayDevicesA},
                {"hardware_id", hardware_id},
                {"inf", inf_path},
                {"flags", flags}};
  const auto finish = [&](bool ok, Dword error) {
    entry["ok"] = ok;
    if (!ok) entry["error"] = error;
    entry["reboot"] = reboot != nullptr && *reboot != 0;
    last_error_ = error;
    Journal(entry);
    return ok ? 1 : 0;
  };
  // The devices the update acts on; a fault names the ID passed or any ID one of them carries.
  std::vector<std::size_t> targets;
  std::vector<std::string> fault_paths = {std::string(hardware_id)};
  for (std::size_t i = 0; i < machine_.devices.size(); ++i) {
    const Device& device = machine_.devices[i];
    if (!Carries(device, hardware_id)) continue;
    targets.push_back(i);
    fault_paths.insert(fault_paths.end(), device.hardware_ids->begin(), device.hardware_ids->end());
  }
  if (const auto error = TakeFault(op::kUpdateDriverForPlugAndPlayDevicesA, fault_paths)) {
    return finish(false, *error);
  }
  const std::filesystem::path inf = HostPath(inf_path);
  std::error_code error;
  if (inf.empty() || !std::filesystem::is_regular_file(inf, error)) {
    return finish(false, platform::kErrorFileNotFound);
  }
  if (targets.empty()) return finish(false, platform::kErrorNoSuchDevinst);

  std::ifstream in(inf, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string inf_text = Lower(text.str());
  for (std::size_t i : targets) {
    const Device& device = machine_.devices[i];
    const bool named = std::any_of(
        device.hardware_ids->begin(), device.hardware_ids->end(), [&](const std::string& id) {
          return !id.empty() && inf_text.find(Lower(id)) != std::string::npos;
        });
    if (!named) return finish(false, platform::kErrorNoDriverSelected);
  }
  for (std::size_t i : targets) {
    if (machine_.devices[i].update == "fail") return finish(false, platform::kErrorGenFailure);
  }

  bool restart = false;
  // Children come up right after their parent; walk backwards so the indices stay valid.
  for (auto it = targets.rbegin(); it != targets.rend(); ++it) {
    Device& device = machine_.devices[*it];
    device.driver = std::string(inf_path);
    restart = restart || device.update == "reboot";
    std::vector<Device> children = std::move(device.children);
    device.children.clear();
    machine_.devices.insert(machine_.devices.begin() + static_cast<std::ptrdiff_t>(*it) + 1,
                            std::make_move_iterator(children.begin()),
                            std::make_move_iterator(children.end()));
  }
  device_positions_.clear();
  if (restart && reboot != nullptr) *reboot = 1;
  return finish(true, platform::kErrorSuccess);
}

// --- Processes -------------------------------------------------------------------------------

void SimPlatform::GetStartupInfoA(platform::StartupInfo* info) {
  *info = platform::StartupInfo{};
  info->filled = true;
}

Bool SimPlatform::CreateProcessA(std::string_view command_line, Dword creation_flags,
                                 const platform::StartupInfo& startup,
                                 platform::ProcessInformation* info) {
  Json entry = {{"op", op::kCreateProcessA},
                {"command_line", command_line},
                {"creation_flags", creation_flags},
                {"startf", startup.dw_flags},
                {"show_window", startup.w_show_window}};
  const auto fail = [&](Dword error) { return Fail(entry, error); };
  const std::vector<std::string> parts = SplitCommandLine(command_line);
  if (const auto error = TakeFault(op::kCreateProcessA, {parts.front()})) return fail(*error);
  const std::filesystem::path program = HostPath(parts.front());
  std::error_code error;
  if (program.empty() || !std::filesystem::is_directory(program.parent_path(), error)) {
    return fail(platform::kErrorPathNotFound);
  }
  if (!std::filesystem::exists(program, error)) return fail(platform::kErrorFileNotFound);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The started program gets the standard streams and nothing else of this process (not the
  // journal, nor a file being written).
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  const bool own_console = (creation_flags & platform::CREATE_NEW_CONSOLE) != 0;
  if (own_console || io_.input) {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (own_console) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  std::vector<std::string> args = parts;
  args.front() = program.string();
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  // The started program learns where the machine lies, so a test program can leave a record.
  std::vector<std::string> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    environment.emplace_back(*variable);
  }
  environment.push_back("SETUP_SIM_MACHINE=" + root_.string());
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, args.front().c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    return fail(spawned == ENOENT ? platform::kErrorFileNotFound : platform::kErrorBadExeFormat);
  }
  unwaited_.push_back(pid);
  info->process = NewHandle(Object{Object::Process{pid}});
  info->thread = NewHandle(Object{Object::Thread{}});
  info->process_id = static_cast<Dword>(pid);
  info->thread_id = static_cast<Dword>(pid);
  entry["ok"] = true;
  Journal(entry);
  return 1;
}

namespace {

Dword ExitCodeOf(int status) {
  if (WIFEXITED(status)) return static_cast<Dword>(WEXITSTATUS(status));
  return 128u + static_cast<Dword>(WTERMSIG(status));
}

}  // namespace

Dword SimPlatform::WaitForSingleObject(Handle handle, Dword milliseconds) {
  Json entry = {{"op", op::kWaitForSingleObject}, {"milliseconds", milliseconds}};
  const auto finish = [&](Dword result, Dword error) {
    entry["ok"] = result != platform::WAIT_FAILED;
    if (result == platform::WAIT_FAILED) {
      entry["error"] = error;
      last_error_ = error;
    }
    Journal(entry);
    return result;
  };
  Object* object = Find(handle);
  auto* process = object ? std::get_if<Object::Process>(&object->value) : nullptr;
  if (process == nullptr) return finish(platform::WAIT_FAILED, platform::kErrorInvalidHandle);
  if (const auto error = TakeFault(op::kWaitForSingleObject, {})) {
    return finish(platform::WAIT_FAILED, *error);
  }
  if (!process->exited) {
    int status = 0;
    pid_t done = -1;
    do {
      done = ::waitpid(process->pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    if (done != process->pid) return finish(platform::WAIT_FAILED, platform::kErrorInvalidHandle);
    process->exited = true;
    process->exit_code = ExitCodeOf(status);
    std::erase(unwaited_, process->pid);
  }
  return finish(platform::WAIT_OBJECT_0, 0);
}

Bool SimPlatform::GetExitCodeProcess(Handle handle, Dword* exit_code) {
  Json entry = {{"op", op::kGetExitCodeProcess}};
  Object* object = Find(handle);
  auto* process = object ? std::get_if<Object::Process>(&object->value) : nullptr;
  std::optional<Dword> error;
  if (process == nullptr) error = platform::kErrorInvalidHandle;
  if (!error) error = TakeFault(op::kGetExitCodeProcess, {});
  if (error) {
    last_error_ = *error;
    entry["ok"] = false;
    entry["error"] = *error;
    Journal(entry);
    return 0;
  }
  if (!process->exited) {
    int status = 0;
    if (::waitpid(process->pid, &status, WNOHANG) == process->pid) {
      process->exited = true;
      process->exit_code = ExitCodeOf(status);
      std::erase(unwaited_, process->pid);
    }
  }
  *exit_code = process->exited ? process->exit_code : kStillActive;
  entry["ok"] = true;
  entry["exit_code"] = *exit_code;
  Journal(entry);
  return 1;
}

Bool SimPlatform::CloseHandle(Handle handle) {
  Object* object = Find(handle);
  if (object == nullptr || std::holds_alternative<Object::DeviceSet>(object->value) ||
      std::holds_alternative<Object::RegistryKey>(object->value)) {
    last_error_ = platform::kErrorInvalidHandle;
    return 0;
  }
  if (const auto* file = std::get_if<Object::File>(&object->value)) ::close(file->fd);
  handles_.erase(handle);
  return 1;
}

// --- Registry --------------------------------------------------------------------------------

namespace {

constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE";

/// The stored name of a key, found ignoring letter case, or the name given.
std::string StoredKeyName(const Json& registry, const std::string& name) {
  for (const auto& [key, values] : registry.items()) {
    if (SameIgnoringCase(key, name)) return key;
  }
  return name;
}

}  // namespace

long SimPlatform::RegCreateKeyExA(Handle root, std::string_view sub_key, Dword /*options*/,
                                  Dword /*access*/, Handle* key) {
  const std::string name = std::string(kLocalMachine) + "\\" + std::string(sub_key);
  Json entry = {{"op", op::kRegCreateKeyExA}, {"key", name}};
  const auto fail = [&](Dword error) { return FailRegistry(entry, error); };
  if (root != platform::HKEY_LOCAL_MACHINE) return fail(platform::kErrorInvalidHandle);
  if (const auto error = TakeFault(op::kRegCreateKeyExA, {name})) return fail(*error);
  if (!machine_.registry_writable) return fail(platform::kErrorAccessDenied);
  const std::string stored = StoredKeyName(machine_.registry, name);
  if (!machine_.registry.contains(stored)) machine_.registry[stored] = Json::object();
  *key = NewHandle(Object{Object::RegistryKey{stored}});
  entry["ok"] = true;
  Journal(entry);
  return 0;
}

long SimPlatform::RegSetValueExA(Handle key, std::string_view value_name, Dword type,
                                 const unsigned char* data, Dword size) {
  Object* object = Find(key);
  auto* registry_key = object ? std::get_if<Object::RegistryKey>(&object->value) : nullptr;
  const std::string key_name = registry_key ? registry_key->name : std::string();
  const std::string bytes(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
  const std::string text = bytes.substr(0, bytes.find('\0'));
  const std::string type_name = type == platform::REG_SZ ? "REG_SZ" : std::to_string(type);
  Json entry = {{"op", op::kRegSetValueExA}, {"key", key_name}, {"value", value_name},
                {"type", type_name},         {"data", text},    {"size", size}};
  const auto fail = [&](Dword error) { return FailRegistry(entry, error); };
  if (registry_key == nullptr) return fail(platform::kErrorInvalidHandle);
  if (const auto error = TakeFault(op::kRegSetValueExA, {key_name, std::string(value_name)})) {
    return fail(*error);
  }
  if (!machine_.registry_writable) return fail(platform::kErrorAccessDenied);
  machine_.registry[key_name][std::string(value_name)] = {{"type", type_name}, {"data", text}};
  entry["ok"] = true;
  Journal(entry);
  return 0;
}

long SimPlatform::RegCloseKey(Handle key) {
  Object* object = Find(key);
  if (object == nullptr || !std::holds_alternative<Object::RegistryKey>(object->value)) {
    return static_cast<long>(platform::kErrorInvalidHandle);
  }
  handles_.erase(key);
  return 0;
}

}  // namespace sim
