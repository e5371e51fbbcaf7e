#include "setup/main_flow.h"

#include <array>
#include <cstdint>

#include "deploy/package.h"
#include "devices/device_operations.h"
#include "devices/hardware_table.h"
#include "setup/setup_main.h"

namespace setup {

namespace {

using devices::Row;
using platform::Dword;

constexpr std::string_view kOlderSetupProgram = "\\nt\\KVLSETUP.EXE";
constexpr std::string_view kServiceProgram = "\\zovduvik.exe";
constexpr std::string_view kDeployedProgram = "\\win2000\\SETUP.EXE";
/// How long the service program is given to act before the run goes on.
constexpr Dword kServiceProgramPause = 2500;

/// The older generation's devices and the first adapter, removed in this order on an upgrade.
constexpr std::array<Row, 4> kUpgradeRemovals = {devices::kHelmsigDev2, devices::kHelmsigDev4,
                                                 devices::kHelmsigDev3, devices::kFirstAdapter};

/// Whether a named log's path can stand on the restart command as it is: a full path (a drive
/// and a backslash, or a network path) without a space or a quote that the command line would
/// split at.
bool CarriesToTheRestart(std::string_view path) {
  const bool full =
      path.starts_with("\\\\") || (path.size() >= 3 && path[1] == ':' && path[2] == '\\');
  return full && path.find_first_of(" \"") == std::string_view::npos;
}

/// A system error code as "%d" prints it.
long long AsPrinted(Dword error) {
  return static_cast<std::int32_t>(error);
}

/// Prints the result of the run and gives its exit code.
int Result(RunState& run) {
  if (run.failure) {
    run.console.Print(messages::kInstallationFailed);
    return kExitFailed;
  }
  run.console.Print(messages::kInstallationComplete);
  if (run.reboot) {
    run.console.Print(messages::kRebootToStartDriver);
    return kExitRebootRequired;
  }
  return kExitComplete;
}

/// Nothing supported is present: the older setup program takes over, sharing this console, and
/// its exit code decides the result.
int HandOver(RunState& run) {
  platform::Platform& platform = run.platform;
  std::string command_line =
      QuotedProgramPath(run.source_root + std::string(kOlderSetupProgram)) + " -S";
  if (run.quiet) command_line += " -Q";

  platform::StartupInfo startup;
  platform.GetStartupInfoA(&startup);
  startup.lp_reserved = nullptr;
  startup.dw_flags = 0;
  startup.w_show_window = 0;
  startup.cb_reserved2 = 0;
  startup.lp_reserved2 = nullptr;

  run.log.Write(messages::kLogHandOverStarted, {command_line});
  platform::ProcessInformation process;
  if (!platform.CreateProcessA(command_line, 0, startup, &process)) {
    const Dword error = platform.GetLastError();
    run.console.Print(messages::kFileSystemError, {AsPrinted(error)});
    run.log.Write(messages::kLogHandOverNotStarted, {messages::LogError(error)});
    run.failure = true;
    return Result(run);
  }
  // The outcome counts only when it is known: a wait or an exit-code read that fails is
  // reported as the start failure is, never taken for success.
  Dword exit_code = 0;
  const bool known = platform.WaitForSingleObject(process.process, platform::INFINITE) ==
                         platform::WAIT_OBJECT_0 &&
                     platform.GetExitCodeProcess(process.process, &exit_code) != 0;
  const Dword error = known ? platform::kErrorSuccess : platform.GetLastError();
  platform.CloseHandle(process.process);
  platform.CloseHandle(process.thread);
  if (!known) {
    run.console.Print(messages::kFileSystemError, {AsPrinted(error)});
    run.log.Write(messages::kLogHandOverUnknown, {messages::LogError(error)});
    run.failure = true;
    return Result(run);
  }
  run.log.Write(messages::kLogHandOverEnded, {std::to_string(exit_code)});

  if (exit_code == 1) run.reboot = 1;
  if (exit_code == 2) run.failure = true;
  return Result(run);
}

/// Starts the service program hidden in a console of its own and gives it time to act; it is
/// not waited for.
void LaunchServiceProgram(RunState& run) {
  platform::Platform& platform = run.platform;
  const std::string command_line =
      QuotedProgramPath(run.system_directory + std::string(kServiceProgram)) + " -remove";

  platform::StartupInfo startup;
  platform.GetStartupInfoA(&startup);
  startup.lp_reserved = nullptr;
  startup.dw_flags = platform::STARTF_USESHOWWINDOW;
  startup.w_show_window = platform::SW_HIDE;
  startup.cb_reserved2 = 0;
  startup.lp_reserved2 = nullptr;

  platform::ProcessInformation process;
  if (!platform.CreateProcessA(command_line, platform::CREATE_NEW_CONSOLE, startup, &process)) {
    run.log.Write(messages::kLogServiceFailed,
                  {command_line, messages::LogError(platform.GetLastError())});
    return;
  }
  run.log.Write(messages::kLogServiceStarted, {command_line});
  platform.CloseHandle(process.thread);
  platform.CloseHandle(process.process);
  platform.Sleep(kServiceProgramPause);
}

/// Registers the deployed program to run once after the next restart; a failure is reported by
/// its message only.
void RegisterRestart(RunState& run) {
  platform::Platform& platform = run.platform;
  // Read again, not taken from the start of the run: the restart runs the copy that lies in
  // the system directory as it is now (a case fails the read between the two).
  const std::string system_directory = platform.GetSystemDirectoryA();
  if (!deploy::UsableSystemDirectory(system_directory)) {
    run.console.Print(messages::kRegistryWriteError);
    run.log.Write(messages::kLogRunOnceNoDirectory);
    return;
  }
  // A quiet run's restart run is quiet too: Windows waits for the RunOnce commands before the
  // desktop comes up, and nobody may be there to press a key. A log named by the administrator
  // goes on in the restart run, so that one file tells both halves of the upgrade.
  std::string command =
      QuotedProgramPath(deploy::PackageRoot(system_directory) + std::string(kDeployedProgram)) +
      (run.quiet ? " -R /Q" : " -R");
  if (run.log.named_in_use() && CarriesToTheRestart(run.log.path())) {
    command += " /L=";
    command += run.log.path();
  }

  platform::Handle key = platform::kNullHandle;
  const long created =
      platform.RegCreateKeyExA(platform::HKEY_LOCAL_MACHINE, kRunOnceKey,
                               platform::REG_OPTION_NON_VOLATILE, platform::KEY_ALL_ACCESS, &key);
  if (created != platform::kErrorRegistrySuccess) {
    run.console.Print(messages::kRegistryWriteError);
    run.log.Write(messages::kLogRunOnceFailed, {messages::LogError(static_cast<Dword>(created))});
    return;
  }
  // The stored data ends with the terminating zero, and the size counts it.
  const long set = platform.RegSetValueExA(key, kRunOnceValue, platform::REG_SZ,
                                           reinterpret_cast<const unsigned char*>(command.c_str()),
                                           static_cast<Dword>(command.size() + 1));
  platform.RegCloseKey(key);
  if (set != platform::kErrorRegistrySuccess) {
    run.console.Print(messages::kRegistryWriteError);
    run.log.Write(messages::kLogRunOnceFailed, {messages::LogError(static_cast<Dword>(set))});
    return;
  }
  run.log.Write(messages::kLogRunOnceRegistered, {command});
}

/// The older generation is present: remove it, arrange the restart run, ask for a reboot.
int UpgradePath(RunState& run) {
  run.console.Print(messages::kRemovingOlderVersion);
  for (Row row : kUpgradeRemovals) {
    const std::string_view hardware_id = devices::kHardwareTable[row].hardware_id;
    const devices::Removal removal = devices::RemoveDevice(run.platform, hardware_id);
    switch (removal.outcome) {
      case devices::Removal::Outcome::kRemoved:
        run.log.Write(messages::kLogDeviceRemoved, {hardware_id});
        break;
      case devices::Removal::Outcome::kNotPresent:
        run.log.Write(messages::kLogDeviceNotPresent, {hardware_id});
        break;
      case devices::Removal::Outcome::kFailed:
        run.log.Write(messages::kLogDeviceRemoveFailed,
                      {hardware_id, messages::LogError(removal.error)});
        break;
    }
  }
  RegisterRestart(run);
  run.console.Print(messages::kRemovedOldDrivers);
  return kExitRebootRequired;
}

/// The driver updates for the detected devices, in their fixed order.
void InstallationSequence(RunState& run) {
  const devices::Detection& found = run.detection;
  bool any = false;
  auto update = [&run, &any](Row row, std::string_view hardware_id) {
    if (!any) run.log.Write(messages::kLogPathInstall);
    any = true;
    const std::string inf_path =
        run.package_root + std::string(devices::kHardwareTable[row].inf_path);
    const bool ok = devices::UpdateDriver(run.platform, run.console, run.log, hardware_id, inf_path,
                                          &run.reboot) != 0;
    if (!ok) run.failure = true;
    return ok;
  };
  auto update_row = [&update](Row row) {
    return update(row, devices::kHardwareTable[row].hardware_id);
  };

  // The first adapter, then the children its driver serves.
  if (found.Found(devices::kFirstAdapter) && update_row(devices::kFirstAdapter)) {
    if (found.Found(devices::kHelmsigDev3)) update_row(devices::kHelmsigDev3);
    if (found.Found(devices::kHelmsigDev5)) update_row(devices::kHelmsigDev5);
  }
  if (found.Found(devices::kHelmsigDev0)) update_row(devices::kHelmsigDev0);
  if (found.Found(devices::kHelmsigDev1)) update_row(devices::kHelmsigDev1);
  // The second adapter by its whole hardware ID; its children come up with its driver.
  if (found.Found(devices::kSecondAdapter) &&
      update(devices::kSecondAdapter, found.matched_adapter_id)) {
    if (!found.Found(devices::kHelmsigDev0)) update_row(devices::kHelmsigDev0);
    if (!found.Found(devices::kHelmsigDev1)) update_row(devices::kHelmsigDev1);
  }
  for (Row row : {devices::kZov37D1, devices::kZov37D5, devices::kZov37D6, devices::kZov37C0}) {
    if (found.Found(row)) update_row(row);
  }
  if (!any) run.log.Write(messages::kLogPathNothing);
}

}  // namespace

std::string QuotedProgramPath(std::string_view path) {
  if (path.find(' ') == std::string_view::npos) return std::string(path);
  std::string quoted;
  quoted.reserve(path.size() + 2);
  quoted += '"';
  quoted += path;
  quoted += '"';
  return quoted;
}

int RunMainFlow(RunState& run) {
  const int detected = devices::DetectHardware(run.platform, &run.detection);
  const Dword detection_error = run.platform.GetLastError();
  for (const std::string& id : run.detection.found_ids) {
    run.log.Write(messages::kLogDeviceFound, {id});
  }
  if (detected == 0) {
    if (detection_error != platform::kErrorSuccess &&
        detection_error != platform::kErrorNoMoreItems) {
      run.log.Write(messages::kLogDetectionFailed, {messages::LogError(detection_error)});
    }
    run.log.Write(messages::kLogPathHandOver);
    return HandOver(run);
  }

  if (run.detection.Found(devices::kFirstAdapter) && !run.restart_run) LaunchServiceProgram(run);
  if (run.detection.Found(devices::kHelmsigDev2) || run.detection.Found(devices::kHelmsigDev4)) {
    run.log.Write(messages::kLogPathUpgrade);
    return UpgradePath(run);
  }
  InstallationSequence(run);
  return Result(run);
}

}  // namespace setup
