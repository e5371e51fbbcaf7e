// The simulated machine's state, as machine.json holds it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace sim {

using Json = nlohmann::ordered_json;

struct Device {
  /// The hardware-ID list; nothing for a device without one.
  std::optional<std::vector<std::string>> hardware_ids;
  std::string update = "ok";  // "ok", "reboot" or "fail"
  std::optional<std::string> driver;
  std::vector<Device> children;
  /// Whether the device is hardware that the system finds again after a restart once it has
  /// been removed (a PCI adapter), rather than one that goes for good.
  bool reappears = false;
  // `children` move into the machine's device list, right after this device, the first time
  // a driver update for it succeeds.
  /// A number unique within the run, so that a device information set can name a device.
  platform::Dword instance = 0;
};

struct Fault {
  std::string op;
  std::optional<std::string> path;
  platform::Dword error = 0;
  std::optional<long long> count;  // nothing: unlimited
  /// How many matching calls succeed before the fault starts to fail them.
  long long after = 0;
};

/// The machine's local time, to the millisecond, counted as if it were UTC (the simulated
/// machine has no time zone: only the local date and time it shows matter).
using LocalTime = std::chrono::sys_time<std::chrono::milliseconds>;

/// The clock of a machine.json without one: 2000-01-01 00:00:00.000.
inline constexpr LocalTime kDefaultClock{
    std::chrono::sys_days{std::chrono::year{2000} / std::chrono::January / 1}};

/// The earliest and latest years a clock may show: SYSTEMTIME's range, cut to the four digits
/// that machine.json's form has.
inline constexpr int kEarliestClockYear = 1601;
inline constexpr int kLatestClockYear = 9999;
/// The last moment a clock can show; a sleep past it leaves the clock there.
inline constexpr LocalTime kLatestClock{
    std::chrono::sys_days{std::chrono::year{kLatestClockYear + 1} / std::chrono::January / 1} -
    std::chrono::milliseconds{1}};

/// Reads a clock in machine.json's form, "YYYY-MM-DD HH:MM:SS.mmm"; nothing when it is not a
/// valid date and time of that form.
std::optional<LocalTime> ParseClock(std::string_view text);
/// A clock in machine.json's form.
std::string FormatClock(LocalTime time);
/// A clock as GetLocalTime answers it, with its day of the week.
platform::SystemTime ToSystemTime(LocalTime time);

struct Machine {
  std::string system_directory = "C:\\WINNT\\system32";
  /// What GetWindowsDirectoryA answers; nothing: the system directory's parent.
  std::optional<std::string> windows_directory;
  /// The local time now; only Sleep moves it on.
  LocalTime clock = kDefaultClock;
  /// Whether the program runs as a 32-bit program on 64-bit Windows; false answers as
  /// Windows 2000 does, which has no IsWow64Process.
  bool wow64 = false;
  std::string current_drive = "C";
  /// The current directory as a full Windows path ("E:\\Driver Disk\\win2000"); empty for the
  /// root of `current_drive`. Its drive is the current drive.
  std::string current_directory;
  platform::Word language = 1033;
  bool virtual_sleep = false;
  bool registry_writable = true;
  /// Keys by full name, then values by name: {"type": ..., "data": ...}.
  Json registry = Json::object();
  std::vector<Device> devices;
  /// Devices taken out by DIF_REMOVE, in the order they went.
  std::vector<Device> removed_devices;
  std::vector<Fault> faults;
};

/// A machine.json that cannot be used.
class MachineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The operations a fault may name (operations.h).
std::span<const std::string_view> KnownOperations();
bool IsKnownOperation(std::string_view op);

/// The Windows directory as GetWindowsDirectoryA answers on this machine: `windows_directory`,
/// else the system directory's parent ("C:\\WINNT" for "C:\\WINNT\\system32"; a drive's root
/// keeps its backslash).
std::string WindowsDirectory(const Machine& machine);

/// Reads a machine from its JSON text; throws MachineError with a reason a tester can act on.
Machine ParseMachine(const std::string& text);
Json MachineToJson(const Machine& machine);

Machine LoadMachine(const std::filesystem::path& machine_json);
void SaveMachine(const Machine& machine, const std::filesystem::path& machine_json);

/// What a restart does to the devices: removed hardware that the system finds again comes back,
/// without a driver.
void RestartDevices(Machine& machine);

}  // namespace sim
